#include "soakinvariants.h"

#include "soakschedule.h"

#include <algorithm>
#include <iterator>

namespace soak {

namespace {

// The most a meter on an LMN bus can count: 1 GW, over the time between two written totals plus
// a minute's grace. The soak's meters count a few Wh a reading, so only garbage comes near it.
constexpr double kMaxPowerW = 1e9;
constexpr double kGraceS = 60;

QString episodeKey(const QString &deviceId, const QString &stateName)
{
    return deviceId + QLatin1Char(' ') + stateName;
}

} // namespace

const char *invariantName(Invariant invariant)
{
    static const char *const names[] = {
        "reading written to the wrong meter",    "reading the bridge never served",
        "energy total 0, dropping or too steep", "two meter things for one device ID",
        "request rate above the bound",          "details fetches less than a wait apart",
        "no recovery within the promise",        "a warning repeated within one episode",
        "resident memory above its margin",      "a hung meter cost two timeouts a cycle",
    };
    static_assert(std::size(names) == InvariantCount, "one name per invariant");
    return std::size_t(invariant) < std::size(names) ? names[std::size_t(invariant)] : "?";
}

QString deviceIdOf(int address)
{
    return QString::fromStdString(lmnsim::BridgeSimulator::meterAt(address - 1).serverId);
}

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
double recoveryPromiseMs(const Intervals &iv)
{
    const double cycleMs = 300 + 8.0 * (2 * kSlotCount + 1);
    return Limits().maxSlowMs + iv.retryMs + 2 * iv.waitMs + iv.connectionMs + 2 * iv.periodMs + 3 * cycleMs;
}

Invariants::Invariants(const Intervals &iv, Served served, Report report)
    : m_iv(iv), m_served(std::move(served)), m_report(std::move(report))
{
    for (int address = 1; address <= kNewcomer; ++address) {
        m_addressOf.insert(deviceIdOf(address), address);
        m_startWh[address] = {m_served(address, true), m_served(address, false)};
    }
}

void Invariants::violation(Invariant invariant, const QString &what)
{
    m_report(invariant, what, ++m_violations[std::size_t(invariant)]);
}

bool Invariants::anyViolation() const
{
    return std::any_of(m_violations.begin(), m_violations.end(), [](int count) { return count > 0; });
}

void Invariants::meterAdded(const QString &thingId, const QString &deviceId, int thingsForDevice)
{
    ++m_tally.metersCreated;
    m_deviceOfThing.insert(thingId, deviceId);
    if (thingsForDevice > 1) {
        m_reportedDuplicates.insert(thingId);
        violation(DuplicateThing, QStringLiteral("a second thing for %1 was added").arg(deviceId));
    }
}

void Invariants::thingRemoved(const QString &thingId)
{
    // A new thing for the meter starts its totals, and their warnings, afresh.
    const QString deviceId = m_deviceOfThing.take(thingId);
    for (const char *name : {"totalEnergyConsumed", "totalEnergyProduced"}) {
        m_refusing.remove(episodeKey(deviceId, QLatin1String(name)));
        m_restartPending.remove(episodeKey(deviceId, QLatin1String(name)));
    }
    for (const QString &key : QStringList{thingId + QLatin1String("+"), thingId + QLatin1String("-")}) {
        m_lastTotal.remove(key);
        m_lastTotalAt.remove(key);
    }
}

void Invariants::refusalLogged(const QString &deviceId, const QString &stateName)
{
    const QString key = episodeKey(deviceId, stateName);
    if (m_refusing.contains(key))
        violation(RepeatedWarning, QStringLiteral("%1 refused again without a written total between").arg(key));
    m_refusing.insert(key);
}

void Invariants::writtenAgainLogged(const QString &deviceId, const QString &stateName)
{
    m_refusing.remove(episodeKey(deviceId, stateName));
}

void Invariants::restartLogged(const QString &deviceId, const QString &stateName)
{
    const QString key = episodeKey(deviceId, stateName);
    m_refusing.remove(key);
    m_restartPending.insert(key);
}

void Invariants::silentLogged(const QString &deviceId)
{
    if (m_silent.contains(deviceId))
        violation(RepeatedWarning, QStringLiteral("%1 said not to answer again before it answered").arg(deviceId));
    m_silent.insert(deviceId);
}

void Invariants::answersAgainLogged(const QString &deviceId)
{
    m_silent.remove(deviceId);
}

void Invariants::reading(const QString &thingId, const QString &deviceId, const QString &stateName, double kWh,
                         qint64 t)
{
    const bool consumed = stateName == QLatin1String("totalEnergyConsumed");
    if (!consumed && stateName != QLatin1String("totalEnergyProduced"))
        return;
    ++m_tally.readings;
    const double wh = kWh * 1000;
    const int expected = m_addressOf.value(deviceId, -1);
    const int named = lmnsim::BridgeSimulator::addressOfValue(wh);
    const QString what = QStringLiteral("%1 %2 = %3 kWh").arg(deviceId, stateName).arg(kWh, 0, 'f', 3);
    const QString key = thingId + (consumed ? QLatin1String("+") : QLatin1String("-"));
    const bool unjudged = !m_lastTotal.contains(key) && m_faultyValues.count({expected, consumed});
    const bool swapPartner = named != expected && namesSwapPartner(named, expected);
    if (unjudged) {
        // Taken as the bridge served it: the plugin had nothing to judge it by.
    } else if (named != expected && !swapPartner) {
        violation(WrongMeter, QStringLiteral("%1 names meter %2").arg(what).arg(named));
    } else {
        const QString wrongMeter = QStringLiteral("%1 names meter %2, its address swap partner").arg(what).arg(named);
        if (!swapPartner || m_listAbandoned) {
            // Right, or the list that moved the pair was lost on its way.
        } else if (m_detailsOut > 0) {
            if (m_waitingSwapped.isEmpty())
                m_waitingFor = m_detailsOut;
            m_waitingSwapped.append(wrongMeter);
        } else {
            violation(WrongMeter, wrongMeter);
        }
        // Served means: not beyond what the bridge has handed out for this meter and quantity,
        // and not below its start (a frozen meter serves that before anything else; a restarted
        // one serves from its restart value on). The other quantity's values lie outside that
        // range, so a swap shows here too. A swap partner's value is judged as that meter's.
        const double served = m_served(named, consumed);
        const double startValue = m_startWh[named][consumed ? 0 : 1];
        if (wh > served + 0.5 || wh < startValue - 0.5)
            violation(NotServed, QStringLiteral("%1, bridge served up to %2 Wh from %3 Wh")
                                     .arg(what)
                                     .arg(served, 0, 'f', 1)
                                     .arg(startValue, 0, 'f', 1));
    }
    const double last = m_lastTotal.value(key, 0);
    const bool restart = m_restartPending.remove(episodeKey(deviceId, stateName));
    m_refusing.remove(episodeKey(deviceId, stateName));
    if (!unjudged && (kWh <= 0 || (kWh < last && !restart)))
        violation(ZeroOrDecrease, QStringLiteral("%1 after %2 kWh").arg(what).arg(last, 0, 'f', 3));
    // The product's seconds: the update period stands for 600 of them. A restart may go down,
    // never up: after it the totals are judged as before it.
    const auto at = m_lastTotalAt.constFind(key);
    if (at != m_lastTotalAt.constEnd()) {
        const double seconds = double(t - at.value()) * 600 / m_iv.periodMs + kGraceS;
        if ((kWh - last) * 1000 > kMaxPowerW * seconds / 3600)
            violation(ZeroOrDecrease,
                      QStringLiteral("%1 after %2 kWh, a rise no meter counts").arg(what).arg(last, 0, 'f', 3));
    }
    m_lastTotal.insert(key, restart ? kWh : std::max(last, kWh));
    m_lastTotalAt.insert(key, t);
}

bool Invariants::namesSwapPartner(int named, int expected) const
{
    return m_swapPairs.count(std::minmax(named, expected)) > 0;
}

void Invariants::detailsHeard()
{
    m_listAbandoned = false;
    detailsOver(false);
}

void Invariants::detailsAbandoned()
{
    m_listAbandoned = true;
    detailsOver(true);
}

// Readings of the swap pair wait for as many outcomes as there were requests out when the first
// of them came.
void Invariants::detailsOver(bool abandoned)
{
    m_detailsOut = std::max(0, m_detailsOut - 1);
    if (m_waitingSwapped.isEmpty())
        return;
    m_waitingAbandoned = m_waitingAbandoned || abandoned;
    if (--m_waitingFor <= 0 || m_detailsOut == 0)
        settleSwapped(m_waitingAbandoned);
}

// Its requests are dropped unheard, answered by the bridge or not.
void Invariants::detailsClientDeleted()
{
    m_detailsOut = 0;
    m_listAbandoned = true;
    settleSwapped(true);
}

void Invariants::settleSwapped(bool forgiven)
{
    if (!forgiven) {
        for (const QString &what : qAsConst(m_waitingSwapped))
            violation(WrongMeter, what);
    }
    m_waitingSwapped.clear();
    m_waitingAbandoned = false;
}

void Invariants::valueFault(int address, bool consumed, lmnsim::ValueFault fault)
{
    if (fault == lmnsim::ValueFault::None) {
        m_faultyValues.erase({address, consumed});
        return;
    }
    if (fault != lmnsim::ValueFault::Restart) {
        m_faultyValues.insert({address, consumed});
        return;
    }
    // For good: the bridge serves from the restart value on, whether the plugin says so or not.
    double &start = m_startWh[address][consumed ? 0 : 1];
    start = std::min(start, address * 1e6 + lmnsim::kRestartWh);
}

void Invariants::checkDuplicates(const std::vector<MeterThing> &meters)
{
    QHash<QString, QStringList> byDevice;
    for (const MeterThing &meter : meters)
        byDevice[meter.second].append(meter.first);
    for (auto it = byDevice.constBegin(); it != byDevice.constEnd(); ++it) {
        if (it.value().size() < 2)
            continue;
        for (const QString &thingId : it.value()) {
            if (m_reportedDuplicates.contains(thingId))
                continue;
            m_reportedDuplicates.insert(thingId);
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
double Invariants::rateBound(double spanMs, qint64 fromMs, qint64 toMs) const
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
int Invariants::setupsBetween(qint64 fromMs, qint64 toMs) const
{
    const qint64 lookBack = m_iv.timeoutMs + m_iv.waitMs + 1000;
    int setups = 0;
    for (qint64 at : m_setupTimes)
        setups += at >= fromMs - lookBack && at <= toMs;
    return setups;
}

void Invariants::sampleRate(qint64 t, std::uint64_t requestCount)
{
    m_rateSamples.emplace_back(t, requestCount);
    while (m_rateSamples.size() > 2 && m_rateSamples[1].first <= t - kRateWindowMs)
        m_rateSamples.pop_front();
    const auto &first = m_rateSamples.front();
    const double span = double(t - first.first);
    if (span < kRateWindowMs * 0.9)
        return;
    const double requests = double(m_rateSamples.back().second - first.second);
    const double bound = rateBound(span, first.first, t);
    const double perS = requests * 1000 / span;
    if (perS > m_tally.maxRatePerS) {
        m_tally.maxRatePerS = perS;
        m_tally.boundAtMax = bound * 1000 / span;
    }
    if (requests > bound)
        violation(RequestRate,
                  QStringLiteral("%1 requests in %2 ms, bound %3").arg(requests).arg(span).arg(bound, 0, 'f', 0));
    while (!m_setupTimes.empty() && m_setupTimes.front() < t - 4 * qint64(kRateWindowMs))
        m_setupTimes.pop_front();
    while (!m_extraRequests.empty() && m_extraRequests.front().first < t - 4 * qint64(kRateWindowMs))
        m_extraRequests.pop_front();
}

void Invariants::sampleMemory(qint64 kB)
{
    if (m_tally.baselineKb < 0)
        return;
    const qint64 growth = kB - m_tally.baselineKb;
    m_tally.maxGrowthKb = std::max(m_tally.maxGrowthKb, growth);
    // Once per excursion above the margin, not at every sample of it.
    const bool over = growth > kMemoryMarginKb;
    if (over && !m_overMargin)
        violation(MemoryGrowth, QStringLiteral("resident memory %1 kB above its level before the faults, margin %2 kB")
                                    .arg(growth)
                                    .arg(kMemoryMarginKb));
    m_overMargin = over;
}

void Invariants::valueTimedOut(int address)
{
    if (!m_timedOutThisCycle.insert(address).second)
        violation(HungMeterCost, QStringLiteral("meter %1 timed out twice in one cycle").arg(address));
}

// The connection details are asked for by the initialised check (its request follows its log
// line at once) and by fetches. A fetch waits before its request, and there is one fetch at a
// time however many callers ask (connection timer, reconnection, setup, the retry while the bus
// is empty): two fetch requests are at least one wait apart. Fetch chains running side by side
// send theirs together, at the end of the one wait they share.
void Invariants::detailsRequest(qint64 t, const QString &previousPluginLine)
{
    if (previousPluginLine == QLatin1String("Check if the port is initialized."))
        return;
    ++m_tally.fetches;
    if (m_lastFetchMs >= 0) {
        const qint64 apart = t - m_lastFetchMs;
        if (m_tally.closestFetchesMs < 0 || apart < m_tally.closestFetchesMs)
            m_tally.closestFetchesMs = apart;
        // 0.8: the clock reads whole milliseconds, and a coarse timer may fire a little early.
        if (double(apart) < 0.8 * m_iv.waitMs)
            violation(FetchOverlap, QStringLiteral("two connection-details fetches %1 ms apart, the wait is %2 ms")
                                        .arg(apart)
                                        .arg(m_iv.waitMs));
    }
    m_lastFetchMs = t;
}

void Invariants::healed(qint64 t, const std::set<int> &bus)
{
    m_healedAtMs = t;
    for (int address : bus)
        m_healWh[address] = {m_served(address, true), m_served(address, false)};
    m_tally.healedMeters = m_healWh.size();
}

bool Invariants::recoveryOver(qint64 t, bool connected, const Totals &totals)
{
    const double elapsed = double(t - m_healedAtMs);
    QStringList stale;
    for (const auto &entry : m_healWh) {
        const QString deviceId = deviceIdOf(entry.first);
        std::array<double, 2> wh{};
        if (!totals(deviceId, &wh))
            stale << deviceId + QStringLiteral(" (no thing)");
        else if (wh[0] < entry.second[0] + 0.5 || wh[1] < entry.second[1] + 0.5)
            stale << deviceId;
    }
    if (stale.isEmpty() && connected) {
        m_tally.recoveryMs = elapsed;
        return true;
    }
    if (elapsed <= recoveryPromiseMs(m_iv))
        return false;
    for (const QString &meter : qAsConst(stale))
        violation(
            Recovery,
            QStringLiteral("%1 has no fresh readings %2 ms after the bridge was healthy").arg(meter).arg(elapsed));
    if (!connected)
        violation(Recovery,
                  QStringLiteral("the gateway is not connected %1 ms after the bridge was healthy").arg(elapsed));
    return true;
}

} // namespace soak
