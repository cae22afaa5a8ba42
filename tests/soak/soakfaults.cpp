// The schedule's events played: faults in the bridge's replies, wrong data, changes of the bus and
// the listener, and the user's actions on the things.
#include "soakrunner_p.h"

#include <QThread>

#include <algorithm>
#include <cstdio>
#include <iterator>

using lmnsim::BridgeSimulator;
using lmnsim::Endpoint;
using lmnsim::Fault;

namespace soak {

namespace {

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

// The fault behind each broken body, in the order of Body.
constexpr Fault::Kind kBodyFault[] = {Fault::Kind::NotJson,   Fault::Kind::WrongTypes, Fault::Kind::NotArray,
                                      Fault::Kind::EmptyBody, Fault::Kind::EmptyArray, Fault::Kind::Close};
static_assert(std::size(kBodyFault) == std::size_t(Body::Count), "one fault per body");

} // namespace

void Runner::execute(const Event &event)
{
    if (m_config.verbose)
        std::fprintf(stderr, "[%7.3f] %s\n", seconds(), describe(event).c_str());
    // A kind is counted when it took effect; the armed ones when they strike.
    if (injectReplyFault(event) || injectWrongData(event) || changeBridge(event) || actAsUser(event))
        ++m_injected[std::size_t(event.kind)];
}

int Runner::pickPresentMeter(std::uint32_t pick) const
{
    if (m_bus.empty())
        return int(pick % unsigned(Limits().universe)) + 1;
    auto it = m_bus.begin();
    std::advance(it, pick % m_bus.size());
    return *it;
}

// Runs `action` after `ms` unless `token` moved on meanwhile (a later change, or the heal).
void Runner::later(std::uint64_t &token, int ms, std::function<void()> action)
{
    const std::uint64_t mine = ++token;
    QTimer::singleShot(ms, this, [&token, mine, action] {
        if (token == mine)
            action();
    });
}

// Cleared after `durationMs` only if no later fault took the slot over; clearing also releases
// hung requests.
void Runner::faultFor(int slot, std::function<void(const Fault &)> apply, const Fault &fault, int durationMs)
{
    apply(fault);
    std::uint64_t &token = m_faultToken[slot];
    if (durationMs > 0)
        later(token, durationMs, [apply] { apply(Fault{}); });
    else
        ++token;
}

// The faults in the bridge's replies, on one meter's value calls or on an endpoint.
bool Runner::injectReplyFault(const Event &event)
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
    case Kind::DetailsHang: fault.kind = Fault::Kind::Hang; break;
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
    case Kind::DetailsTransfer: fault.kind = kTransferFault[std::size_t(event.variant)]; break;
    default: return false;
    }
    // A streak lasts its requests, anything else its time.
    const int durationMs = fault.count >= 0 ? 0 : event.durationMs;
    if (onMeter(event.kind)) {
        const int address = pickPresentMeter(event.pick);
        faultFor(
            address, [this, address](const Fault &f) { m_sim->setMeterFault(address, f); }, fault, durationMs);
        return true;
    }
    const Endpoint endpoint = event.kind != Kind::RoadHttp500 ? Endpoint::ConnectionDetails
                              : event.pick % 2                ? Endpoint::Probe
                                                              : Endpoint::InitializePort;
    faultFor(
        -1 - int(endpoint), [this, endpoint](const Fault &f) { m_sim->setFault(endpoint, f); }, fault, durationMs);
    return true;
}

// Well-formed answers that are wrong: totals that cannot be right, member lists that name
// meters wrongly.
bool Runner::injectWrongData(const Event &event)
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
    if (lmnsim::MemberFault(event.variant) == lmnsim::MemberFault::AddressSwap)
        m_inv->addressSwap(a, b);
    if (m_config.verbose)
        std::fprintf(stderr, "[%7.3f] member list fault between meters %d and %d\n", seconds(), a, b);
    later(m_faultToken[kMemberFaultSlot], event.durationMs,
          [this] { m_sim->setMemberFault(lmnsim::MemberFault::None); });
    return true;
}

bool Runner::changeBridge(const Event &event)
{
    switch (event.kind) {
    case Kind::ListenerStopped: stopListener(event.durationMs); return true;
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
    case Kind::MeterSet: m_bus = std::set<int>(event.meters.begin(), event.meters.end()); break;
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
    default: return false;
    }
    applyBus();
    return true;
}

bool Runner::actAsUser(const Event &event)
{
    switch (event.kind) {
    case Kind::MeterThingRemoved: {
        const Things meters = m_host.meters();
        if (meters.isEmpty())
            return false;
        m_host.manager->removeThing(meters.at(int(event.pick % unsigned(meters.size())))->id());
        return true;
    }
    case Kind::MeterThingRemovedMidCycle: m_armedMidCycleUntil = now() + 3000; return false;
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
    default: return false;
    }
}

// A stop may cut a connection mid-request; Qt then sends that GET once more.
void Runner::stopListener(int durationMs)
{
    if (m_sim->isRunning())
        m_sim->stop();
    m_inv->mayRepeat(now(), 2);
    later(m_listenerToken, durationMs, [this] { startListener(); });
}

void Runner::startListener()
{
    if (m_sim->isRunning())
        return;
    // The port was just ours; another process taking it meanwhile would end the soak's sense.
    for (int attempt = 0; attempt < 100 && !m_sim->start(m_sim->port()); ++attempt)
        QThread::msleep(20);
    if (!m_sim->isRunning())
        soakError(QStringLiteral("the simulator cannot listen again on port %1").arg(m_sim->port()));
}

void Runner::applyBus()
{
    std::vector<lmnsim::Meter> meters;
    for (int address : m_bus)
        meters.push_back(BridgeSimulator::meterAt(address - 1));
    m_sim->setMeters(std::move(meters));
}

// The bridge goes away for a moment, so that the plugin enters its retry wait.
void Runner::armRetryWait(Kind action, int outageMs)
{
    m_retryWaitAction = action;
    m_armedRetryWaitUntil = now() + outageMs + 3000;
    stopListener(outageMs);
}

// The plugin got where an armed action waits for it: the action runs in the next turn of the
// event loop and counts if it took effect; one armed too long ago counts as missed.
void Runner::strike(qint64 &armedUntil, Kind kind, std::function<bool()> action)
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

} // namespace soak
