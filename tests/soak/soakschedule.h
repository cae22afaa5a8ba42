// The soak's fault schedule: drawn in full from the seed before the run starts, so that a seed
// always asks for the same faults at the same moments, whatever the plugin does meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

enum class Kind {
    ListenerStopped, // the bridge stops listening (refused connections), back after durationMs
    MeterHttp404,    // a streak of 404 on one meter's value calls
    MeterHttp500,
    DetailsHttp404, // a streak of 404 on the connection details
    DetailsHttp500,
    RoadHttp500, // a streak of 500 on the probe or the port initialisation
    MeterHang,   // one meter's value calls hang until durationMs has passed
    DetailsHang,
    MeterSlow, // one meter answers after `variant` ms for durationMs
    DetailsSlow,
    MeterBadBody, // a streak of bodies of kind `variant` (Body) on one meter
    DetailsBadBody,
    MeterJoins,                  // an absent meter joins the bus
    MeterLeaves,                 // a present meter leaves the bus
    MeterSet,                    // the bus holds exactly `meters` from now on (more than 32 at times)
    BusEmpty,                    // no meter on the bus for durationMs, then the set from before
    MeterThingRemoved,           // the user removes a meter thing
    MeterThingRemovedMidCycle,   // ... while one of its value calls is being sent
    GatewayRemoved,              // the user removes the gateway and adds it again after durationMs
    GatewayRemovedInRetryWait,   // ... from within the plugin's retry wait (the bridge goes away
                                 // for `variant` ms to cause one)
    GatewayRemovedInDetailsWait, // ... from within the wait before a connection-details request
    GatewayReconfigured,         // the user saves the gateway's params unchanged: it is set up again
    GatewayMisconfigured,        // the user gives the gateway an invalid server port and puts it right
                                 // after durationMs; from within the retry wait when `variant` > 0
                                 // (the bridge goes away for `variant` ms to cause one)
    MeterWrongValue,             // one meter serves a well-formed wrong total (`variant`: lmnsim::ValueFault)
                                 // for durationMs; a restart happens once
    MemberListWrong,             // the member list names two meters wrongly (`variant`: lmnsim::MemberFault)
                                 // for durationMs
    MeterTransfer,               // a streak of transfers of kind `variant` (Transfer) on one meter
    DetailsTransfer,             // ... on the connection details
    Count
};

// The broken bodies a bridge may send with status 200, and a connection closed without answer.
enum class Body { NotJson, WrongTypes, NotArray, EmptyBody, EmptyArray, Dropped, Count };

// What a bridge may do to a transfer: bodies without end or beyond reason, a body that trickles,
// an encoding never asked for, a cookie per reply, bytes that are not UTF-8, HTTP's framing
// broken (a status line, a header line or a chunk-size line without end, header fields or
// interim replies without end), and a body without end sent as fast as it is read.
enum class Transfer {
    Endless,
    Oversized,
    Trickle,
    Gzip,
    NewCookie,
    InvalidUtf8,
    StatusLine,
    HeaderLine,
    Headers,
    ChunkLine,
    Continue,
    UnpacedEndless,
    Count
};

const char *kindName(Kind kind);
const char *bodyName(Body body);
const char *transferName(Transfer transfer);

struct Event {
    int atMs = 0; // from the start of the run
    Kind kind = Kind::Count;
    // Picks the meter, meter thing or endpoint among those present when the event runs
    // (pick modulo their number, in a fixed order), so that the choice is the seed's too.
    std::uint32_t pick = 0;
    int count = -1; // streaks: requests it lasts; -1 = for durationMs
    int durationMs = 0;
    int variant = 0;         // status code, Body, Transfer, delay in ms or outage in ms, by kind
    std::vector<int> meters; // MeterSet: LMN addresses, 1 .. universe
};

struct Limits {
    int universe = 40;     // meters 1 .. universe may be on the bus; more than 32 on purpose
    int maxSlowMs = 300;   // longest delay of a slow reply
    int maxHangMs = 2500;  // longest hang; longer than the request timeout's 1 s floor
    int maxOutageMs = 800; // longest time the listener is away
    int maxGatewayAwayMs = 800;
    int maxBusEmptyMs = 6000;
};

// Events from about one second into the run until lengthMs, in time order.
std::vector<Event> makeSchedule(std::uint32_t seed, int lengthMs, const Limits &limits = Limits());

// One line per event, for --print-schedule and for comparing two schedules.
std::string describe(const Event &event);

} // namespace soak
