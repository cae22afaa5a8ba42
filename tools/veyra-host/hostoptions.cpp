#include "hostoptions.h"

#include <bridgesimulator.h>
#include <qellmnports.h>
#include <veyra/thing.h>
#include <veyra/thingclass.h>

#include <QCoreApplication>
#include <QDir>
#include <QUuid>

#include <cmath>
#include <limits>

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
               "  --store FILE           keep things in FILE (JSON) and restore them at the next start;\n"
               "                         FILE.lock keeps a second host off it, and --serial-port and\n"
               "                         --server-port, when given, change the stored gateway\n"
               "  --store-interval SECONDS  save the cached states that changed at most every SECONDS, above 0\n"
               "                         (default 300); an unclean stop loses at most that much of them\n"
               "  --simulate N           run the bridge simulator in-process with N meters (at most %2) on a\n"
               "                         free loopback port (or the gateway's port) and point the gateway at it\n"
               "  --timer-unit-ms MS     length of one plugin-timer unit, fractions allowed (default 1000)\n"
               "  --run-for SECONDS      stop by itself after SECONDS, above 0 (default: until SIGINT, SIGTERM, "
               "SIGHUP)\n"
               "  --events               print one JSON object per event on stdout instead of the table\n"
               "  --info                 print the loaded plugins and exit\n"
               "  --diagnose             check the bridge and its meters once, print a report and exit:\n"
               "                         0 all meters read, 1 something failed, 2 bad options\n"
               "  --timeout SECONDS      longest a --diagnose run takes (default 60)\n"
               "  --remove-thing ID      remove the thing ID and its children from the --store FILE and exit,\n"
               "                         as a user removes a thing (a meter that left the bus keeps its slot\n"
               "                         while its thing exists); the host must not be running on FILE\n"
               "  --version              print the version and exit\n"
               "  -h, --help             show this help\n"
               "\n"
               "Exit status: 0 done; 1 the host could not start, its last save of the store failed,\n"
               "--remove-thing found no such thing, or --diagnose found a problem; 2 bad options.\n")
        .arg(defaultPluginDir())
        .arg(lmnsim::kMaxMeters);
}

QString HostOptions::versionText()
{
    return QStringLiteral("veyra-host " VEYRA_PROJECT_VERSION "\n");
}

namespace {
bool toBoundedInt(const QString &text, int minimum, int maximum, int *value)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < minimum || number > maximum)
        return false;
    *value = number;
    return true;
}

// A finite number of seconds above 0, at most `maximum` when there is one.
bool toSeconds(const QString &option, const QString &text, double maximum, double *value, QString *error)
{
    bool ok = false;
    const double number = text.toDouble(&ok);
    if (ok && std::isfinite(number) && number > 0 && number <= maximum) {
        *value = number;
        return true;
    }
    const QString limit = std::isfinite(maximum) ? QStringLiteral(" (at most %1)").arg(maximum) : QString();
    *error = QStringLiteral("%1 takes a number of seconds above 0%2, not \"%3\"").arg(option, limit, text);
    return false;
}
} // namespace

bool HostOptions::parse(const QStringList &arguments, QString *error, bool *helpRequested, bool *versionRequested)
{
    *helpRequested = false;
    *versionRequested = false;
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
        } else if (option == QLatin1String("--version")) {
            *versionRequested = true;
            return false;
        } else if (option == QLatin1String("--remove-thing")) {
            if (!value(&removeThingId))
                return false;
            if (QUuid(removeThingId).isNull()) {
                *error = QStringLiteral("--remove-thing takes a thing ID (a UUID), not \"%1\"").arg(removeThingId);
                return false;
            }
        } else if (option == QLatin1String("--events")) {
            events = true;
        } else if (option == QLatin1String("--info")) {
            infoOnly = true;
        } else if (option == QLatin1String("--diagnose")) {
            diagnose = true;
        } else if (option == QLatin1String("--timeout")) {
            if (!value(&text) || !toSeconds(option, text, 86400, &timeoutSeconds, error))
                return false;
        } else if (option == QLatin1String("--plugins")) {
            if (!value(&pluginDir))
                return false;
        } else if (option == QLatin1String("--serial-port")) {
            if (!value(&serialPort))
                return false;
            serialPortGiven = true;
        } else if (option == QLatin1String("--server-port")) {
            if (!value(&serverPort))
                return false;
            const quint16 port = QelLmnPorts::serverPort(serverPort);
            if (port == 0) {
                *error = QStringLiteral("--server-port takes a port from 1 to 65535, not \"%1\"").arg(serverPort);
                return false;
            }
            serverPort = QString::number(port);
            serverPortGiven = true;
        } else if (option == QLatin1String("--store")) {
            if (!value(&storePath))
                return false;
        } else if (option == QLatin1String("--store-interval")) {
            if (!value(&text) || !toSeconds(option, text, 86400, &storeIntervalSeconds, error))
                return false;
        } else if (option == QLatin1String("--simulate")) {
            if (!value(&text))
                return false;
            if (!toBoundedInt(text, 0, lmnsim::kMaxMeters, &simulateMeters)) {
                *error = QStringLiteral("--simulate takes a number of meters from 0 to %1, not \"%2\"")
                             .arg(lmnsim::kMaxMeters)
                             .arg(text);
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
            const double unlimited = std::numeric_limits<double>::infinity();
            if (!value(&text) || !toSeconds(option, text, unlimited, &runForSeconds, error))
                return false;
        } else {
            *error = QStringLiteral("unknown option \"%1\" (see --help)").arg(option);
            return false;
        }
    }
    if (!removeThingId.isEmpty() && (diagnose || simulateMeters >= 0)) {
        *error = QStringLiteral("--remove-thing changes the store and exits; it takes no --diagnose or --simulate");
        return false;
    }
    if (!removeThingId.isEmpty() && storePath.isEmpty()) {
        *error = QStringLiteral("--remove-thing needs the --store FILE to remove the thing from");
        return false;
    }
    return true;
}

ParamList HostOptions::gatewayParams(const ThingClass &gatewayClass) const
{
    ParamList params;
    for (const ParamType &paramType : gatewayClass.paramTypes()) {
        if (paramType.name == QLatin1String("port"))
            params.append(Param(paramType.id, serialPort));
        else if (paramType.name == QLatin1String("serverPort"))
            params.append(Param(paramType.id, serverPort));
    }
    return params;
}

ParamList HostOptions::gatewayChanges(const Thing &gateway) const
{
    ParamList changed;
    for (const ParamType &paramType : gateway.thingClass().paramTypes()) {
        const QString current = gateway.paramValue(paramType.id).toString();
        if (paramType.name == QLatin1String("port") && serialPortGiven && current != serialPort)
            changed.append(Param(paramType.id, serialPort));
        else if (paramType.name == QLatin1String("serverPort") && serverPortGiven && current != serverPort)
            changed.append(Param(paramType.id, serverPort));
    }
    return changed;
}
