#include "soakrunner.h"

#include "soakinvariants.h"
#include "soakschedule.h"

#include <bridgesimulator.h>
#include <testrig.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>

#include <unistd.h>

using lmnsim::BridgeSimulator;
using lmnsim::Endpoint;
using lmnsim::Fault;

namespace soak {

namespace {

const char *const kPlusCall = "GeActiceEnergyPlusTotal";
const char *const kMinusCall = "GeActiceEnergyMinusTotal";
constexpr int kLogRing = 80;
constexpr int kEmptyBusSlot = 0;
constexpr int kValueFaultSlots = 1000000; // + address * 2 + the call
constexpr int kMemberFaultSlot = 2000000;

bool onMeter(Kind kind)
{
    return kind == Kind::MeterHttp404 || kind == Kind::MeterHttp500 || kind == Kind::MeterHang
        || kind == Kind::MeterSlow || kind == Kind::MeterBadBody || kind == Kind::MeterTransfer;
}

// The fault behind each transfer, in the order of Transfer.
constexpr Fault::Kind kTransferFault[] = {
    Fault::Kind::EndlessBody,        Fault::Kind::OversizedBody,      Fault::Kind::Trickle,
    Fault::Kind::GzipBody,           Fault::Kind::NewCookie,          Fault::Kind::InvalidUtf8,
    Fault::Kind::UnendingStatusLine, Fault::Kind::UnendingHeaderLine, Fault::Kind::EndlessHeaders,
    Fault::Kind::UnendingChunkLine,  Fault::Kind::EndlessContinue,    Fault::Kind::UnpacedEndlessBody};
static_assert(std::size(kTransferFault) == std::size_t(Transfer::Count), "one fault per transfer");

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

// The fault behind each broken body, in the order of Body.
constexpr Fault::Kind kBodyFault[] = {Fault::Kind::NotJson,   Fault::Kind::WrongTypes, Fault::Kind::NotArray,
                                      Fault::Kind::EmptyBody, Fault::Kind::EmptyArray, Fault::Kind::Close};
static_assert(std::size(kBodyFault) == std::size_t(Body::Count), "one fault per body");

class Runner : public QObject
{
public:
    Runner(const Config &config, const Intervals &intervals) : m_config(config), m_iv(intervals) {}

    bool start(QString *error)
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
            m_iv, [this](int address, bool consumed) { return m_sim->currentValue(address, consumed ? kPlusCall : kMinusCall); },
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
    void teardown()
    {
        m_host.manager.reset();
        m_sim.reset();
    }

    int exitCode() const
    {
        return m_inv->anyViolation() || m_soakErrors || !m_finished ? 1 : 0;
    }

    void printSummary() const
    {
        const Tally &tally = m_inv->tally();
        std::printf("lmn-soak summary: seed %u, %.1f s, time scale %g, timer unit %g ms\n", m_config.seed,
                    seconds(), m_config.timeScale, m_config.unitMs);
        std::printf("  intervals: update period %.0f ms, connection timer %d ms, retry %d ms, details wait %d ms,\n"
                    "             re-send delay %d ms, request timeout %d ms\n",
                    m_iv.periodMs, m_iv.connectionMs, m_iv.retryMs, m_iv.waitMs, m_iv.resendMs, m_iv.timeoutMs);
        std::printf("  faults injected (%zu events scheduled over %.1f s):\n", m_schedule.size(), double(m_healAtMs) / 1000.0);
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
            std::printf("  recovery: %zu meters fresh and connected %.0f ms after the bridge was healthy (promise %.0f ms)\n",
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

private:
    // ---- The schedule ----

    void armNextEvent()
    {
        const qint64 at = m_next < m_schedule.size() ? m_schedule[m_next].atMs : m_healAtMs;
        m_eventTimer.start(int(std::max<qint64>(0, at - now())));
    }

    void onEventTimer()
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

    void execute(const Event &event)
    {
        if (m_config.verbose)
            std::fprintf(stderr, "[%7.3f] %s\n", seconds(), describe(event).c_str());
        // A kind is counted when it took effect; the armed ones when they strike.
        if (injectReplyFault(event) || injectWrongData(event) || changeBridge(event) || actAsUser(event))
            ++m_injected[std::size_t(event.kind)];
    }

    int pickPresentMeter(std::uint32_t pick) const
    {
        if (m_bus.empty())
            return int(pick % unsigned(Limits().universe)) + 1;
        auto it = m_bus.begin();
        std::advance(it, pick % m_bus.size());
        return *it;
    }

    // Runs `action` after `ms` unless `token` moved on meanwhile (a later change, or the heal).
    void later(std::uint64_t &token, int ms, std::function<void()> action)
    {
        const std::uint64_t mine = ++token;
        QTimer::singleShot(ms, this, [&token, mine, action] {
            if (token == mine)
                action();
        });
    }

    // Cleared after `durationMs` only if no later fault took the slot over; clearing also releases
    // hung requests.
    void faultFor(int slot, std::function<void(const Fault &)> apply, const Fault &fault, int durationMs)
    {
        apply(fault);
        std::uint64_t &token = m_faultToken[slot];
        if (durationMs > 0)
            later(token, durationMs, [apply] { apply(Fault{}); });
        else
            ++token;
    }

    // The faults in the bridge's replies, on one meter's value calls or on an endpoint.
    bool injectReplyFault(const Event &event)
    {
        Fault fault;
        fault.count = event.count;
        switch (event.kind) {
        case Kind::MeterHttp404:
        case Kind::MeterHttp500:
        case Kind::DetailsHttp404:
        case Kind::DetailsHttp500:
        case Kind::RoadHttp500:
            fault.kind = Fault::Kind::HttpStatus;
            fault.status = event.variant;
            break;
        case Kind::MeterHang:
        case Kind::DetailsHang:
            fault.kind = Fault::Kind::Hang;
            break;
        case Kind::MeterSlow:
        case Kind::DetailsSlow:
            fault.kind = Fault::Kind::Delay;
            fault.delay = std::chrono::milliseconds(event.variant);
            break;
        case Kind::MeterBadBody:
        case Kind::DetailsBadBody: {
            const auto body = Body(event.variant);
            // A dropped connection is always a streak of requests: the HTTP client may repeat each of
            // them once (libcurl does on a kept connection).
            fault.kind = kBodyFault[std::size_t(body)];
            fault.count = body == Body::Dropped && event.count < 0 ? 3 : event.count;
            if (body == Body::Dropped)
                m_inv->mayRepeat(now(), fault.count);
            break;
        }
        case Kind::MeterTransfer:
        case Kind::DetailsTransfer:
            fault.kind = kTransferFault[std::size_t(event.variant)];
            break;
        default:
            return false;
        }
        // A streak lasts its requests, anything else its time.
        const int durationMs = fault.count >= 0 ? 0 : event.durationMs;
        if (onMeter(event.kind)) {
            const int address = pickPresentMeter(event.pick);
            faultFor(address, [this, address](const Fault &f) { m_sim->setMeterFault(address, f); }, fault, durationMs);
            return true;
        }
        const Endpoint endpoint = event.kind != Kind::RoadHttp500 ? Endpoint::ConnectionDetails
                                  : event.pick % 2                ? Endpoint::Probe
                                                                  : Endpoint::InitializePort;
        faultFor(-1 - int(endpoint), [this, endpoint](const Fault &f) { m_sim->setFault(endpoint, f); }, fault, durationMs);
        return true;
    }

    // Well-formed answers that are wrong: totals that cannot be right, member lists that name
    // meters wrongly.
    bool injectWrongData(const Event &event)
    {
        if (event.kind == Kind::MeterWrongValue) {
            if (m_bus.empty())
                return false;
            const int address = pickPresentMeter(event.pick);
            const int minus = int(event.pick / 7 % 2);
            const char *const call = minus ? kMinusCall : kPlusCall;
            const auto fault = lmnsim::ValueFault(event.variant);
            m_sim->setValueFault(address, call, fault);
            m_inv->valueFault(address, !minus, fault);
            if (fault != lmnsim::ValueFault::Restart) {
                later(m_faultToken[kValueFaultSlots + address * 2 + minus], event.durationMs, [this, address, call, minus] {
                    m_sim->setValueFault(address, call, lmnsim::ValueFault::None);
                    m_inv->valueFault(address, !minus, lmnsim::ValueFault::None);
                });
            }
            return true;
        }
        if (event.kind != Kind::MemberListWrong || m_bus.size() < 2)
            return false;
        const int a = pickPresentMeter(event.pick);
        int b = a;
        for (std::uint32_t k = 1; b == a; ++k)
            b = pickPresentMeter(event.pick / 41 + k);
        m_sim->setMemberFault(lmnsim::MemberFault(event.variant), a, b);
        later(m_faultToken[kMemberFaultSlot], event.durationMs,
              [this] { m_sim->setMemberFault(lmnsim::MemberFault::None); });
        return true;
    }

    bool changeBridge(const Event &event)
    {
        switch (event.kind) {
        case Kind::ListenerStopped:
            stopListener(event.durationMs);
            return true;
        case Kind::MeterJoins: {
            std::vector<int> absent;
            for (int address = 1; address <= Limits().universe; ++address) {
                if (!m_bus.count(address))
                    absent.push_back(address);
            }
            if (absent.empty())
                return false;
            m_bus.insert(absent[event.pick % absent.size()]);
            break;
        }
        case Kind::MeterLeaves:
            if (m_bus.empty())
                return false;
            m_bus.erase(pickPresentMeter(event.pick));
            break;
        case Kind::MeterSet:
            m_bus = std::set<int>(event.meters.begin(), event.meters.end());
            break;
        case Kind::BusEmpty:
            if (m_bus.empty())
                return false;
            m_busBeforeEmpty = m_bus;
            m_bus.clear();
            later(m_faultToken[kEmptyBusSlot], event.durationMs, [this] {
                if (m_healed || !m_bus.empty())
                    return;
                m_bus = m_busBeforeEmpty;
                applyBus();
            });
            break;
        default:
            return false;
        }
        applyBus();
        return true;
    }

    bool actAsUser(const Event &event)
    {
        switch (event.kind) {
        case Kind::MeterThingRemoved: {
            const Things meters = m_host.meters();
            if (meters.isEmpty())
                return false;
            m_host.manager->removeThing(meters.at(int(event.pick % unsigned(meters.size())))->id());
            return true;
        }
        case Kind::MeterThingRemovedMidCycle:
            m_armedMidCycleUntil = now() + 3000;
            return false;
        case Kind::GatewayRemoved: {
            const bool present = gateway() != nullptr;
            removeGateway(event.durationMs);
            return present;
        }
        case Kind::GatewayRemovedInRetryWait:
            if (gateway()) {
                m_gatewayAwayMs = event.durationMs;
                armRetryWait(event.kind, event.variant);
            }
            return false;
        case Kind::GatewayMisconfigured:
            if (!gateway())
                return false;
            if (event.variant == 0) {
                misconfigureGateway(event.durationMs);
                return true;
            }
            m_misconfigAwayMs = event.durationMs;
            armRetryWait(event.kind, event.variant);
            return false;
        case Kind::GatewayRemovedInDetailsWait:
            if (gateway()) {
                m_gatewayAwayMs = event.durationMs;
                m_armedDetailsWaitUntil = now() + 5000;
            }
            return false;
        case Kind::GatewayReconfigured:
            if (!gateway())
                return false;
            reconfigureGateway(gateway()->params());
            return true;
        default:
            return false;
        }
    }

    // A stop may cut a connection mid-request; Qt then sends that GET once more.
    void stopListener(int durationMs)
    {
        if (m_sim->isRunning())
            m_sim->stop();
        m_inv->mayRepeat(now(), 2);
        later(m_listenerToken, durationMs, [this] { startListener(); });
    }

    void startListener()
    {
        if (m_sim->isRunning())
            return;
        // The port was just ours; another process taking it meanwhile would end the soak's sense.
        for (int attempt = 0; attempt < 100 && !m_sim->start(m_sim->port()); ++attempt)
            QThread::msleep(20);
        if (!m_sim->isRunning())
            soakError(QStringLiteral("the simulator cannot listen again on port %1").arg(m_sim->port()));
    }

    void applyBus()
    {
        std::vector<lmnsim::Meter> meters;
        for (int address : m_bus)
            meters.push_back(BridgeSimulator::meterAt(address - 1));
        m_sim->setMeters(std::move(meters));
    }

    // The bridge goes away for a moment, so that the plugin enters its retry wait.
    void armRetryWait(Kind action, int outageMs)
    {
        m_retryWaitAction = action;
        m_armedRetryWaitUntil = now() + outageMs + 3000;
        stopListener(outageMs);
    }

    // The plugin got where an armed action waits for it: the action runs in the next turn of the
    // event loop and counts if it took effect; one armed too long ago counts as missed.
    void strike(qint64 &armedUntil, Kind kind, std::function<bool()> action)
    {
        const bool late = now() > armedUntil;
        armedUntil = -1;
        if (late) {
            ++m_missed[std::size_t(kind)];
            return;
        }
        QTimer::singleShot(0, this, [this, kind, action] {
            if (action())
                ++m_injected[std::size_t(kind)];
        });
    }

    // ---- The host's side ----

    Thing *gateway() const
    {
        for (Thing *thing : m_host.manager->things()) {
            if (thing->thingClassId() == m_host.gatewayClass->id())
                return thing;
        }
        return nullptr;
    }

    void addGateway()
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

    void removeGateway(int awayMs)
    {
        Thing *thing = gateway();
        if (!thing)
            return;
        m_host.manager->removeThing(thing->id());
        // 0: added again in the next turn of whatever event loop runs now, as a second request of
        // the user that arrived together with the removal.
        later(m_gatewayToken, awayMs, [this] { addGateway(); });
    }

    void reconfigureGateway(const ParamList &params)
    {
        m_inv->setupStarted(now());
        m_host.manager->reconfigureThing(gateway()->id(), params);
    }

    // Port 0 is refused by the plugin; setup fails, and nothing may go out until it is put right.
    // Called with a gateway present.
    void misconfigureGateway(int awayMs)
    {
        reconfigureGateway(m_host.gatewayParams(QStringLiteral("0")));
        later(m_misconfigToken, awayMs, [this] { putGatewayRight(); });
    }

    void putGatewayRight()
    {
        Thing *thing = gateway();
        if (!thing || thing->paramValue(QStringLiteral("serverPort")).toString() == m_serverPort)
            return;
        reconfigureGateway(m_host.gatewayParams(m_serverPort));
    }

    void soakError(const QString &what)
    {
        ++m_soakErrors;
        std::fprintf(stderr, "soak error: %s\n", qPrintable(what));
    }

    // ---- What the plugin does ----

    // The plugin's log, on the main thread: cycle count and the points where armed removals strike.
    void onPluginLog(QtMsgType type, const QString &text)
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
            return;
        }
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
    void onRetryWait()
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
    void noteMeterLine(const QString &text)
    {
        static const QRegularExpression line(
            QStringLiteral("^Meter \"([^\"]*)\" (?:(total\\w+) (of .* not written|written again:|restarted at)|(is not answering|answers again))"));
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

    void onThingAdded(Thing *thing)
    {
        if (thing->thingClassId() == m_host.gatewayClass->id())
            return;
        const QString deviceId = rig::deviceIdOf(thing);
        int same = 0;
        for (Thing *other : m_host.meters())
            same += rig::deviceIdOf(other) == deviceId;
        m_inv->meterAdded(thing->id().toText(), deviceId, same);
    }

    void onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value)
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

    void checkDuplicates()
    {
        std::vector<Invariants::MeterThing> meters;
        for (Thing *thing : m_host.meters())
            meters.emplace_back(thing->id().toText(), rig::deviceIdOf(thing));
        m_inv->checkDuplicates(meters);
    }

    void onViolation(Invariant invariant, const QString &what, int count)
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

    // ---- The end: a healthy bridge, and what the plugin promises then ----

    void heal()
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

    void checkRecovery()
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

    void finish()
    {
        m_finished = true;
        m_recoveryTimer.stop();
        m_sampleTimer.stop();
        checkDuplicates();
        QCoreApplication::quit();
    }

    qint64 now() const { return m_clock.elapsed(); }
    double seconds() const { return double(now()) / 1000.0; }

    Config m_config;
    Intervals m_iv;
    QElapsedTimer m_clock;
    std::unique_ptr<lmnsim::BridgeSimulator> m_sim;
    rig::PluginHost m_host;
    std::unique_ptr<Invariants> m_inv;
    StateTypeId m_connectedStateTypeId;
    QString m_serverPort;

    std::vector<Event> m_schedule;
    std::size_t m_next = 0;
    qint64 m_healAtMs = 0;
    QTimer m_eventTimer;
    QTimer m_sampleTimer;
    QTimer m_recoveryTimer;
    std::set<int> m_bus; // LMN addresses on the bus
    std::set<int> m_busBeforeEmpty;
    // Timed changes that a later one of the same slot, or the heal, supersedes.
    std::map<int, std::uint64_t> m_faultToken; // meters by address, 0 the empty bus, endpoints below
    std::uint64_t m_listenerToken = 0;
    std::uint64_t m_gatewayToken = 0;
    std::uint64_t m_misconfigToken = 0;
    int m_gatewayAwayMs = 0;
    int m_misconfigAwayMs = 0;

    // Actions that wait for the plugin to reach a certain point (until the deadline, ms).
    qint64 m_armedRetryWaitUntil = -1;
    Kind m_retryWaitAction = Kind::GatewayRemovedInRetryWait; // or GatewayMisconfigured
    qint64 m_armedDetailsWaitUntil = -1;
    qint64 m_armedMidCycleUntil = -1;

    std::array<int, int(Kind::Count)> m_injected{};
    std::array<int, int(Kind::Count)> m_missed{}; // armed but the plugin never got there in time
    int m_cycles = 0;
    int m_soakErrors = 0;
    QString m_lastPluginLine;
    QStringList m_log; // the plugin's last lines, shown with the first violation of each kind
    bool m_healed = false;
    bool m_finished = false;
    // Last, so that it goes first: its lines go to this runner.
    rig::LogCapture m_pluginLog{false};
};

} // namespace

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
