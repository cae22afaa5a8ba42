#include "soakrunner.h"
#include "soakrunner_p.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>

#include <unistd.h>

using lmnsim::BridgeSimulator;

namespace soak {

namespace {

constexpr int kLogRing = 80;

// Under AddressSanitizer freed memory stays in its quarantine, so resident memory says nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif
#else
constexpr bool kMemoryMeasurable = true;
#endif

// This process's resident memory in kB, -1 when unknown.
qint64 residentKb()
{
    std::FILE *file = std::fopen("/proc/self/statm", "r");
    if (!file)
        return -1;
    long long size = 0, resident = -1;
    if (std::fscanf(file, "%lld %lld", &size, &resident) != 2)
        resident = -1;
    std::fclose(file);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

bool Runner::start(QString *error)
{
    m_clock.start();
    m_pluginLog.onLine = [this](QtMsgType type, const QString &text) { onPluginLog(type, text); };
    m_pluginLog.install();
    lmnsim::Options options;
    options.meters = 0;
    // Only counts: a long run must not keep every request.
    options.keepRecord = false;
    m_sim = std::make_unique<BridgeSimulator>(options);
    m_inv = std::make_unique<Invariants>(
        m_iv,
        [this](int address, bool consumed) { return m_sim->currentValue(address, consumed ? kPlusCall : kMinusCall); },
        [this](Invariant invariant, const QString &what, int count) { onViolation(invariant, what, count); });
    const Limits limits;
    for (int address = 1; address <= std::min(m_config.meters, limits.universe); ++address)
        m_bus.insert(address);
    applyBus();
    if (!m_sim->start(0)) {
        *error = QStringLiteral("the simulator cannot listen");
        return false;
    }
    m_serverPort = QString::number(m_sim->port());

    if (!m_host.load(m_config.pluginDir, error))
        return false;
    m_host.manager->hardwareManager()->pluginTimerManager()->setUnitMs(m_config.unitMs);
    m_connectedStateTypeId = rig::stateTypeId(*m_host.gatewayClass, QStringLiteral("connected"));
    connect(m_host.manager.get(), &ThingManager::thingAdded, this, &Runner::onThingAdded);
    connect(m_host.manager.get(), &ThingManager::thingRemoved, this,
            [this](Thing *thing) { m_inv->thingRemoved(thing->id().toText()); });
    connect(m_host.manager.get(), &ThingManager::thingStateChanged, this, &Runner::onStateChanged);

    m_healAtMs = scheduleLengthMs(m_config, m_iv);
    m_schedule = makeSchedule(m_config.seed, int(m_healAtMs), limits);

    m_eventTimer.setSingleShot(true);
    connect(&m_eventTimer, &QTimer::timeout, this, &Runner::onEventTimer);
    connect(&m_sampleTimer, &QTimer::timeout, this, [this] {
        m_inv->sampleRate(now(), m_sim->requestCount());
        checkDuplicates();
        if (kMemoryMeasurable)
            m_inv->sampleMemory(residentKb());
    });
    m_sampleTimer.start(100);
    connect(&m_recoveryTimer, &QTimer::timeout, this, &Runner::checkRecovery);

    addGateway();
    armNextEvent();
    return true;
}

// As a host that shuts down: the plugin goes without its things being removed.
void Runner::teardown()
{
    m_host.manager.reset();
    m_sim.reset();
}

int Runner::exitCode() const
{
    return m_inv->anyViolation() || m_soakErrors || !m_finished ? 1 : 0;
}

void Runner::printSummary() const
{
    const Tally &tally = m_inv->tally();
    std::printf("lmn-soak summary: seed %u, %.1f s, time scale %g, timer unit %g ms\n", m_config.seed, seconds(),
                m_config.timeScale, m_config.unitMs);
    std::printf("  intervals: update period %.0f ms, connection timer %d ms, retry %d ms, details wait %d ms,\n"
                "             re-send delay %d ms, request timeout %d ms\n",
                m_iv.periodMs, m_iv.connectionMs, m_iv.retryMs, m_iv.waitMs, m_iv.resendMs, m_iv.timeoutMs);
    std::printf("  faults injected (%zu events scheduled over %.1f s):\n", m_schedule.size(),
                double(m_healAtMs) / 1000.0);
    for (int i = 0; i < int(Kind::Count); ++i) {
        std::printf("    %-40s %5d", kindName(Kind(i)), m_injected[std::size_t(i)]);
        if (m_missed[std::size_t(i)])
            std::printf("  (%d armed, moment not reached in time)", m_missed[std::size_t(i)]);
        std::printf("\n");
    }
    std::printf("  cycles completed: %d\n  readings written: %d\n  meter things created: %d\n", m_cycles,
                tally.readings, tally.metersCreated);
    std::printf("  requests: %llu; highest rate %.1f/s over %d s windows (bound there %.1f/s)\n",
                static_cast<unsigned long long>(m_sim->requestCount()), tally.maxRatePerS, kRateWindowMs / 1000,
                tally.boundAtMax);
    std::printf("  connection-details fetches: %d, closest two %lld ms apart (wait %d ms)\n", tally.fetches,
                static_cast<long long>(tally.closestFetchesMs), m_iv.waitMs);
    if (tally.recoveryMs >= 0)
        std::printf(
            "  recovery: %zu meters fresh and connected %.0f ms after the bridge was healthy (promise %.0f ms)\n",
            tally.healedMeters, tally.recoveryMs, recoveryPromiseMs(m_iv));
    else
        std::printf("  recovery: not reached (promise %.0f ms)\n", recoveryPromiseMs(m_iv));
    if (tally.baselineKb >= 0)
        std::printf("  resident memory: %lld kB before the faults, at most %lld kB more (margin %lld kB)\n",
                    static_cast<long long>(tally.baselineKb), static_cast<long long>(tally.maxGrowthKb),
                    static_cast<long long>(kMemoryMarginKb));
    std::printf("  messages outside the plugin's category: %d\n", m_pluginLog.foreignMessages());
    std::printf("  invariant violations:\n");
    // A crash or a sanitizer report ends the process before this summary.
    std::printf("    %-40s %5d\n", "crash or sanitizer report", 0);
    for (int i = 0; i < InvariantCount; ++i)
        std::printf("    %-40s %5d\n", invariantName(Invariant(i)), m_inv->violations(Invariant(i)));
    if (m_soakErrors)
        std::printf("  soak errors: %d\n", m_soakErrors);
    std::printf("  result: %s\n", exitCode() == 0 ? "PASS" : "FAIL");
    std::fflush(stdout);
}

void Runner::armNextEvent()
{
    const qint64 at = m_next < m_schedule.size() ? m_schedule[m_next].atMs : m_healAtMs;
    m_eventTimer.start(int(std::max<qint64>(0, at - now())));
}

void Runner::onEventTimer()
{
    if (m_healed)
        return;
    if (m_next >= m_schedule.size()) {
        if (now() >= m_healAtMs)
            heal();
        else
            armNextEvent();
        return;
    }
    // Actions may run nested event loops (a plugin may wait in a setup), and this slot may run
    // again inside them: each event is taken before it runs, and the timer is armed for the next.
    while (!m_healed && m_next < m_schedule.size() && m_schedule[m_next].atMs <= now()) {
        if (m_next == 0 && kMemoryMeasurable)
            m_inv->memoryBaseline(residentKb());
        const Event event = m_schedule[m_next++];
        armNextEvent();
        execute(event);
    }
    if (!m_healed)
        armNextEvent();
}

Thing *Runner::gateway() const
{
    for (Thing *thing : m_host.manager->things()) {
        if (thing->thingClassId() == m_host.gatewayClass->id())
            return thing;
    }
    return nullptr;
}

void Runner::addGateway()
{
    if (gateway())
        return;
    m_inv->setupStarted(now());
    QString error;
    // Returns once the host has handed the setup to the plugin, which finishes it once the
    // bridge has answered.
    if (!m_host.addGateway(m_serverPort, &error))
        soakError(QStringLiteral("cannot add the gateway: %1").arg(error));
}

void Runner::removeGateway(int awayMs)
{
    Thing *thing = gateway();
    if (!thing)
        return;
    m_host.manager->removeThing(thing->id());
    // 0: added again in the next turn of whatever event loop runs now, as a second request of
    // the user that arrived together with the removal.
    later(m_gatewayToken, awayMs, [this] { addGateway(); });
}

void Runner::reconfigureGateway(const ParamList &params)
{
    m_inv->setupStarted(now());
    m_host.manager->reconfigureThing(gateway()->id(), params);
}

// Port 0 is refused by the plugin; setup fails, and nothing may go out until it is put right.
// Called with a gateway present.
void Runner::misconfigureGateway(int awayMs)
{
    reconfigureGateway(m_host.gatewayParams(QStringLiteral("0")));
    later(m_misconfigToken, awayMs, [this] { putGatewayRight(); });
}

void Runner::putGatewayRight()
{
    Thing *thing = gateway();
    if (!thing || thing->paramValue(QStringLiteral("serverPort")).toString() == m_serverPort)
        return;
    reconfigureGateway(m_host.gatewayParams(m_serverPort));
}

void Runner::soakError(const QString &what)
{
    ++m_soakErrors;
    std::fprintf(stderr, "soak error: %s\n", qPrintable(what));
}

// The plugin's log, on the main thread: cycle count and the points where armed removals strike.
void Runner::onPluginLog(QtMsgType type, const QString &text)
{
    if (m_config.pluginLog)
        std::fprintf(stderr, "[%7.3f] %s\n", seconds(), qPrintable(text));
    m_log.append(QString::number(now()) + QLatin1Char(' ') + text);
    noteMeterLine(text);
    if (m_log.size() > kLogRing)
        m_log.removeFirst();
    if (type != QtDebugMsg && type != QtCriticalMsg && type != QtWarningMsg)
        return;
    if (text == QLatin1String("All devices updated.")) {
        ++m_cycles;
        m_inv->cycleEnded();
        return;
    }
    if (text.startsWith(QLatin1String("No complete reply to \"/"))) {
        // `No complete reply to "/<port>/<address>/<call>" within ...`: a value call timed out.
        const QStringList path = text.section(QLatin1Char('"'), 1, 1).split(QLatin1Char('/'));
        bool isValueCall = false;
        const int address = path.size() == 4 ? path.at(2).toInt(&isValueCall) : 0;
        if (isValueCall)
            m_inv->valueTimedOut(address);
    }
    const QString previous = m_lastPluginLine;
    m_lastPluginLine = text;
    if (text == QLatin1String("Send Get Request \"/GetCurrentConnectionDetails\"")) {
        m_inv->detailsRequest(now(), previous);
        m_inv->detailsSent();
        return;
    }
    // What became of the connection-details requests, for readings of an address swap's pair.
    if (text == QLatin1String("Connection details received."))
        m_inv->detailsHeard();
    else if (text == QLatin1String("Could not get connection details!"))
        m_inv->detailsAbandoned();
    else if (text == QLatin1String("Deleting networkHandler"))
        m_inv->detailsClientDeleted();
    if (m_healed)
        return;
    if (m_armedMidCycleUntil >= 0 && text.startsWith(QLatin1String("Updating value"))) {
        // `Updating value  "<call>"  for  "<device ID>"`: the meter whose call goes out now.
        const QString deviceId = text.section(QLatin1Char('"'), 3, 3);
        strike(m_armedMidCycleUntil, Kind::MeterThingRemovedMidCycle, [this, deviceId] {
            Thing *thing = m_host.meter(deviceId);
            return thing && m_host.manager->removeThing(thing->id());
        });
    } else if (m_armedDetailsWaitUntil >= 0 && text == QLatin1String("Get connection details.")) {
        // Runs inside the wait that starts right after this line.
        strike(m_armedDetailsWaitUntil, Kind::GatewayRemovedInDetailsWait, [this] {
            if (!gateway())
                return false;
            removeGateway(m_gatewayAwayMs);
            return true;
        });
    } else if (text == QLatin1String("Server is not reachable!")) {
        // The connected state does not change when it was false already; this line comes right
        // before the retry wait either way.
        onRetryWait();
    }
}

// The plugin is about to wait before it reconnects; an armed action strikes inside that wait.
void Runner::onRetryWait()
{
    if (m_armedRetryWaitUntil < 0 || m_healed)
        return;
    const Kind action = m_retryWaitAction;
    strike(m_armedRetryWaitUntil, action, [this, action] {
        if (!gateway() || m_healed)
            return false;
        if (action == Kind::GatewayMisconfigured)
            misconfigureGateway(m_misconfigAwayMs);
        else
            removeGateway(m_gatewayAwayMs);
        return true;
    });
}

// The plugin's warnings about one meter: each must come once per episode.
void Runner::noteMeterLine(const QString &text)
{
    static const QRegularExpression line(QStringLiteral("^Meter \"([^\"]*)\" (?:(total\\w+) (of .* not written|written "
                                                        "again:|restarted at)|(is not answering|answers again))"));
    const QRegularExpressionMatch match = line.match(text);
    if (!match.hasMatch())
        return;
    const QString deviceId = match.captured(1);
    const QString state = match.captured(2);
    const QString what = match.captured(3);
    if (what.startsWith(QLatin1String("of ")))
        m_inv->refusalLogged(deviceId, state);
    else if (what.startsWith(QLatin1String("written again")))
        m_inv->writtenAgainLogged(deviceId, state);
    else if (what.startsWith(QLatin1String("restarted")))
        m_inv->restartLogged(deviceId, state);
    else if (match.captured(4) == QLatin1String("is not answering"))
        m_inv->silentLogged(deviceId);
    else if (!match.captured(4).isEmpty())
        m_inv->answersAgainLogged(deviceId);
}

void Runner::onThingAdded(Thing *thing)
{
    if (thing->thingClassId() == m_host.gatewayClass->id())
        return;
    const QString deviceId = rig::deviceIdOf(thing);
    int same = 0;
    for (Thing *other : m_host.meters())
        same += rig::deviceIdOf(other) == deviceId;
    m_inv->meterAdded(thing->id().toText(), deviceId, same);
}

void Runner::onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value)
{
    if (thing->thingClassId() == m_host.gatewayClass->id()) {
        // The state goes false right before the retry wait.
        if (stateTypeId == m_connectedStateTypeId && !value.toBool())
            onRetryWait();
        return;
    }
    const ThingClass &thingClass = thing->thingClass();
    const QString name = thingClass.stateTypes().at(thingClass.stateIndex(stateTypeId)).name;
    m_inv->reading(thing->id().toText(), rig::deviceIdOf(thing), name, value.toDouble(), now());
}

void Runner::checkDuplicates()
{
    std::vector<Invariants::MeterThing> meters;
    for (Thing *thing : m_host.meters())
        meters.emplace_back(thing->id().toText(), rig::deviceIdOf(thing));
    m_inv->checkDuplicates(meters);
}

void Runner::onViolation(Invariant invariant, const QString &what, int count)
{
    if (count > 20)
        return;
    std::fprintf(stderr, "[%7.3f] VIOLATION %s: %s\n", seconds(), invariantName(invariant), qPrintable(what));
    if (count == 1) {
        std::fprintf(stderr, "  the plugin's last log lines:\n");
        for (const QString &line : qAsConst(m_log))
            std::fprintf(stderr, "    %s\n", qPrintable(line));
    }
}

void Runner::heal()
{
    if (m_healed)
        return;
    m_healed = true;
    m_eventTimer.stop();
    m_armedRetryWaitUntil = m_armedDetailsWaitUntil = m_armedMidCycleUntil = -1;
    ++m_listenerToken;
    ++m_gatewayToken;
    ++m_misconfigToken;
    m_sim->clearFaults();
    startListener();
    // A bus that fits the slots: the present set (or the first one, if it is empty) cut to 31,
    // and a meter never seen before, so that recovery always includes finding a meter.
    if (m_bus.empty()) {
        for (int address = 1; address <= std::max(1, std::min(m_config.meters, kSlotCount)); ++address)
            m_bus.insert(address);
    }
    while (int(m_bus.size()) > kSlotCount - 1)
        m_bus.erase(std::prev(m_bus.end()));
    m_bus.insert(kNewcomer);
    applyBus();
    // Things of meters that are gone keep their slots until the user removes them; with all
    // 32 held so, the newcomer could never get one. The user tidies up, as an operator would.
    std::set<QString> onBus;
    for (int address : m_bus)
        onBus.insert(deviceIdOf(address));
    for (Thing *thing : m_host.meters()) {
        if (!onBus.count(rig::deviceIdOf(thing)))
            m_host.manager->removeThing(thing->id());
    }
    m_inv->healed(now(), m_bus);
    std::fprintf(stderr, "[%7.3f] schedule over, bridge healthy with %zu meters; recovery promised within %.0f ms\n",
                 seconds(), m_bus.size(), recoveryPromiseMs(m_iv));
    addGateway();
    putGatewayRight();
    m_recoveryTimer.start(20);
}

void Runner::checkRecovery()
{
    if (m_finished)
        return;
    const qint64 t = now();
    Thing *gw = gateway();
    const bool connected = gw && gw->stateValue(m_connectedStateTypeId).toBool();
    const auto totals = [this](const QString &deviceId, std::array<double, 2> *wh) {
        Thing *thing = m_host.meter(deviceId);
        if (thing)
            *wh = {thing->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble() * 1000,
                   thing->stateValue(QStringLiteral("totalEnergyProduced")).toDouble() * 1000};
        return thing != nullptr;
    };
    if (m_inv->recoveryOver(t, connected, totals))
        finish();
}

void Runner::finish()
{
    m_finished = true;
    m_inv->runOver();
    m_recoveryTimer.stop();
    m_sampleTimer.stop();
    checkDuplicates();
    QCoreApplication::quit();
}

int run(const Config &config, const Intervals &intervals)
{
    Runner runner(config, intervals);
    QString error;
    if (!runner.start(&error)) {
        std::fprintf(stderr, "lmn-soak: %s\n", qPrintable(error));
        return 2;
    }
    std::fprintf(stderr, "lmn-soak: seed %u, %.0f s; rerun with --seed %u --duration %.0f\n", config.seed,
                 config.durationS, config.seed, config.durationS);
    QCoreApplication::exec();
    runner.printSummary();
    const int status = runner.exitCode();
    runner.teardown();
    return status;
}

} // namespace soak
