// pluginbench: the real plugin file in the host stand-in, polling a running bridge (simulator)
// in full cycles back to back. Each cycle is started the way the host starts it, by the update
// timer's timeout(); the next one starts as soon as the last energy state of the previous one
// has changed.
//
// Usage: pluginbench PLUGIN_FILE SERVER_PORT METERS CYCLES [WARMUP_CYCLES]
// Prints one line: "cycles <n> value_calls <v> seconds <s> cpu_seconds <c> cycle_ms <mean>
// max_cycle_ms <max> maxrss_kb <k>", over the CYCLES after the warm-up ones.
#include <testrig.h>
#include <veyra/plugintimer.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>

#include "benchusage.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

// Two energy readings per meter and cycle; the simulator's totals grow on every request, so each
// reading changes its state.
constexpr int statesPerMeter = 2;
constexpr int stallTimeoutMs = 30000;

void fail(const char *message)
{
    std::fprintf(stderr, "pluginbench: %s\n", message);
    std::fflush(stderr);
    std::_Exit(1);
}

class Driver : public QObject
{
public:
    Driver(ThingManager *manager, int meters, int warmup, int cycles)
        : m_manager(manager), m_meters(meters), m_warmup(warmup), m_total(warmup + cycles), m_watchdog([this] {
              std::fprintf(stderr, "pluginbench: stalled: %d meters set up, cycle %d, %d of %d states\n", m_metersReady,
                           m_cycle, m_statesInCycle, m_statesPerCycle);
              fail("no progress for 30 s");
          })
    {
        m_statesPerCycle = meters * statesPerMeter;
        connect(manager, &ThingManager::thingSetupFinished, this,
                [this](Thing *thing, Thing::ThingError error, const QString &) { onSetup(thing, error); });
        connect(manager, &ThingManager::thingStateChanged, this, [this](Thing *thing) { onState(thing); });
        m_watchdog.arm(stallTimeoutMs);
    }

    double seconds() const { return double(m_elapsedNs) / 1e9; }
    double cpu() const { return m_cpuEnd - m_cpuStart; }
    double maxCycleMs() const { return double(m_maxCycleNs) / 1e6; }

private:
    void onSetup(Thing *thing, Thing::ThingError error)
    {
        if (error != Thing::ThingErrorNoError)
            fail("a thing failed to set up");
        if (thing->thingClass().name() == QLatin1String("lmn")) {
            m_gateway = thing;
            return;
        }
        if (++m_metersReady == m_meters)
            QTimer::singleShot(0, this, [this] { startCycle(); });
    }

    void onState(Thing *thing)
    {
        if (thing == m_gateway || m_cycle == 0)
            return;
        if (++m_statesInCycle < m_statesPerCycle)
            return;
        // The plugin ends its cycle right after this reading's state write; the next timeout
        // must come after that, or the plugin would ignore it.
        const qint64 cycleNs = m_cycleClock.nsecsElapsed();
        if (m_cycle > m_warmup)
            m_maxCycleNs = std::max(m_maxCycleNs, cycleNs);
        QTimer::singleShot(0, this, [this] { startCycle(); });
    }

    void startCycle()
    {
        m_watchdog.arm(stallTimeoutMs);
        if (m_cycle == m_warmup) {
            m_cpuStart = cpuSeconds();
            m_clock.start();
        }
        if (m_cycle == m_total) {
            m_elapsedNs = m_clock.nsecsElapsed();
            m_cpuEnd = cpuSeconds();
            QCoreApplication::quit();
            return;
        }
        const QList<PluginTimer *> timers = m_manager->hardwareManager()->pluginTimerManager()->timers();
        if (timers.isEmpty())
            fail("the plugin registered no update timer");
        ++m_cycle;
        m_statesInCycle = 0;
        m_cycleClock.start();
        emit timers.first()->timeout();
    }

    ThingManager *m_manager;
    const int m_meters;
    const int m_warmup;
    const int m_total;
    int m_statesPerCycle = 0;
    int m_metersReady = 0;
    int m_cycle = 0;
    int m_statesInCycle = 0;
    Thing *m_gateway = nullptr;
    rig::Watchdog m_watchdog;
    QElapsedTimer m_clock;
    QElapsedTimer m_cycleClock;
    qint64 m_elapsedNs = 0;
    qint64 m_maxCycleNs = 0;
    double m_cpuStart = 0;
    double m_cpuEnd = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool ok = args.size() == 5 || args.size() == 6;
    const QString pluginFile = ok ? args.at(1) : QString();
    const QString serverPort = ok ? args.at(2) : QString();
    const int meters = ok ? args.at(3).toInt(&ok) : 0;
    const int cycles = ok ? args.at(4).toInt(&ok) : 0;
    const int warmup = ok && args.size() == 6 ? args.at(5).toInt(&ok) : 0;
    if (!ok || meters < 1 || cycles < 1 || warmup < 0) {
        std::fprintf(stderr, "Usage: pluginbench PLUGIN_FILE SERVER_PORT METERS CYCLES [WARMUP_CYCLES]\n");
        return 2;
    }

    // As in production: the category's debug output is off.
    QLoggingCategory::setFilterRules(QStringLiteral("QelLmn.debug=false"));

    rig::PluginHost host;
    QString error;
    if (!host.load(pluginFile, &error))
        fail(qPrintable(error));
    // The update timer must never fire by itself: the driver starts every cycle.
    host.manager->hardwareManager()->pluginTimerManager()->setUnitMs(1000);

    Driver driver(host.manager.get(), meters, warmup, cycles);
    host.addGateway(serverPort);
    app.exec();

    const int valueCalls = cycles * meters * statesPerMeter;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("cycles %d value_calls %d seconds %.6f cpu_seconds %.6f cycle_ms %.4f max_cycle_ms %.4f "
                "maxrss_kb %ld\n",
                cycles, valueCalls, driver.seconds(), driver.cpu(), driver.seconds() * 1000 / cycles,
                driver.maxCycleMs(), usage.ru_maxrss);
    std::fflush(stdout);
    // The gateway and its meters stay: a host that shuts down removes no thing.
    return 0;
}
