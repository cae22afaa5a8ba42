// What the suites of the real plugin file share: one host with the plugin loaded against the
// bridge simulator, helpers that read the plugin's log and the bridge's record, and main().
#pragma once

#include <bridgesimulator.h>
#include <testrig.h>

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

inline rig::LogCapture &g_log = rig::testLog();
inline const QString cycleEnd = QStringLiteral("All devices updated.");
inline const QString meterCheck = QStringLiteral("Call autoCreateMeterThing");

// Waits until `text` has been logged `more` times more than when called.
inline bool loggedMore(const QString &text, int more, int timeoutMs)
{
    const int target = g_log.count(text) + more;
    return QTest::qWaitFor([&] { return g_log.count(text) >= target; }, timeoutMs);
}

struct ValueCall {
    int address;
    QString call;
};

inline QList<ValueCall> valueCalls(const lmnsim::BridgeSimulator &sim)
{
    static const QRegularExpression pattern(QStringLiteral("^/[^/]+/(-?\\d+)/(\\w+)$"));
    QList<ValueCall> calls;
    for (const lmnsim::RecordedRequest &request : sim.requests()) {
        const auto match = pattern.match(QString::fromStdString(request.path));
        if (match.hasMatch())
            calls.append({match.captured(1).toInt(), match.captured(2)});
    }
    return calls;
}

inline int addressOf(const QString &deviceId)
{
    return deviceId.right(8).toInt();
}

inline QString id(int index)
{
    return QString::fromStdString(lmnsim::BridgeSimulator::meterAt(index).serverId);
}

// The most value calls out at once, at the bridge: the bus answers one at a time.
inline int mostCallsInFlight(const lmnsim::BridgeSimulator &sim)
{
    return sim.traffic(lmnsim::Endpoint::Value).mostInFlight;
}

// Value calls the bridge answered, counted at every cycle's end from now on.
class AnswersPerCycle
{
public:
    explicit AnswersPerCycle(const lmnsim::BridgeSimulator &sim) : m_sim(sim), m_last(answered())
    {
        g_log.onLine = [this](QtMsgType, const QString &line) {
            if (line != QLatin1String("All devices updated."))
                return;
            const std::uint64_t now = answered();
            cycles.append(int(now - m_last));
            m_last = now;
        };
    }
    ~AnswersPerCycle() { g_log.onLine = nullptr; }

    QList<int> cycles;

private:
    std::uint64_t answered() const { return m_sim.traffic(lmnsim::Endpoint::Value).answered; }

    const lmnsim::BridgeSimulator &m_sim;
    std::uint64_t m_last;
};

inline QString slotName(const Thing *thing)
{
    return thing ? thing->thingClass().name() : QString();
}

// One host with the plugin loaded and one simulator.
class Rig : public rig::PluginHost
{
public:
    explicit Rig(int meters, int timerUnitMs = 2, lmnsim::Options options = {})
    {
        options.meters = meters;
        sim = std::make_unique<lmnsim::BridgeSimulator>(options);
        if (!sim->start(0))
            qFatal("the simulator cannot listen");
        QString error;
        if (!load(QStringLiteral(VEYRA_PLUGIN_DIR), &error))
            qFatal("%s", qPrintable(error));
        manager->hardwareManager()->pluginTimerManager()->setUnitMs(timerUnitMs);
    }
    // The plugin goes before the bridge it talks to.
    ~Rig() { manager.reset(); }

    Thing *addGateway(const QString &serverPort = QString())
    {
        return PluginHost::addGateway(serverPort.isNull() ? QString::number(sim->port()) : serverPort);
    }

    // Adds the gateway and waits for the things of `count` meters.
    bool addGatewayWithMeters(int count)
    {
        return addGateway() && QTest::qWaitFor([&] { return meters().size() == count; }, 5000);
    }

    bool connected() const { return gateway && gateway->stateValue(QStringLiteral("connected")).toBool(); }

    bool connectionTimerRunning() const
    {
        const QList<QTimer *> timers = pluginTimers();
        return std::any_of(timers.cbegin(), timers.cend(),
                           [](QTimer *t) { return t->isSingleShot() && t->isActive(); });
    }
    bool noPluginTimerActive() const
    {
        const QList<QTimer *> timers = pluginTimers();
        return std::none_of(timers.cbegin(), timers.cend(), [](QTimer *t) { return t->isActive(); });
    }

    // Once the gateway's connection first becomes `connected`, sets `*done` and runs `action`:
    // at once, in the host's reaction to the state, or in the next turn of the event loop (for a
    // drop the plugin is then inside its retry wait).
    void onFirstConnected(bool connected, bool *done, std::function<void()> action, bool atOnce = false)
    {
        QObject::connect(
            manager.get(), &ThingManager::thingStateChanged, manager.get(),
            [this, connected, done, action, atOnce](Thing *thing, const StateTypeId &, const QVariant &value) {
                if (thing != gateway || value.toBool() != connected || *done)
                    return;
                *done = true;
                if (atOnce)
                    action();
                else
                    QTimer::singleShot(0, manager.get(), action);
            });
    }

    // No two meter things share a slot.
    bool slotsDistinct() const
    {
        QSet<ThingClassId> used;
        const Things all = meters();
        for (Thing *meter : all)
            used.insert(meter->thingClassId());
        return used.size() == all.size();
    }

    std::unique_ptr<lmnsim::BridgeSimulator> sim;
};

// Base of the suites: a watchdog around each test function, and the setup errors as signal arguments.
class PluginSuite : public rig::TestCase
{
public:
    PluginSuite() : rig::TestCase(120000) { qRegisterMetaType<Thing::ThingError>(); }
};

// The test functions of the shard named "k/n" (k from 1 to n): every n-th in declaration order,
// starting with the k-th. Empty for no or a malformed name.
inline QStringList shardFunctions(const QMetaObject &meta, const QByteArray &shard)
{
    const QList<QByteArray> parts = shard.split('/');
    bool kOk = false, nOk = false;
    const int k = parts.size() == 2 ? parts.at(0).toInt(&kOk) : 0;
    const int n = parts.size() == 2 ? parts.at(1).toInt(&nOk) : 0;
    if (!kOk || !nOk || n < 1 || k < 1 || k > n)
        return {};
    static const QSet<QByteArray> fixtures = {"initTestCase", "cleanupTestCase", "init", "cleanup"};
    QStringList functions;
    int index = 0;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        const QByteArray name = method.name();
        if (method.methodType() != QMetaMethod::Slot || method.access() != QMetaMethod::Private
            || method.parameterCount() != 0 || fixtures.contains(name) || name.endsWith("_data"))
            continue;
        if (index++ % n == k - 1)
            functions << QString::fromLatin1(name);
    }
    return functions;
}

// The suite's main(): shortened intervals, the plugin's debug lines, and the suite's shard.
template<typename Suite>
int runPluginSuite(int argc, char *argv[])
{
    // Shortened intervals: the 10 s waits become 50 ms, the retry 50 ms.
    qputenv("QELLMN_TIME_SCALE", "0.005");
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("QelLmn.debug=true"));
    Suite test;
    // CTest runs the functions in shards side by side (VEYRA_TEST_SHARD): they spend their time
    // waiting for the plugin's timers, not computing. Functions named on the command line win.
    QStringList arguments = app.arguments();
    if (arguments.size() == 1)
        arguments << shardFunctions(Suite::staticMetaObject, qgetenv("VEYRA_TEST_SHARD"));
    return QTest::qExec(&test, arguments);
}
