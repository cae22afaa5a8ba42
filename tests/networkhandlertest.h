// What the suites of NetworkHandler share: the handler against the in-process bridge simulator,
// helpers that read the plugin's log and the bridge's record, and main() with shortened intervals.
#pragma once

#include "bridgesimulator.h"
#include "networkhandler.h"
#include "qellmnintervals.h"
#include "testrig.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace lmnsim;
namespace I = QelLmnIntervals;

inline QString operator""_q(const char *text, std::size_t size)
{
    return QString::fromUtf8(text, int(size));
}
inline QString qs(const std::string &text)
{
    return QString::fromStdString(text);
}
constexpr std::uint64_t operator""_n(unsigned long long n)
{
    return n;
}
inline QList<QVariantList> args(const QSignalSpy &spy)
{
    return spy;
}
inline const QLatin1Char quote('"');

// Functions, not constants: the seam must not be read before main() has set it.
inline int wait()
{
    return I::scaled(I::connectionDetailsWaitMs);
}
inline int resend()
{
    return I::scaled(I::valueResendDelayMs);
}
inline const QString plus = "GeActiceEnergyPlusTotal"_q;
inline const QString seg = "/%252Fdev%252Fttymxc3"_q;

// Log lines of the category, captured instead of printed; a hook may react to one of them.
inline rig::LogCapture &g_log = rig::testLog();
inline int logged(const QString &text)
{
    return g_log.countExact(text);
}

inline QStringList targets(const BridgeSimulator &sim)
{
    QStringList out;
    for (const RecordedRequest &request : sim.requests())
        out << qs(request.method + ' ' + request.target);
    return out;
}

struct Rig {
    explicit Rig(Options options = {}, const QString &port = "/dev/ttymxc3"_q) : sim(options)
    {
        if (!sim.start(0))
            qFatal("the simulator cannot listen");
        h->setUrl(QString::number(sim.port()));
        h->setPort(port);
    }
    // The answer to a port check, -1 when none came.
    int checkPort()
    {
        QSignalSpy answer(h.get(), &NetworkHandler::checkInitializedFinished);
        h->checkPortInitialized();
        return answer.wait(5000) ? answer.first().first().toInt() : -1;
    }
    // The list the way the plugin gets it: one fetch, after the (shortened) wait.
    bool fetch()
    {
        QSignalSpy info(h.get(), &NetworkHandler::deviceInfoReceived);
        h->getConnectionDetails();
        return info.wait(5000);
    }
    BridgeSimulator sim;
    std::unique_ptr<NetworkHandler> h = std::make_unique<NetworkHandler>();
    QSignalSpy values{h.get(), &NetworkHandler::receivedValue};
    QSignalSpy next{h.get(), &NetworkHandler::nextDeviceUpdate};
    QSignalSpy failed{h.get(), &NetworkHandler::valueCallFailed};
};

inline QString id(int index)
{
    return qs(BridgeSimulator::meterAt(index).serverId);
}

// Base of the suites: a watchdog for nested waits, and a check that the shortened intervals are in
// effect.
class NetworkHandlerSuite : public rig::TestCase
{
    Q_OBJECT

public:
    NetworkHandlerSuite() : rig::TestCase(30000, "Test function hung in a nested wait"_q) {}

protected slots:
    void initTestCase()
    {
        rig::TestCase::initTestCase();
        QCOMPARE(I::timeScale(), 0.02);
    }
};

// The suite's main(): intervals run shortened (QELLMN_TIME_SCALE); tst_networkhandler_realtime
// checks the real ones.
template<typename Suite>
int runNetworkHandlerSuite(int argc, char **argv)
{
    // Read once per process, so before anything asks for an interval.
    qputenv("QELLMN_TIME_SCALE", "0.02");
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("QelLmn.debug=true"_q);
    Suite test;
    return QTest::qExec(&test, argc, argv);
}
