// What must hold while the soak runs and after its schedule is over. Fed with what the run
// observes, times in ms from the start of the run, so that each check runs without an event loop.
#pragma once

#include <bridgesimulator.h>

#include <QHash>
#include <QSet>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace soak {

constexpr int kSlotCount = 32;
// The meter that joins when the schedule is over; the schedule's meters are 1 to 40.
constexpr int kNewcomer = 41;
constexpr int kRateWindowMs = 5000;
constexpr qint64 kMemoryMarginKb = 10 * 1024;

// The intervals in force, from the plugin's own constants after the seam, and the update period
// after the timer unit.
struct Intervals {
    double periodMs = 0;  // update timer
    int connectionMs = 0; // connection timer: refresh of the meter list, started at a cycle's end
    int retryMs = 0;      // retry wait after the bridge was unreachable
    int waitMs = 0;       // wait before every connection-details request
    int resendMs = 0;     // delay before a failed value call is sent again
    int timeoutMs = 0;    // request timeout
};

enum Invariant {
    WrongMeter,      // a reading whose value names another meter, unless it names the other meter
                     // of an address swap whose member list the plugin never got (see below)
    NotServed,       // a reading the bridge never served for that meter and quantity
    ZeroOrDecrease,  // an energy total of 0, below the thing's previous total unless the plugin
                     // said the meter's total restarted, or risen more than any meter counts
    DuplicateThing,  // two meter things for one device ID
    RequestRate,     // more requests in a window than the plugin's intervals allow
    FetchOverlap,    // two connection-details fetches less than one wait apart
    Recovery,        // after the schedule: a present meter without fresh readings, or not connected
    RepeatedWarning, // a second refusal warning for a meter's total, or a second "not answering",
                     // within one episode
    MemoryGrowth,    // resident memory more than kMemoryMarginKb above its level before the faults
    HungMeterCost,   // a meter whose value calls timed out more than once in one cycle
    InvariantCount
};

const char *invariantName(Invariant invariant);
QString deviceIdOf(int address);
// How long after the bridge is healthy again every present meter has fresh readings.
double recoveryPromiseMs(const Intervals &iv);

// What the run saw, for its summary.
struct Tally {
    int readings = 0;
    int metersCreated = 0;
    int fetches = 0;
    qint64 closestFetchesMs = -1;
    double maxRatePerS = 0;
    double boundAtMax = 0;
    double recoveryMs = -1; // -1: not reached
    std::size_t healedMeters = 0;
    qint64 baselineKb = -1; // resident memory before the faults; -1: not measured
    qint64 maxGrowthKb = 0;
};

class Invariants
{
public:
    // The value in Wh the bridge last served for a meter and quantity (its start value before).
    using Served = std::function<double(int address, bool consumed)>;
    // Each violation as it is found, with how many of its kind there are now.
    using Report = std::function<void(Invariant invariant, const QString &what, int count)>;
    // A meter thing's totals in Wh (consumed, produced); false when the meter has no thing.
    using Totals = std::function<bool(const QString &deviceId, std::array<double, 2> *wh)>;
    using MeterThing = std::pair<QString, QString>; // thing id, device ID

    Invariants(const Intervals &iv, Served served, Report report);

    // Things and readings.
    void meterAdded(const QString &thingId, const QString &deviceId, int thingsForDevice);
    void thingRemoved(const QString &thingId);
    // `t` in ms; 0 for checks that do not care about time.
    void reading(const QString &thingId, const QString &deviceId, const QString &stateName, double kWh, qint64 t = 0);
    // The plugin's lines about a meter's totals and its answers.
    void refusalLogged(const QString &deviceId, const QString &stateName);
    void writtenAgainLogged(const QString &deviceId, const QString &stateName);
    void restartLogged(const QString &deviceId, const QString &stateName);
    void silentLogged(const QString &deviceId);
    void answersAgainLogged(const QString &deviceId);
    void checkDuplicates(const std::vector<MeterThing> &meters);
    // The bridge serves wrong values for a meter's total from now on (None: right ones again).
    // A thing's first total cannot be judged while they last: the plugin has nothing to judge it by.
    void valueFault(int address, bool consumed, lmnsim::ValueFault fault);

    // Requests.
    void setupStarted(qint64 t)
    {
        m_setupTimes.push_back(t);
        cycleEnded();
    }
    // Requests a dropped connection may repeat.
    void mayRepeat(qint64 t, int requests) { m_extraRequests.emplace_back(t, requests); }
    void sampleRate(qint64 t, std::uint64_t requestCount);
    double rateBound(double spanMs, qint64 fromMs, qint64 toMs) const;
    void detailsRequest(qint64 t, const QString &previousPluginLine);
    // The bridge's address swap moves its two meters at every member list it builds, also for a
    // request whose answer the plugin then never gets (aborted at its deadline or its size limit,
    // cut by a stopped listener, released from a hang just after the plugin gave up, or sent by a
    // client deleted with its gateway). Until the plugin hears a list again it reads the two where
    // the bridge listed them last, and each gets the other's values: nothing could tell it. Only
    // that is forgiven: a reading that names the other meter of the pair is taken when a request
    // was abandoned since the plugin last heard a list, and judged once the requests out are over
    // when one is out (forgiven if one of them was abandoned, a violation if all were heard).
    void addressSwap(int a, int b) { m_swapPairs.insert(std::minmax(a, b)); }
    void detailsSent() { ++m_detailsOut; }
    void detailsHeard();
    void detailsAbandoned();
    void detailsClientDeleted();
    // The run is over: readings still waiting for their requests are violations.
    void runOver() { settleSwapped(false); }

    // Resident memory: its level before the faults, then samples.
    void memoryBaseline(qint64 kB) { m_tally.baselineKb = kB; }
    void sampleMemory(qint64 kB);
    // A value call to the meter at `address` timed out; a cycle ended, or a setup started one afresh.
    void valueTimedOut(int address);
    void cycleEnded() { m_timedOutThisCycle.clear(); }

    // After the schedule: the meters present at the heal must get fresh readings.
    void healed(qint64 t, const std::set<int> &bus);
    // True once the recovery is decided: reached, or its promise passed (then violations).
    bool recoveryOver(qint64 t, bool connected, const Totals &totals);

    int violations(Invariant invariant) const { return m_violations[std::size_t(invariant)]; }
    bool anyViolation() const;
    const Tally &tally() const { return m_tally; }

private:
    void violation(Invariant invariant, const QString &what);
    bool namesSwapPartner(int named, int expected) const;
    void detailsOver(bool abandoned);
    void settleSwapped(bool forgiven);
    int setupsBetween(qint64 fromMs, qint64 toMs) const;

    Intervals m_iv;
    Served m_served;
    Report m_report;
    QHash<QString, int> m_addressOf;                // device ID -> LMN address
    std::map<int, std::array<double, 2>> m_startWh; // address -> start value (plus, minus)
    QHash<QString, double> m_lastTotal;             // thing id + quantity -> last total in kWh
    QHash<QString, qint64> m_lastTotalAt;           // ... and when it was written
    QHash<QString, QString> m_deviceOfThing;
    QSet<QString> m_refusing;                      // device ID + quantity: an episode is open
    QSet<QString> m_restartPending;                // device ID + quantity: may drop once
    std::set<std::pair<int, bool>> m_faultyValues; // address, consumed: wrong values served now
    QSet<QString> m_silent;                        // device IDs said not to answer
    QSet<QString> m_reportedDuplicates;
    std::deque<std::pair<qint64, std::uint64_t>> m_rateSamples;
    std::deque<qint64> m_setupTimes; // gateway setups (add, reconfigure)
    std::deque<std::pair<qint64, int>> m_extraRequests;
    qint64 m_lastFetchMs = -1; // the last connection-details fetch request
    std::array<int, InvariantCount> m_violations{};
    qint64 m_healedAtMs = 0;
    std::map<int, std::array<double, 2>> m_healWh; // present meters at the heal -> values then
    Tally m_tally;
    bool m_overMargin = false;
    std::set<int> m_timedOutThisCycle;
    // The address swaps injected, lower address first: a lost list may also have undone one
    // that a later swap took over from.
    std::set<std::pair<int, int>> m_swapPairs;
    int m_detailsOut = 0;            // connection-details requests sent and not yet over
    bool m_listAbandoned = false;    // one was abandoned since the plugin last heard a list
    bool m_waitingAbandoned = false; // one was abandoned while readings below waited
    int m_waitingFor = 0;            // outcomes they still wait for
    QStringList m_waitingSwapped;    // readings of the swap pair waiting for the requests out
};

} // namespace soak
