#include "hostoptions.h"

#include <QCoreApplication>
#include <QDir>

QString HostOptions::defaultPluginDir()
{
    // Uninstalled: build/bin/veyra-host next to build/plugins. Installed: the plugin folder
    // relative to <prefix>/bin as the build configured it, e.g. ../lib/<triplet>/veyra/plugins
    // on Debian, so that a moved prefix still works.
    const QDir binDir(QCoreApplication::applicationDirPath());
    const QString buildTree = binDir.absoluteFilePath(QStringLiteral("../plugins"));
    if (QDir(buildTree).exists())
        return QDir::cleanPath(buildTree);
    return QDir::cleanPath(binDir.absoluteFilePath(QStringLiteral(VEYRA_PLUGIN_DIR_FROM_BINDIR)));
}

QString HostOptions::helpText()
{
    return QStringLiteral(
        "Usage: veyra-host [options]\n"
        "\n"
        "Hosts veyra integration plugins: loads them, creates the LMN gateway thing, creates the\n"
        "meter things the plugin announces and shows their readings.\n"
        "\n"
        "Options:\n"
        "  --plugins DIR          folder to load plugins from (default: %1)\n"
        "  --serial-port NAME     serial port of the gateway thing (default /dev/ttymxc3)\n"
        "  --server-port PORT     bridge server port of the gateway thing (default 5000)\n"
        "  --store FILE           keep things in FILE (JSON) and restore them at the next start\n"
        "  --simulate N           run the bridge simulator in-process with N meters on a free\n"
        "                         loopback port (or the gateway's port) and point the gateway at it\n"
        "  --timer-unit-ms MS     length of one plugin-timer unit, fractions allowed (default 1000)\n"
        "  --run-for SECONDS      stop by itself after SECONDS (default: run until SIGINT/SIGTERM)\n"
        "  --events               print one JSON object per event on stdout instead of the table\n"
        "  --info                 print the loaded plugins and exit\n"
        "  -h, --help             show this help\n")
        .arg(defaultPluginDir());
}

namespace {
bool toPositiveInt(const QString &text, int minimum, int *value)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < minimum)
        return false;
    *value = number;
    return true;
}
} // namespace

bool HostOptions::parse(const QStringList &arguments, QString *error, bool *helpRequested)
{
    *helpRequested = false;
    pluginDir = defaultPluginDir();
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &option = arguments.at(i);
        auto value = [&](QString *out) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("%1 needs a value").arg(option);
                return false;
            }
            *out = arguments.at(++i);
            return true;
        };
        QString text;
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            *helpRequested = true;
            return false;
        } else if (option == QLatin1String("--events")) {
            events = true;
        } else if (option == QLatin1String("--info")) {
            infoOnly = true;
        } else if (option == QLatin1String("--plugins")) {
            if (!value(&pluginDir))
                return false;
        } else if (option == QLatin1String("--serial-port")) {
            if (!value(&serialPort))
                return false;
        } else if (option == QLatin1String("--server-port")) {
            if (!value(&serverPort))
                return false;
            serverPortGiven = true;
        } else if (option == QLatin1String("--store")) {
            if (!value(&storePath))
                return false;
        } else if (option == QLatin1String("--simulate")) {
            if (!value(&text))
                return false;
            if (!toPositiveInt(text, 0, &simulateMeters)) {
                *error = QStringLiteral("--simulate takes a number of meters, not \"%1\"").arg(text);
                return false;
            }
        } else if (option == QLatin1String("--timer-unit-ms")) {
            if (!value(&text))
                return false;
            bool ok = false;
            timerUnitMs = text.toDouble(&ok);
            if (!ok || !(timerUnitMs > 0)) {
                *error = QStringLiteral("--timer-unit-ms takes a number of milliseconds above 0, not \"%1\"").arg(text);
                return false;
            }
        } else if (option == QLatin1String("--run-for")) {
            if (!value(&text))
                return false;
            bool ok = false;
            runForSeconds = text.toDouble(&ok);
            if (!ok || runForSeconds < 0) {
                *error = QStringLiteral("--run-for takes a number of seconds, not \"%1\"").arg(text);
                return false;
            }
        } else {
            *error = QStringLiteral("unknown option \"%1\" (see --help)").arg(option);
            return false;
        }
    }
    return true;
}
