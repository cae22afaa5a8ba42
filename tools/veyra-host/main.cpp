#include "diagnose.h"
#include "hostoptions.h"
#include "hostrunner.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop through a pipe: a signal handler may not touch Qt.
void quitOnSignals(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [notifier] {
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("veyra-host"));
    // Plugins' debug output is off unless QT_LOGGING_RULES turns it on, as in a production host.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    HostOptions options;
    QString error;
    bool help = false;
    if (!options.parse(QCoreApplication::arguments().mid(1), &error, &help)) {
        if (help) {
            QTextStream(stdout) << HostOptions::helpText();
            return 0;
        }
        QTextStream(stderr) << "veyra-host: " << error << '\n';
        return 2;
    }

    quitOnSignals(&app);
    if (options.diagnose)
        return Diagnose::run(options);
    int exitCode = 0;
    {
        HostRunner runner(options);
        const int startResult = runner.start();
        if (startResult >= 0)
            return startResult;
        if (options.runForSeconds >= 0)
            QTimer::singleShot(qint64(options.runForSeconds * 1000), &app, &QCoreApplication::quit);
        exitCode = app.exec();
    }
    return exitCode;
}
