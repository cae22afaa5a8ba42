#include "soakschedule.h"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <random>
#include <sstream>

namespace soak {

namespace {

// Each kind's name and relative weight, in enum order. Faults that only make sense now and then
// (the gateway going, the bus going empty) are rarer than the ordinary ones.
struct KindInfo {
    const char *name;
    int weight;
};
constexpr KindInfo kKinds[] = {
    {"listener stopped (refused)", 8},
    {"404 streak on a meter", 5},
    {"500 streak on a meter", 5},
    {"404 streak on connection details", 3},
    {"500 streak on connection details", 3},
    {"500 streak on probe or port init", 3},
    {"hung replies on a meter", 4},
    {"hung replies on connection details", 3},
    {"slow replies on a meter", 4},
    {"slow replies on connection details", 3},
    {"bad bodies on a meter", 5},
    {"bad bodies on connection details", 5},
    {"meter joins the bus", 6},
    {"meter leaves the bus", 6},
    {"bus set to a new meter set", 4},
    {"bus empty for a while", 2},
    {"meter thing removed", 4},
    {"meter thing removed mid-call", 4},
    {"gateway removed and re-added", 3},
    {"gateway removed in retry wait", 3},
    {"gateway removed in details wait", 3},
    {"gateway reconfigured", 2},
    {"gateway given an invalid port", 3},
    {"wrong totals on a meter", 5},
    {"member list names meters wrongly", 4},
    {"transfer faults on a meter", 6},
    {"transfer faults on connection details", 5},
};
static_assert(std::size(kKinds) == std::size_t(Kind::Count), "one entry per kind");

// mt19937 is fully specified; the standard distributions are not, so ranges are drawn by hand
// to keep a seed's schedule the same with every standard library.
class Draw
{
public:
    explicit Draw(std::uint32_t seed) : m_engine(seed) {}
    std::uint32_t raw() { return m_engine(); }
    int between(int low, int high) { return low + int(m_engine() % std::uint32_t(high - low + 1)); }
    bool chance(int percent) { return between(1, 100) <= percent; }

private:
    std::mt19937 m_engine;
};

Kind drawKind(Draw &draw)
{
    int total = 0;
    for (const KindInfo &info : kKinds)
        total += info.weight;
    int ticket = draw.between(0, total - 1);
    for (int i = 0; i < int(Kind::Count); ++i) {
        ticket -= kKinds[i].weight;
        if (ticket < 0)
            return Kind(i);
    }
    return Kind::ListenerStopped;
}

// A streak is mostly a number of requests, sometimes a stretch of time.
void drawStreak(Draw &draw, Event &event, int maxCount)
{
    if (draw.chance(70))
        event.count = draw.between(1, maxCount);
    else
        event.durationMs = draw.between(100, 1500);
}

std::vector<int> drawMeterSet(Draw &draw, const Limits &limits)
{
    // Mostly a bus that fits the 32 slots, often one that does not.
    const int size = draw.chance(35) ? draw.between(33, limits.universe) : draw.between(1, 32);
    std::vector<int> all(std::size_t(limits.universe));
    std::iota(all.begin(), all.end(), 1);
    for (int i = int(all.size()) - 1; i > 0; --i)
        std::swap(all[std::size_t(i)], all[std::size_t(draw.between(0, i))]);
    all.resize(std::size_t(size));
    std::sort(all.begin(), all.end());
    return all;
}

} // namespace

const char *kindName(Kind kind)
{
    return std::size_t(kind) < std::size(kKinds) ? kKinds[std::size_t(kind)].name : "?";
}

const char *bodyName(Body body)
{
    static const char *const names[] = {"not JSON",   "wrong types", "not an array",
                                        "empty body", "empty array", "connection dropped"};
    static_assert(std::size(names) == std::size_t(Body::Count), "one name per body");
    return std::size_t(body) < std::size(names) ? names[std::size_t(body)] : "?";
}

const char *transferName(Transfer transfer)
{
    static const char *const names[] = {"endless body",
                                        "oversized body",
                                        "trickling body",
                                        "gzip body",
                                        "new cookie",
                                        "not UTF-8",
                                        "unending status line",
                                        "unending header line",
                                        "endless header fields",
                                        "unending chunk line",
                                        "endless 100 Continue",
                                        "unpaced endless body"};
    static_assert(std::size(names) == std::size_t(Transfer::Count), "one name per transfer");
    return std::size_t(transfer) < std::size(names) ? names[std::size_t(transfer)] : "?";
}

std::vector<Event> makeSchedule(std::uint32_t seed, int lengthMs, const Limits &limits)
{
    Draw draw(seed);
    std::vector<Event> events;
    // Transfer faults take their kinds in turn, from a drawn start: every kind comes up within
    // a few of them, which a draw per fault does not promise.
    int nextTransfer = draw.between(0, int(Transfer::Count) - 1);
    // The first second belongs to the gateway's first setup.
    for (int at = 1000 + draw.between(0, 500); at < lengthMs; at += draw.between(120, 650)) {
        Event event;
        event.atMs = at;
        event.kind = drawKind(draw);
        event.pick = draw.raw();
        switch (event.kind) {
        case Kind::ListenerStopped: event.durationMs = draw.between(20, limits.maxOutageMs); break;
        case Kind::MeterHttp404:
        case Kind::DetailsHttp404:
            event.variant = 404;
            drawStreak(draw, event, event.kind == Kind::MeterHttp404 ? 9 : 4);
            break;
        case Kind::MeterHttp500:
        case Kind::DetailsHttp500:
        case Kind::RoadHttp500:
            event.variant = 500;
            drawStreak(draw, event, event.kind == Kind::MeterHttp500 ? 9 : 4);
            break;
        case Kind::MeterHang:
        case Kind::DetailsHang: event.durationMs = draw.between(100, limits.maxHangMs); break;
        case Kind::MeterSlow:
        case Kind::DetailsSlow:
            event.variant = draw.between(10, limits.maxSlowMs);
            event.durationMs = draw.between(200, 2000);
            break;
        case Kind::MeterBadBody:
        case Kind::DetailsBadBody:
            event.variant = draw.between(0, int(Body::Count) - 1);
            drawStreak(draw, event, 6);
            break;
        case Kind::MeterTransfer:
        case Kind::DetailsTransfer:
            event.variant = nextTransfer++ % int(Transfer::Count);
            drawStreak(draw, event, 4);
            break;
        case Kind::MeterSet: event.meters = drawMeterSet(draw, limits); break;
        case Kind::BusEmpty:
            // Long enough for many connection-details waits and a few cycles in a row.
            event.durationMs = draw.between(100, limits.maxBusEmptyMs);
            break;
        case Kind::GatewayRemoved:
        case Kind::GatewayRemovedInDetailsWait:
            // 0: added again at once, in the same turn of whatever event loop runs.
            event.durationMs = draw.chance(20) ? 0 : draw.between(1, limits.maxGatewayAwayMs);
            break;
        case Kind::GatewayRemovedInRetryWait:
            event.durationMs = draw.chance(20) ? 0 : draw.between(1, limits.maxGatewayAwayMs);
            event.variant = draw.between(50, 400);
            break;
        case Kind::GatewayMisconfigured:
            event.durationMs = draw.between(1, limits.maxGatewayAwayMs);
            event.variant = draw.chance(60) ? draw.between(50, 400) : 0;
            break;
        case Kind::MeterWrongValue:
            event.variant = draw.between(1, 6); // Zero .. Restart
            event.durationMs = draw.between(300, 3000);
            break;
        case Kind::MemberListWrong:
            event.variant = draw.between(1, 3); // DuplicateId .. AddressSwap
            event.durationMs = draw.between(300, 3000);
            break;
        case Kind::MeterJoins:
        case Kind::MeterLeaves:
        case Kind::MeterThingRemoved:
        case Kind::MeterThingRemovedMidCycle:
        case Kind::GatewayReconfigured:
        case Kind::Count: break;
        }
        events.push_back(std::move(event));
    }
    return events;
}

std::string describe(const Event &event)
{
    std::ostringstream out;
    out << event.atMs << " ms: " << kindName(event.kind) << " pick " << event.pick;
    if (event.count >= 0)
        out << " count " << event.count;
    if (event.durationMs > 0)
        out << " for " << event.durationMs << " ms";
    if (event.kind == Kind::MeterBadBody || event.kind == Kind::DetailsBadBody)
        out << " (" << bodyName(Body(event.variant)) << ')';
    else if (event.kind == Kind::MeterTransfer || event.kind == Kind::DetailsTransfer)
        out << " (" << transferName(Transfer(event.variant)) << ')';
    else if (event.variant != 0)
        out << " variant " << event.variant;
    if (!event.meters.empty()) {
        out << " meters";
        for (int address : event.meters)
            out << ' ' << address;
    }
    return out.str();
}

} // namespace soak
