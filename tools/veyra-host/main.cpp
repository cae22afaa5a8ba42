#include "diagnose.h"
#include "hostoptions.h"
#include "hostrunner.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <functional>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT, SIGTERM and SIGHUP reach the event loop through a socket pair: a signal handler may not touch Qt.
// The notifier stays enabled, so a signal that comes while a stop is under way is not lost.
void stopOnSignals(QObject *context, std::function<void()> stop)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [stop = std::move(stop)] {
        char bytes[64];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        stop();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A hang-up (the terminal or the ssh session went) ends the host as SIGTERM does: saved, unlocked.
    sigaction(SIGHUP, &action, nullptr);
    // A closed stdout is told by EPIPE and stops the host like SIGTERM; it must not kill it.
    ::signal(SIGPIPE, SIG_IGN);
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
    bool version = false;
    if (!options.parse(QCoreApplication::arguments().mid(1), &error, &help, &version)) {
        if (help || version) {
            QTextStream(stdout) << (help ? HostOptions::helpText() : HostOptions::versionText());
            return 0;
        }
        QTextStream(stderr) << "veyra-host: " << error << '\n';
        return 2;
    }

    if (options.diagnose) {
        // The check reports what it has seen so far when it is stopped.
        stopOnSignals(&app, [] { QCoreApplication::quit(); });
        return Diagnose::run(options);
    }
    int exitCode = 0;
    {
        HostRunner runner(options);
        stopOnSignals(&runner, [&runner] { runner.stop(); });
        const int startResult = runner.start();
        if (startResult >= 0)
            return startResult;
        exitCode = app.exec();
        // A host that could not keep its things must not look as if it had.
        if (!runner.finish())
            exitCode = 1;
    }
    return exitCode;
}
