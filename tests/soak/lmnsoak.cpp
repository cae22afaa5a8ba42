// lmn-soak: the built plugin file in the host stand-in against the in-process bridge simulator,
// for a while, under a seeded random schedule of faults. Invariants are checked all along and
// counted; the exit status is 0 only when every count is 0.
#include "soakschedule.h"

#include <bridgesimulator.h>
#include <qellmnintervals.h>
#include <veyra/thingmanager.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <set>

using lmnsim::BridgeSimulator;
using lmnsim::Endpoint;
using lmnsim::Fault;
using soak::Kind;

namespace {

const char *const kPlusCall = "GeActiceEnergyPlusTotal";
const char *const kMinusCall = "GeActiceEnergyMinusTotal";
constexpr int kSlotCount = 32;
// The meter that joins when the schedule is over; the schedule's meters are 1 to 40.
constexpr int kNewcomer = 41;
constexpr int kRateWindowMs = 5000;
constexpr int kLogRing = 80;

struct Config {
    std::uint32_t seed = 1;
    double durationS = 110;
    double timeScale = 0.0005;
    double unitMs = 0; // 0: the product's ratio, 1000 ms times the time scale
    int meters = 8;
    QString pluginDir = QStringLiteral(VEYRA_PLUGIN_DIR);
    bool printSchedule = false;
    bool verbose = false;
    bool pluginLog = false;
};

// The intervals in force, from the plugin's own constants after the seam, and the update period
// after the timer unit.
struct Intervals {
    double periodMs = 0;  // update timer
    int connectionMs = 0; // connection timer: refresh of the meter list, started at a cycle's end
    int retryMs = 0;      // retry wait after the bridge was unreachable
    int waitMs = 0;       // wait before every connection-details request
    int resendMs = 0;     // delay before a failed value call is sent again
    int timeoutMs = 0;    // request timeout

    static Intervals current(double unitMs)
    {
        namespace I = QelLmnIntervals;
        Intervals iv;
        iv.periodMs = std::max(1.0, std::round(I::updateTimerPeriod * unitMs));
        iv.connectionMs = I::scaled(I::connectionTimerMs);
        iv.retryMs = I::scaled(I::retryTimerMs);
        iv.waitMs = I::scaled(I::connectionDetailsWaitMs);
        iv.resendMs = I::scaled(I::valueResendDelayMs);
        iv.timeoutMs = I::requestTimeout();
        return iv;
    }
};

enum Invariant {
    WrongMeter,      // a reading whose value names another meter
    NotServed,       // a reading the bridge never served for that meter and quantity
    ZeroOrDecrease,  // an energy total of 0 or below the thing's previous total
    DuplicateThing,  // two meter things for one device ID
    RequestRate,     // more requests in a window than the plugin's intervals allow
    FetchOverlap,    // two connection-details fetches less than one wait apart
    Recovery,        // after the schedule: a present meter without fresh readings, or not connected
    InvariantCount
};

const char *invariantName(Invariant invariant)
{
    switch (invariant) {
    case WrongMeter: return "reading written to the wrong meter";
    case NotServed: return "reading the bridge never served";
    case ZeroOrDecrease: return "energy total 0 or below the previous";
    case DuplicateThing: return "two meter things for one device ID";
    case RequestRate: return "request rate above the bound";
    case FetchOverlap: return "details fetches less than a wait apart";
    case Recovery: return "no recovery within the promise";
    case InvariantCount: break;
    }
    return "?";
}

QString deviceIdOf(int address)
{
    return QString::fromStdString(BridgeSimulator::meterAt(address - 1).serverId);
}

class Soak;
Soak *g_soak = nullptr;
QtMessageHandler g_previousHandler = nullptr;
std::atomic<int> g_foreignMessages{0};

class Soak : public QObject
{
public:
    Soak(const Config &config, const Intervals &intervals) : m_config(config), m_iv(intervals) {}

    bool start(QString *error);
    int exitCode() const;
    void printSummary() const;
    void teardown();
    void onPluginLog(QtMsgType type, const QString &text);

    static double promiseMs(const Intervals &iv);
    // The schedule leaves room for the recovery check at the end.
    static qint64 scheduleLengthMs(const Config &config, const Intervals &iv)
    {
        return std::max<qint64>(2000, qint64(config.durationS * 1000) - qint64(std::ceil(promiseMs(iv))) - 500);
    }

private:
    // The schedule.
    void armNextEvent();
    void onEventTimer();
    void execute(const soak::Event &event);
    int pickPresentMeter(std::uint32_t pick) const;
    void setMeterFaultFor(int address, const Fault &fault, int durationMs);
    void setEndpointFaultFor(Endpoint endpoint, const Fault &fault, int durationMs);
    static Fault badBody(soak::Body body, int count);
    void stopListener(int durationMs);
    void startListener();
    void applyBus();
    Thing *gateway() const;
    Things meterThings() const;
    Thing *meterThing(const QString &deviceId) const;
    void addGateway();
    void removeGateway(int awayMs);
    ParamList gatewayParams(const QString &serverPort) const;
    void misconfigureGateway(int awayMs);
    void putGatewayRight();
    void onRetryWait();
    void noteSetup();

    // Invariants.
    void onThingAdded(Thing *thing);
    void onThingRemoved(Thing *thing);
    void onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value);
    void checkDuplicates();
    void sampleRate();
    double rateBound(double spanMs, qint64 fromMs, qint64 toMs) const;
    int setupsBetween(qint64 fromMs, qint64 toMs) const;
    void onDetailsRequest();
    void violation(Invariant invariant, const QString &what);

    // The end.
    void heal();
    void checkRecovery();
    void finish();
    qint64 now() const { return m_clock.elapsed(); }
    double seconds() const { return double(now()) / 1000.0; }
    double recoveryPromiseMs() const { return promiseMs(m_iv); }

    Config m_config;
    Intervals m_iv;
    QElapsedTimer m_clock;
    std::unique_ptr<BridgeSimulator> m_sim;
    std::unique_ptr<ThingManager> m_manager;
    const ThingClass *m_gatewayClass = nullptr;
    StateTypeId m_connectedStateTypeId;
    QString m_serverPort;

    std::vector<soak::Event> m_schedule;
    std::size_t m_next = 0;
    qint64 m_healAtMs = 0;
    QTimer m_eventTimer;
    QTimer m_sampleTimer;
    QTimer m_recoveryTimer;
    std::set<int> m_bus; // LMN addresses on the bus
    std::set<int> m_busBeforeEmpty;
    std::map<int, std::uint64_t> m_meterFaultToken;
    std::map<int, std::uint64_t> m_endpointFaultToken;
    std::uint64_t m_tokens = 0;
    std::uint64_t m_listenerToken = 0;
    std::uint64_t m_gatewayToken = 0;
    int m_gatewayAwayMs = 0;

    // Actions that wait for the plugin to reach a certain point (until the deadline, ms).
    qint64 m_armedRetryWaitUntil = -1;
    Kind m_retryWaitAction = Kind::GatewayRemovedInRetryWait; // or GatewayMisconfigured
    std::uint64_t m_misconfigToken = 0;
    int m_misconfigAwayMs = 0;
    qint64 m_armedDetailsWaitUntil = -1;
    qint64 m_armedMidCycleUntil = -1;

    // What the invariants need.
    QHash<QString, int> m_addressOf;                // device ID -> LMN address
    std::map<int, std::array<double, 2>> m_startWh; // address -> start value (plus, minus)
    QHash<QString, double> m_lastTotal;             // thing id + quantity -> last total in kWh
    QSet<ThingId> m_reportedDuplicates;
    std::deque<std::pair<qint64, std::uint64_t>> m_rateSamples;
    std::deque<qint64> m_setupTimes;                // gateway setups (add, reconfigure)
    std::deque<std::pair<qint64, int>> m_extraRequests; // requests a dropped connection may repeat
    QString m_lastPluginLine;
    qint64 m_lastFetchMs = -1;                       // the last connection-details fetch request
    qint64 m_closestFetchesMs = -1;
    int m_fetches = 0;
    double m_maxRatePerS = 0;
    double m_boundAtMax = 0;

    std::array<int, InvariantCount> m_violations{};
    std::array<int, int(Kind::Count)> m_injected{};
    std::array<int, int(Kind::Count)> m_missed{}; // armed but the plugin never got there in time
    int m_cycles = 0;
    int m_readings = 0;
    int m_metersCreated = 0;
    int m_soakErrors = 0;
    QStringList m_log; // the plugin's last lines, shown with the first violation of each kind

    bool m_healed = false;
    qint64 m_healedAtMs = 0;
    std::map<int, std::array<double, 2>> m_healWh; // present meters at the heal -> values then
    double m_recoveryMs = -1;
    bool m_finished = false;
};

bool Soak::start(QString *error)
{
    m_clock.start();
    lmnsim::Options options;
    options.meters = 0;
    // Only counts: a long run must not keep every request.
    options.keepRecord = false;
    m_sim = std::make_unique<BridgeSimulator>(options);
    const soak::Limits limits;
    for (int address = 1; address <= kNewcomer; ++address) {
        m_addressOf.insert(deviceIdOf(address), address);
        m_startWh[address] = {m_sim->currentValue(address, kPlusCall), m_sim->currentValue(address, kMinusCall)};
    }
    for (int address = 1; address <= std::min(m_config.meters, limits.universe); ++address)
        m_bus.insert(address);
    applyBus();
    if (!m_sim->start(0)) {
        *error = QStringLiteral("the simulator cannot listen");
        return false;
    }
    m_serverPort = QString::number(m_sim->port());

    m_manager = std::make_unique<ThingManager>();
    QStringList errors;
    if (m_manager->loadPlugins(m_config.pluginDir, &errors) != 1) {
        *error = QStringLiteral("cannot load the plugin from %1: %2").arg(m_config.pluginDir, errors.join(QLatin1Char(' ')));
        return false;
    }
    m_manager->hardwareManager()->pluginTimerManager()->setUnitMs(m_config.unitMs);
    m_gatewayClass = m_manager->findThingClass(QStringLiteral("lmn"));
    if (!m_gatewayClass) {
        *error = QStringLiteral("the plugin has no thing class \"lmn\"");
        return false;
    }
    m_connectedStateTypeId = m_gatewayClass->stateTypes().at(m_gatewayClass->stateIndex(QStringLiteral("connected"))).id;
    connect(m_manager.get(), &ThingManager::thingAdded, this, &Soak::onThingAdded);
    connect(m_manager.get(), &ThingManager::thingRemoved, this, &Soak::onThingRemoved);
    connect(m_manager.get(), &ThingManager::thingStateChanged, this, &Soak::onStateChanged);

    m_healAtMs = scheduleLengthMs(m_config, m_iv);
    m_schedule = soak::makeSchedule(m_config.seed, int(m_healAtMs), limits);

    m_eventTimer.setSingleShot(true);
    connect(&m_eventTimer, &QTimer::timeout, this, &Soak::onEventTimer);
    connect(&m_sampleTimer, &QTimer::timeout, this, [this] {
        sampleRate();
        checkDuplicates();
    });
    m_sampleTimer.start(100);
    connect(&m_recoveryTimer, &QTimer::timeout, this, &Soak::checkRecovery);

    addGateway();
    armNextEvent();
    return true;
}

// ---- The schedule ----

void Soak::armNextEvent()
{
    const qint64 at = m_next < m_schedule.size() ? m_schedule[m_next].atMs : m_healAtMs;
    m_eventTimer.start(int(std::max<qint64>(0, at - now())));
}

void Soak::onEventTimer()
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
    // Actions may run nested event loops (a setup waits for the bridge), and this slot may run
    // again inside them: each event is taken before it runs, and the timer is armed for the next.
    while (!m_healed && m_next < m_schedule.size() && m_schedule[m_next].atMs <= now()) {
        const soak::Event event = m_schedule[m_next++];
        armNextEvent();
        execute(event);
    }
    if (!m_healed)
        armNextEvent();
}

int Soak::pickPresentMeter(std::uint32_t pick) const
{
    if (m_bus.empty())
        return int(pick % unsigned(soak::Limits().universe)) + 1;
    auto it = m_bus.begin();
    std::advance(it, pick % m_bus.size());
    return *it;
}

void Soak::setMeterFaultFor(int address, const Fault &fault, int durationMs)
{
    m_sim->setMeterFault(address, fault);
    const std::uint64_t token = ++m_tokens;
    m_meterFaultToken[address] = token;
    if (durationMs > 0) {
        QTimer::singleShot(durationMs, this, [this, address, token] {
            // Only if no later fault took the meter over; clearing also releases hung requests.
            if (m_meterFaultToken[address] == token)
                m_sim->setMeterFault(address, Fault{});
        });
    }
}

void Soak::setEndpointFaultFor(Endpoint endpoint, const Fault &fault, int durationMs)
{
    m_sim->setFault(endpoint, fault);
    const std::uint64_t token = ++m_tokens;
    m_endpointFaultToken[int(endpoint)] = token;
    if (durationMs > 0) {
        QTimer::singleShot(durationMs, this, [this, endpoint, token] {
            if (m_endpointFaultToken[int(endpoint)] == token)
                m_sim->setFault(endpoint, Fault{});
        });
    }
}

Fault Soak::badBody(soak::Body body, int count)
{
    Fault fault;
    fault.count = count;
    switch (body) {
    case soak::Body::NotJson: fault.kind = Fault::Kind::NotJson; break;
    case soak::Body::WrongTypes: fault.kind = Fault::Kind::WrongTypes; break;
    case soak::Body::NotArray: fault.kind = Fault::Kind::NotArray; break;
    case soak::Body::EmptyBody: fault.kind = Fault::Kind::EmptyBody; break;
    case soak::Body::EmptyArray: fault.kind = Fault::Kind::EmptyArray; break;
    case soak::Body::Dropped:
    case soak::Body::Count: fault.kind = Fault::Kind::Close; break;
    }
    return fault;
}

void Soak::stopListener(int durationMs)
{
    if (m_sim->isRunning())
        m_sim->stop();
    const std::uint64_t token = ++m_listenerToken;
    QTimer::singleShot(durationMs, this, [this, token] {
        if (token == m_listenerToken)
            startListener();
    });
}

void Soak::startListener()
{
    if (m_sim->isRunning())
        return;
    // The port was just ours; another process taking it meanwhile would end the soak's sense.
    for (int attempt = 0; attempt < 100 && !m_sim->start(m_sim->port()); ++attempt)
        QThread::msleep(20);
    if (!m_sim->isRunning()) {
        ++m_soakErrors;
        std::fprintf(stderr, "soak error: the simulator cannot listen again on port %u\n", unsigned(m_sim->port()));
    }
}

void Soak::applyBus()
{
    std::vector<lmnsim::Meter> meters;
    for (int address : m_bus)
        meters.push_back(BridgeSimulator::meterAt(address - 1));
    m_sim->setMeters(std::move(meters));
}

Thing *Soak::gateway() const
{
    for (Thing *thing : m_manager->things()) {
        if (thing->thingClassId() == m_gatewayClass->id())
            return thing;
    }
    return nullptr;
}

Things Soak::meterThings() const
{
    Things meters;
    for (Thing *thing : m_manager->things()) {
        if (thing->thingClassId() != m_gatewayClass->id())
            meters.append(thing);
    }
    // A fixed order, so that a pick names the same thing for the same set of things.
    std::sort(meters.begin(), meters.end(), [](Thing *a, Thing *b) {
        return a->paramValue(QStringLiteral("deviceID")).toString() < b->paramValue(QStringLiteral("deviceID")).toString();
    });
    return meters;
}

Thing *Soak::meterThing(const QString &deviceId) const
{
    for (Thing *thing : meterThings()) {
        if (thing->paramValue(QStringLiteral("deviceID")).toString() == deviceId)
            return thing;
    }
    return nullptr;
}

ParamList Soak::gatewayParams(const QString &serverPort) const
{
    const QVector<ParamType> &types = m_gatewayClass->paramTypes();
    return {Param(types.at(m_gatewayClass->paramIndex(QStringLiteral("port"))).id, QStringLiteral("/dev/ttymxc3")),
            Param(types.at(m_gatewayClass->paramIndex(QStringLiteral("serverPort"))).id, serverPort)};
}

void Soak::addGateway()
{
    if (gateway())
        return;
    noteSetup();
    QString error;
    // Returns once the plugin finished the setup, which waits for the bridge in a nested loop.
    if (!m_manager->addThing(m_gatewayClass->id(), QStringLiteral("Gateway"), gatewayParams(m_serverPort), ThingId(), &error)) {
        ++m_soakErrors;
        std::fprintf(stderr, "soak error: cannot add the gateway: %s\n", qPrintable(error));
    }
}

void Soak::removeGateway(int awayMs)
{
    Thing *thing = gateway();
    if (!thing)
        return;
    m_manager->removeThing(thing->id());
    const std::uint64_t token = ++m_gatewayToken;
    // 0: added again in the next turn of whatever event loop runs now, as a second request of
    // the user that arrived together with the removal.
    QTimer::singleShot(awayMs, this, [this, token] {
        if (token == m_gatewayToken)
            addGateway();
    });
}

// Port 0 is refused by the plugin; setup fails, and nothing may go out until it is put right.
void Soak::misconfigureGateway(int awayMs)
{
    Thing *thing = gateway();
    if (!thing)
        return;
    ++m_injected[std::size_t(Kind::GatewayMisconfigured)];
    noteSetup();
    m_manager->reconfigureThing(thing->id(), gatewayParams(QStringLiteral("0")));
    const std::uint64_t token = ++m_misconfigToken;
    QTimer::singleShot(awayMs, this, [this, token] {
        if (token == m_misconfigToken)
            putGatewayRight();
    });
}

void Soak::putGatewayRight()
{
    Thing *thing = gateway();
    if (!thing || thing->paramValue(QStringLiteral("serverPort")).toString() == m_serverPort)
        return;
    noteSetup();
    m_manager->reconfigureThing(thing->id(), gatewayParams(m_serverPort));
}

// The plugin is about to wait before it reconnects; an armed action strikes inside that wait.
void Soak::onRetryWait()
{
    if (m_armedRetryWaitUntil < 0 || m_healed)
        return;
    const Kind action = m_retryWaitAction;
    if (now() > m_armedRetryWaitUntil) {
        m_armedRetryWaitUntil = -1;
        ++m_missed[std::size_t(action)];
        return;
    }
    m_armedRetryWaitUntil = -1;
    QTimer::singleShot(0, this, [this, action] {
        if (!gateway() || m_healed)
            return;
        if (action == Kind::GatewayMisconfigured) {
            misconfigureGateway(m_misconfigAwayMs);
        } else {
            ++m_injected[std::size_t(Kind::GatewayRemovedInRetryWait)];
            removeGateway(m_gatewayAwayMs);
        }
    });
}

void Soak::noteSetup()
{
    m_setupTimes.push_back(now());
}

void Soak::execute(const soak::Event &event)
{
    if (m_config.verbose)
        std::fprintf(stderr, "[%7.3f] %s\n", seconds(), soak::describe(event).c_str());
    const int index = int(event.kind);
    bool injected = true;
    Fault fault;
    if (event.count >= 0)
        fault.count = event.count;
    const int streakMs = event.count >= 0 ? 0 : event.durationMs;
    switch (event.kind) {
    case Kind::ListenerStopped:
        stopListener(event.durationMs);
        // A stop may cut a connection mid-request; Qt then sends that GET once more.
        m_extraRequests.emplace_back(now(), 2);
        break;
    case Kind::MeterHttp404:
    case Kind::MeterHttp500:
        fault.kind = Fault::Kind::HttpStatus;
        fault.status = event.variant;
        setMeterFaultFor(pickPresentMeter(event.pick), fault, streakMs);
        break;
    case Kind::DetailsHttp404:
    case Kind::DetailsHttp500:
        fault.kind = Fault::Kind::HttpStatus;
        fault.status = event.variant;
        setEndpointFaultFor(Endpoint::ConnectionDetails, fault, streakMs);
        break;
    case Kind::RoadHttp500:
        fault.kind = Fault::Kind::HttpStatus;
        fault.status = event.variant;
        setEndpointFaultFor(event.pick % 2 ? Endpoint::Probe : Endpoint::InitializePort, fault, streakMs);
        break;
    case Kind::MeterHang:
        fault.kind = Fault::Kind::Hang;
        setMeterFaultFor(pickPresentMeter(event.pick), fault, event.durationMs);
        break;
    case Kind::DetailsHang:
        fault.kind = Fault::Kind::Hang;
        setEndpointFaultFor(Endpoint::ConnectionDetails, fault, event.durationMs);
        break;
    case Kind::MeterSlow:
        fault.kind = Fault::Kind::Delay;
        fault.delay = std::chrono::milliseconds(event.variant);
        setMeterFaultFor(pickPresentMeter(event.pick), fault, event.durationMs);
        break;
    case Kind::DetailsSlow:
        fault.kind = Fault::Kind::Delay;
        fault.delay = std::chrono::milliseconds(event.variant);
        setEndpointFaultFor(Endpoint::ConnectionDetails, fault, event.durationMs);
        break;
    case Kind::MeterBadBody:
    case Kind::DetailsBadBody: {
        const auto body = soak::Body(event.variant);
        // A dropped connection is always a streak of requests: Qt repeats each of them once.
        const int count = body == soak::Body::Dropped && event.count < 0 ? 3 : event.count;
        const Fault bad = badBody(body, count);
        if (body == soak::Body::Dropped)
            m_extraRequests.emplace_back(now(), count);
        if (event.kind == Kind::MeterBadBody)
            setMeterFaultFor(pickPresentMeter(event.pick), bad, count >= 0 ? 0 : event.durationMs);
        else
            setEndpointFaultFor(Endpoint::ConnectionDetails, bad, count >= 0 ? 0 : event.durationMs);
        break;
    }
    case Kind::MeterJoins: {
        std::vector<int> absent;
        for (int address = 1; address <= soak::Limits().universe; ++address) {
            if (!m_bus.count(address))
                absent.push_back(address);
        }
        injected = !absent.empty();
        if (injected) {
            m_bus.insert(absent[event.pick % absent.size()]);
            applyBus();
        }
        break;
    }
    case Kind::MeterLeaves:
        injected = !m_bus.empty();
        if (injected) {
            m_bus.erase(pickPresentMeter(event.pick));
            applyBus();
        }
        break;
    case Kind::MeterSet:
        m_bus = std::set<int>(event.meters.begin(), event.meters.end());
        applyBus();
        break;
    case Kind::BusEmpty: {
        injected = !m_bus.empty();
        if (!injected)
            break;
        m_busBeforeEmpty = m_bus;
        m_bus.clear();
        applyBus();
        const std::uint64_t token = ++m_tokens;
        m_endpointFaultToken[-1] = token;
        QTimer::singleShot(event.durationMs, this, [this, token] {
            if (m_healed || m_endpointFaultToken[-1] != token || !m_bus.empty())
                return;
            m_bus = m_busBeforeEmpty;
            applyBus();
        });
        break;
    }
    case Kind::MeterThingRemoved: {
        const Things meters = meterThings();
        injected = !meters.isEmpty();
        if (injected)
            m_manager->removeThing(meters.at(int(event.pick % unsigned(meters.size())))->id());
        break;
    }
    case Kind::MeterThingRemovedMidCycle:
        injected = false; // counted when it happens
        m_armedMidCycleUntil = now() + 3000;
        break;
    case Kind::GatewayRemoved:
        injected = gateway() != nullptr;
        removeGateway(event.durationMs);
        break;
    case Kind::GatewayRemovedInRetryWait:
        injected = false;
        if (!gateway())
            break;
        m_gatewayAwayMs = event.durationMs;
        m_retryWaitAction = Kind::GatewayRemovedInRetryWait;
        m_armedRetryWaitUntil = now() + event.variant + 3000;
        // The bridge goes away for a moment, so that the plugin enters its retry wait.
        stopListener(event.variant);
        m_extraRequests.emplace_back(now(), 2);
        break;
    case Kind::GatewayMisconfigured:
        injected = false; // counted when it happens
        if (!gateway())
            break;
        if (event.variant == 0) {
            misconfigureGateway(event.durationMs);
            break;
        }
        m_misconfigAwayMs = event.durationMs;
        m_retryWaitAction = Kind::GatewayMisconfigured;
        m_armedRetryWaitUntil = now() + event.variant + 3000;
        stopListener(event.variant);
        m_extraRequests.emplace_back(now(), 2);
        break;
    case Kind::GatewayRemovedInDetailsWait:
        injected = false;
        if (!gateway())
            break;
        m_gatewayAwayMs = event.durationMs;
        m_armedDetailsWaitUntil = now() + 5000;
        break;
    case Kind::GatewayReconfigured:
        injected = gateway() != nullptr;
        if (injected) {
            noteSetup();
            m_manager->reconfigureThing(gateway()->id(), gateway()->params());
        }
        break;
    case Kind::Count:
        injected = false;
        break;
    }
    if (injected)
        ++m_injected[std::size_t(index)];
}

// The plugin's log, on the main thread: cycle count and the points where armed removals strike.
void Soak::onPluginLog(QtMsgType type, const QString &text)
{
    if (m_config.pluginLog)
        std::fprintf(stderr, "[%7.3f] %s\n", seconds(), qPrintable(text));
    m_log.append(QString::number(now()) + QLatin1Char(' ') + text);
    if (m_log.size() > kLogRing)
        m_log.removeFirst();
    if (type != QtDebugMsg && type != QtCriticalMsg && type != QtWarningMsg)
        return;
    if (text == QLatin1String("All devices updated.")) {
        ++m_cycles;
        return;
    }
    if (text == QLatin1String("Send Get Request \"/GetCurrentConnectionDetails\"")) {
        onDetailsRequest();
        m_lastPluginLine = text;
        return;
    }
    m_lastPluginLine = text;
    if (m_healed)
        return;
    const qint64 t = now();
    if (m_armedMidCycleUntil >= 0 && text.startsWith(QLatin1String("Updating value"))) {
        if (t > m_armedMidCycleUntil) {
            m_armedMidCycleUntil = -1;
            ++m_missed[std::size_t(Kind::MeterThingRemovedMidCycle)];
            return;
        }
        m_armedMidCycleUntil = -1;
        // `Updating value  "<call>"  for  "<device ID>"`: the meter whose call goes out now.
        const QString deviceId = text.section(QLatin1Char('"'), 3, 3);
        QTimer::singleShot(0, this, [this, deviceId] {
            if (Thing *thing = meterThing(deviceId)) {
                ++m_injected[std::size_t(Kind::MeterThingRemovedMidCycle)];
                m_manager->removeThing(thing->id());
            }
        });
        return;
    }
    if (m_armedDetailsWaitUntil >= 0 && text == QLatin1String("Get connection details.")) {
        if (t > m_armedDetailsWaitUntil) {
            m_armedDetailsWaitUntil = -1;
            ++m_missed[std::size_t(Kind::GatewayRemovedInDetailsWait)];
            return;
        }
        m_armedDetailsWaitUntil = -1;
        // Runs inside the wait that starts right after this line.
        QTimer::singleShot(0, this, [this] {
            if (gateway()) {
                ++m_injected[std::size_t(Kind::GatewayRemovedInDetailsWait)];
                removeGateway(m_gatewayAwayMs);
            }
        });
        return;
    }
    // The connected state does not change when it was false already; this line comes right
    // before the retry wait either way.
    if (text == QLatin1String("Server is not reachable!"))
        onRetryWait();
}

// ---- Invariants ----

void Soak::onThingAdded(Thing *thing)
{
    if (thing->thingClassId() == m_gatewayClass->id())
        return;
    ++m_metersCreated;
    const QString deviceId = thing->paramValue(QStringLiteral("deviceID")).toString();
    int same = 0;
    for (Thing *other : m_manager->things())
        same += other->thingClassId() != m_gatewayClass->id()
                && other->paramValue(QStringLiteral("deviceID")).toString() == deviceId;
    if (same > 1) {
        m_reportedDuplicates.insert(thing->id());
        violation(DuplicateThing, QStringLiteral("a second thing for %1 was added").arg(deviceId));
    }
}

void Soak::onThingRemoved(Thing *thing)
{
    const QString id = thing->id().toText();
    m_lastTotal.remove(id + QLatin1String("+"));
    m_lastTotal.remove(id + QLatin1String("-"));
}

void Soak::onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value)
{
    if (thing->thingClassId() == m_gatewayClass->id()) {
        // The state goes false right before the retry wait.
        if (stateTypeId == m_connectedStateTypeId && !value.toBool())
            onRetryWait();
        return;
    }
    const ThingClass &thingClass = thing->thingClass();
    const QString name = thingClass.stateTypes().at(thingClass.stateIndex(stateTypeId)).name;
    const bool consumed = name == QLatin1String("totalEnergyConsumed");
    if (!consumed && name != QLatin1String("totalEnergyProduced"))
        return;
    ++m_readings;
    const QString deviceId = thing->paramValue(QStringLiteral("deviceID")).toString();
    const double kWh = value.toDouble();
    const double wh = kWh * 1000;
    const int expected = m_addressOf.value(deviceId, -1);
    const int named = BridgeSimulator::addressOfValue(wh);
    const QString what = QStringLiteral("%1 %2 = %3 kWh").arg(deviceId, name).arg(kWh, 0, 'f', 3);
    if (named != expected) {
        violation(WrongMeter, QStringLiteral("%1 names meter %2").arg(what).arg(named));
    } else {
        // Served means: not beyond what the bridge has handed out for this meter and quantity,
        // and beyond its starting value (every served value grows by at least 1 Wh). The other
        // quantity's values lie outside that range, so a swap shows here too.
        const double served = m_sim->currentValue(expected, consumed ? kPlusCall : kMinusCall);
        const double startValue = m_startWh[expected][consumed ? 0 : 1];
        if (wh > served + 0.5 || wh < startValue + 0.5)
            violation(NotServed, QStringLiteral("%1, bridge served up to %2 Wh from %3 Wh")
                                     .arg(what).arg(served, 0, 'f', 1).arg(startValue, 0, 'f', 1));
    }
    const QString key = thing->id().toText() + (consumed ? QLatin1String("+") : QLatin1String("-"));
    const double last = m_lastTotal.value(key, 0);
    if (kWh <= 0 || kWh < last)
        violation(ZeroOrDecrease, QStringLiteral("%1 after %2 kWh").arg(what).arg(last, 0, 'f', 3));
    m_lastTotal.insert(key, std::max(last, kWh));
}

void Soak::checkDuplicates()
{
    QHash<QString, Things> byDevice;
    for (Thing *thing : meterThings())
        byDevice[thing->paramValue(QStringLiteral("deviceID")).toString()].append(thing);
    for (auto it = byDevice.constBegin(); it != byDevice.constEnd(); ++it) {
        if (it.value().size() < 2)
            continue;
        for (Thing *thing : it.value()) {
            if (m_reportedDuplicates.contains(thing->id()))
                continue;
            m_reportedDuplicates.insert(thing->id());
            violation(DuplicateThing, QStringLiteral("%1 things for %2").arg(it.value().size()).arg(it.key()));
        }
    }
}

// The most requests the plugin's design allows in `spanMs`, summed over every source of requests.
// Timers are coarse (they may fire up to 5 % early), hence the 0.95. N is every device ID that can
// be on the bus (m_meters never holds more: entries are unique device IDs).
//  - cycles: at most one starts per update period (a restarted timer waits a full period again),
//    plus the one under way when the window opens; each sends the initialised check, maybe the
//    probe and port init, and per meter two value calls of up to 3 attempts each. Every value
//    call belongs to a cycle: none starts while calls of the last one are still out.
//  - reconnections: one at a time, each after a retry wait; probe and port init.
//  - connection details: one fetch per wait, the waits of all callers ending on one timer.
//  - gateway setups (adds, reconfigures) within the window or shortly before: each is a fresh
//    start that waits for nothing before its check, probe and init, and may start a cycle.
//  - Qt sends a GET again once when its connection drops (closed bodies, listener stops).
double Soak::rateBound(double spanMs, qint64 fromMs, qint64 toMs) const
{
    const double n = kNewcomer;
    const double cycles = spanMs / (0.95 * m_iv.periodMs) + 1;
    const double perCycle = 3 + 2 * 3 * n;
    const double roads = spanMs / (0.95 * m_iv.retryMs) + 1;
    const double fetches = spanMs / (0.95 * m_iv.waitMs) + 1;
    const double setups = setupsBetween(fromMs, toMs);
    const qint64 lookBack = m_iv.timeoutMs + m_iv.waitMs + 1000;
    double extra = 0;
    for (const auto &entry : m_extraRequests)
        extra += entry.first >= fromMs - lookBack && entry.first <= toMs ? entry.second : 0;
    return cycles * perCycle + roads * 2 + fetches * 1 + setups * (3 + perCycle) + extra;
}

// A setup's requests can trail it by a hung check (the request timeout) and a wait.
int Soak::setupsBetween(qint64 fromMs, qint64 toMs) const
{
    const qint64 lookBack = m_iv.timeoutMs + m_iv.waitMs + 1000;
    int setups = 0;
    for (qint64 at : m_setupTimes)
        setups += at >= fromMs - lookBack && at <= toMs;
    return setups;
}

// The connection details are asked for by the initialised check (its request follows its log
// line at once) and by fetches. A fetch waits before its request, and there is one fetch at a
// time however many callers ask (connection timer, reconnection, setup, the retry while the bus
// is empty): two fetch requests are at least one wait apart. Fetch chains running side by side
// send theirs together, at the end of the one wait they share.
void Soak::onDetailsRequest()
{
    if (m_lastPluginLine == QLatin1String("Check if the port is initialized."))
        return;
    const qint64 t = now();
    ++m_fetches;
    if (m_lastFetchMs >= 0) {
        const qint64 apart = t - m_lastFetchMs;
        if (m_closestFetchesMs < 0 || apart < m_closestFetchesMs)
            m_closestFetchesMs = apart;
        // 0.8: the clock reads whole milliseconds, and a coarse timer may fire a little early.
        if (double(apart) < 0.8 * m_iv.waitMs)
            violation(FetchOverlap, QStringLiteral("two connection-details fetches %1 ms apart, the wait is %2 ms")
                                        .arg(apart).arg(m_iv.waitMs));
    }
    m_lastFetchMs = t;
}

void Soak::sampleRate()
{
    const qint64 t = now();
    m_rateSamples.emplace_back(t, m_sim->requestCount());
    while (m_rateSamples.size() > 2 && m_rateSamples[1].first <= t - kRateWindowMs)
        m_rateSamples.pop_front();
    const auto &first = m_rateSamples.front();
    const double span = double(t - first.first);
    if (span < kRateWindowMs * 0.9)
        return;
    const double requests = double(m_rateSamples.back().second - first.second);
    const double bound = rateBound(span, first.first, t);
    const double perS = requests * 1000 / span;
    if (perS > m_maxRatePerS) {
        m_maxRatePerS = perS;
        m_boundAtMax = bound * 1000 / span;
    }
    if (requests > bound)
        violation(RequestRate, QStringLiteral("%1 requests in %2 ms, bound %3").arg(requests).arg(span).arg(bound, 0, 'f', 0));
    while (!m_setupTimes.empty() && m_setupTimes.front() < t - 4 * qint64(kRateWindowMs))
        m_setupTimes.pop_front();
    while (!m_extraRequests.empty() && m_extraRequests.front().first < t - 4 * qint64(kRateWindowMs))
        m_extraRequests.pop_front();
}

void Soak::violation(Invariant invariant, const QString &what)
{
    const int count = ++m_violations[invariant];
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

// From the moment the bridge is healthy again, in the worst order of events:
//  - a slow reply under way still takes its delay (hung ones are released by the clearing);
//  - the plugin may be in its retry wait, then reconnects: probe, port init, a details wait;
//  - a cycle cut short then goes on to its end;
//  - the meters it does not poll yet (joined, or their things removed) are taken up by the
//    next connection-details refresh: the connection timer may just have fired, so it starts
//    again at the end of the next cycle (an update period and a cycle away), fires one
//    connection interval later, waits, and a list that arrives during a cycle is taken up at
//    that cycle's end;
//  - then the next update period (the timer starts over with every new meter's setup) starts
//    the cycle that reads them all.
// That is at most: slow reply + retry + 2 waits + connection interval + 2 update periods +
// 3 cycle durations. A cycle of at most 32 healthy meters (65 requests over loopback) is given
// 300 ms plus 8 ms per request: a sanitizer build takes about 110 ms, so a loaded CI machine
// has room several times over.
double Soak::promiseMs(const Intervals &iv)
{
    const soak::Limits limits;
    const double cycleMs = 300 + 8.0 * (2 * kSlotCount + 1);
    return limits.maxSlowMs + iv.retryMs + 2 * iv.waitMs + iv.connectionMs + 2 * iv.periodMs + 3 * cycleMs;
}

void Soak::heal()
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
    m_healedAtMs = now();
    for (int address : m_bus)
        m_healWh[address] = {m_sim->currentValue(address, kPlusCall), m_sim->currentValue(address, kMinusCall)};
    std::fprintf(stderr, "[%7.3f] schedule over, bridge healthy with %zu meters; recovery promised within %.0f ms\n",
                 seconds(), m_bus.size(), recoveryPromiseMs());
    addGateway();
    putGatewayRight();
    m_recoveryTimer.start(20);
}

void Soak::checkRecovery()
{
    if (m_finished)
        return;
    const double elapsed = double(now() - m_healedAtMs);
    Thing *gw = gateway();
    const bool connected = gw && gw->stateValue(m_connectedStateTypeId).toBool();
    QStringList stale;
    for (const auto &entry : m_healWh) {
        const QString deviceId = deviceIdOf(entry.first);
        Thing *thing = meterThing(deviceId);
        if (!thing) {
            stale << deviceId + QStringLiteral(" (no thing)");
            continue;
        }
        const double plus = thing->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble() * 1000;
        const double minus = thing->stateValue(QStringLiteral("totalEnergyProduced")).toDouble() * 1000;
        if (plus < entry.second[0] + 0.5 || minus < entry.second[1] + 0.5)
            stale << deviceId;
    }
    if (stale.isEmpty() && connected) {
        m_recoveryMs = elapsed;
        finish();
        return;
    }
    if (elapsed <= recoveryPromiseMs())
        return;
    for (const QString &meter : qAsConst(stale))
        violation(Recovery, QStringLiteral("%1 has no fresh readings %2 ms after the bridge was healthy").arg(meter).arg(elapsed));
    if (!connected)
        violation(Recovery, QStringLiteral("the gateway is not connected %1 ms after the bridge was healthy").arg(elapsed));
    finish();
}

void Soak::finish()
{
    m_finished = true;
    m_recoveryTimer.stop();
    m_sampleTimer.stop();
    checkDuplicates();
    QCoreApplication::quit();
}

void Soak::teardown()
{
    // As a host that shuts down: the plugin goes without its things being removed.
    m_manager.reset();
    m_sim.reset();
}

int Soak::exitCode() const
{
    for (int count : m_violations) {
        if (count)
            return 1;
    }
    return m_soakErrors || !m_finished ? 1 : 0;
}

void Soak::printSummary() const
{
    std::printf("lmn-soak summary: seed %u, %.1f s, time scale %g, timer unit %g ms\n", m_config.seed,
                seconds(), m_config.timeScale, m_config.unitMs);
    std::printf("  intervals: update period %.0f ms, connection timer %d ms, retry %d ms, details wait %d ms,\n"
                "             re-send delay %d ms, request timeout %d ms\n",
                m_iv.periodMs, m_iv.connectionMs, m_iv.retryMs, m_iv.waitMs, m_iv.resendMs, m_iv.timeoutMs);
    std::printf("  faults injected (%zu events scheduled over %.1f s):\n", m_schedule.size(), double(m_healAtMs) / 1000.0);
    for (int i = 0; i < int(Kind::Count); ++i) {
        std::printf("    %-40s %5d", soak::kindName(Kind(i)), m_injected[std::size_t(i)]);
        if (m_missed[std::size_t(i)])
            std::printf("  (%d armed, moment not reached in time)", m_missed[std::size_t(i)]);
        std::printf("\n");
    }
    std::printf("  cycles completed: %d\n", m_cycles);
    std::printf("  readings written: %d\n", m_readings);
    std::printf("  meter things created: %d\n", m_metersCreated);
    std::printf("  requests: %llu; highest rate %.1f/s over %d s windows (bound there %.1f/s)\n",
                static_cast<unsigned long long>(m_sim->requestCount()), m_maxRatePerS, kRateWindowMs / 1000, m_boundAtMax);
    std::printf("  connection-details fetches: %d, closest two %lld ms apart (wait %d ms)\n", m_fetches,
                static_cast<long long>(m_closestFetchesMs), m_iv.waitMs);
    if (m_recoveryMs >= 0)
        std::printf("  recovery: %zu meters fresh and connected %.0f ms after the bridge was healthy (promise %.0f ms)\n",
                    m_healWh.size(), m_recoveryMs, recoveryPromiseMs());
    else
        std::printf("  recovery: not reached (promise %.0f ms)\n", recoveryPromiseMs());
    std::printf("  messages outside the plugin's category: %d\n", g_foreignMessages.load());
    std::printf("  invariant violations:\n");
    // A crash or a sanitizer report ends the process before this summary.
    std::printf("    %-40s %5d\n", "crash or sanitizer report", 0);
    for (int i = 0; i < InvariantCount; ++i)
        std::printf("    %-40s %5d\n", invariantName(Invariant(i)), m_violations[std::size_t(i)]);
    if (m_soakErrors)
        std::printf("  soak errors: %d\n", m_soakErrors);
    std::printf("  result: %s\n", exitCode() == 0 ? "PASS" : "FAIL");
    std::fflush(stdout);
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const bool plugin = context.category && qstrcmp(context.category, "QelLmn") == 0;
    if (plugin && g_soak && QThread::currentThread() == g_soak->thread()) {
        g_soak->onPluginLog(type, text);
        return;
    }
    if (!plugin)
        ++g_foreignMessages;
    g_previousHandler(type, context, text);
}

bool parse(const QCoreApplication &app, Config *config)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the QelLmn plugin file in the host stand-in against the bridge simulator under a seeded\n"
        "random schedule of faults and checks invariants all along. Exit status 0: no violation."));
    parser.addHelpOption();
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the schedule (default 1)."), QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption duration(QStringLiteral("duration"), QStringLiteral("Length of the run in seconds (default 110)."), QStringLiteral("SECONDS"), QStringLiteral("110"));
    const QCommandLineOption scale(QStringLiteral("time-scale"), QStringLiteral("QELLMN_TIME_SCALE for the plugin (default 0.0005)."), QStringLiteral("FACTOR"), QStringLiteral("0.0005"));
    const QCommandLineOption unit(QStringLiteral("timer-unit-ms"), QStringLiteral("Host timer unit (default: 1000 ms times the time scale, the product's ratio)."), QStringLiteral("MS"));
    const QCommandLineOption meters(QStringLiteral("meters"), QStringLiteral("Meters on the bus at the start (default 8)."), QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption pluginDir(QStringLiteral("plugin-dir"), QStringLiteral("Folder with the plugin file."), QStringLiteral("DIR"), QStringLiteral(VEYRA_PLUGIN_DIR));
    const QCommandLineOption printSchedule(QStringLiteral("print-schedule"), QStringLiteral("Print the schedule of the seed and exit."));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Print each event as it runs."));
    const QCommandLineOption pluginLog(QStringLiteral("plugin-log"), QStringLiteral("Print the plugin's log on stderr."));
    parser.addOptions({seed, duration, scale, unit, meters, pluginDir, printSchedule, verbose, pluginLog});
    parser.process(app);
    bool ok = true;
    bool each = false;
    config->seed = parser.value(seed).toUInt(&each);
    ok = ok && each;
    config->durationS = parser.value(duration).toDouble(&each);
    ok = ok && each && config->durationS >= 5;
    config->timeScale = parser.value(scale).toDouble(&each);
    ok = ok && each && config->timeScale > 0 && config->timeScale <= 1;
    config->unitMs = parser.isSet(unit) ? parser.value(unit).toDouble(&each) : config->timeScale * 1000;
    ok = ok && each && config->unitMs > 0;
    config->meters = parser.value(meters).toInt(&each);
    ok = ok && each && config->meters >= 0 && config->meters <= 40;
    config->pluginDir = parser.value(pluginDir);
    config->printSchedule = parser.isSet(printSchedule);
    config->verbose = parser.isSet(verbose);
    config->pluginLog = parser.isSet(pluginLog);
    if (!ok)
        std::fprintf(stderr, "lmn-soak: bad option value (see --help)\n");
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    // The plugin's debug lines count cycles and mark the moments for armed removals. Rules from
    // the environment would override rules set in code, so ours go last into the environment,
    // before anything logs.
    QByteArray rules = qgetenv("QT_LOGGING_RULES");
    rules += rules.isEmpty() ? "QelLmn.debug=true" : ";QelLmn.debug=true";
    qputenv("QT_LOGGING_RULES", rules);
    QCoreApplication app(argc, argv);
    Config config;
    if (!parse(app, &config))
        return 2;
    // Before the plugin arms its first timer: it reads the seam once.
    qputenv("QELLMN_TIME_SCALE", QByteArray::number(config.timeScale, 'g', 10));
    const Intervals intervals = Intervals::current(config.unitMs);
    if (config.printSchedule) {
        for (const soak::Event &event : soak::makeSchedule(config.seed, int(Soak::scheduleLengthMs(config, intervals))))
            std::printf("%s\n", soak::describe(event).c_str());
        return 0;
    }
    Soak soak(config, intervals);
    g_soak = &soak;
    g_previousHandler = qInstallMessageHandler(handleMessage);
    QString error;
    if (!soak.start(&error)) {
        std::fprintf(stderr, "lmn-soak: %s\n", qPrintable(error));
        return 2;
    }
    std::fprintf(stderr, "lmn-soak: seed %u, %.0f s; rerun with --seed %u --duration %.0f\n", config.seed,
                 config.durationS, config.seed, config.durationS);
    app.exec();
    soak.printSummary();
    const int status = soak.exitCode();
    soak.teardown();
    qInstallMessageHandler(g_previousHandler);
    g_soak = nullptr;
    return status;
}
