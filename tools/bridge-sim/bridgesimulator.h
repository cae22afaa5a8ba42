// In-process stand-in for the LMN bridge server: a small HTTP server on 127.0.0.1
// that serves the bridge's endpoints, records every request and injects faults.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lmnsim {

// The most meters one simulator serves: the program's --meters and the host's --simulate stop here.
constexpr int kMaxMeters = 100000;
// Connections served at once; more are answered 503 "too many connections" and closed.
constexpr int kMaxConnections = 128;

// The endpoints the plugin talks to.
enum class Endpoint {
    Probe,             // HEAD /swagger/index.html
    InitializePort,    // GET /<port>/InitializePort?baudrate=...
    ReinitializeBus,   // GET /<port>/ReinizializeLMNBus
    ConnectionDetails, // GET /GetCurrentConnectionDetails
    Value,             // GET /<port>/<lmnAdress>/<call name>
};

struct Fault {
    enum class Kind {
        None,
        HttpStatus,    // answer with `status` (404, 500, ...)
        Delay,         // answer normally after `delay`
        Hang,          // never answer (until the fault is cleared, the client goes or the server stops)
        Close,         // close the connection without an answer (QNetworkAccessManager resends a
                       // GET once after that, so count 1 goes unnoticed by it)
        NotJson,       // 200 with a body that is not JSON
        NotArray,      // 200 with a JSON object instead of an array
        EmptyBody,     // 200 with an empty body
        WrongTypes,    // 200 with the right shape but wrongly typed values
        EmptyArray,    // 200 with "[]"
        EndlessBody,   // 200 with a chunked body that never ends
        OversizedBody, // 200 with the right body after 2 MiB of blanks, its length announced
        Trickle,       // 200 with the right body, one byte per `delay` (1 s when 0)
        GzipBody,      // the right body gzip-encoded, though the client never asked for it
        NewCookie,     // the right answer, with a new cookie set each time
        InvalidUtf8,   // 200 with the right body but a byte that is not UTF-8 in its first string
        // Faults of HTTP's framing, sent for as long as the client reads (unpaced), the
        // connection then closed without an answer.
        UnendingStatusLine, // a status line that never ends
        UnendingHeaderLine, // a header line that never ends
        EndlessHeaders,     // header fields without end
        UnendingChunkLine,  // a chunked body whose first chunk-size line never ends (its extension)
        EndlessContinue,    // interim "100 Continue" replies without end
        GzipTransfer,       // "Transfer-Encoding: gzip, chunked", which no client asks for, then blanks
        UnpacedEndlessBody, // EndlessBody sent as fast as the client reads it
    };
    Kind kind = Kind::None;
    int status = 500;
    std::chrono::milliseconds delay{0};
    // How many requests the fault applies to before it clears itself; -1 = until cleared.
    int count = -1;
};

// Where ValueFault::Restart starts a total again, above the meter's address.
constexpr double kRestartWh = 1000.0;

// Well-formed readings that cannot be right, served for one meter and call (setValueFault). The
// meter's own counter is not advanced by them, except by Restart.
enum class ValueFault {
    None,
    Zero,     // 0
    Lower,    // 1000 Wh below the last reading
    Huge,     // 1.8e19 Wh (1.8e16 kWh), a decoding fault
    Negative, // the last reading with a minus sign
    Frozen,   // the last reading again
    Restart,  // the counter starts again from 1000 Wh (above the address) and counts up; clears itself
};

// Member lists that name meters wrongly, between the meters at the LMN addresses a and b
// (setMemberFault). Only the list changes, except for AddressSwap.
enum class MemberFault {
    None,
    DuplicateId,   // a second member with a's serverID, at address b
    SharedAddress, // b's member listed at address a
    AddressSwap,   // at every connection-details request the two meters swap addresses, and
                   // answer at their new ones: each value still names the meter's first address.
                   // Cleared, they go back at the next such request.
};

struct Meter {
    std::string serverId; // "serverID"
    int lmnAddress = 0;   // "lmnAdress"
};

struct RecordedRequest {
    std::string method; // "GET", "HEAD"
    std::string target; // raw request target as received, e.g. "/%252Fdev%252Fttymxc3/5/GeActiceEnergyPlusTotal"
    std::string path;   // raw target without the query
    std::string query;  // raw query without "?", empty when none
    std::uint64_t connection = 0; // 1-based id of the TCP connection it arrived on
};

// What one endpoint's requests came to. A request is in flight from its arrival until its answer
// is handed over, or until no answer is to be given: its client went away (as a client does that
// gave up on a hung or slow request) or the server stops.
struct Traffic {
    std::uint64_t received = 0;
    std::uint64_t answered = 0; // with a 2xx status
    int inFlight = 0;
    int mostInFlight = 0; // the highest inFlight
};

struct Options {
    // Its last character, a digit, is its element in the connection details; a name that ends
    // otherwise has none, as the client then finds none. Its other routes answer all the same.
    std::string serialPort = "/dev/ttymxc3";
    int meters = 4;           // meters created with default ids/addresses (see meterAt)
    int portCount = 4;        // elements of the connection-details array (at least index+1 of the port)
    bool initialized = false; // "isInitialized" of the selected port at start
    // An idle keep-alive connection is closed by the server after this long, as a real bridge
    // does (commonly after 2 minutes).
    std::chrono::milliseconds keepAliveTimeout{60000};
    // Every reply says "Connection: close" and its connection is closed after it.
    bool closeAfterReply = false;
    // false: requests are only counted, so that a long run (the host program's) keeps no
    // ever-growing record; requests() then stays empty.
    bool keepRecord = true;
};

class BridgeSimulator
{
public:
    explicit BridgeSimulator(const Options &options = {});
    ~BridgeSimulator();
    BridgeSimulator(const BridgeSimulator &) = delete;
    BridgeSimulator &operator=(const BridgeSimulator &) = delete;

    // Listen on 127.0.0.1:port (0 picks a free port). Returns false when it cannot listen.
    // Calling start() after stop() listens again on the same port unless another is given.
    bool start(std::uint16_t port = 0);
    void stop(); // closes the listener and every connection; hung requests are released
    bool isRunning() const;
    std::uint16_t port() const; // the last port listened on (kept after stop()), 0 before start()

    // The serial port name as it appears in request paths: percent-encoded twice,
    // "/dev/ttymxc3" -> "%252Fdev%252Fttymxc3".
    static std::string portSegment(const std::string &serialPort);

    // Meters on the selected serial port.
    static Meter meterAt(int index); // default meter i (0-based): serverId "1-QEL-000-%08d" of i+1, address i+1
    void setMeters(std::vector<Meter> meters);
    void setMeterCount(int count); // meters meterAt(0..count-1)
    void addMeter(Meter meter);
    void removeMeter(const std::string &serverId);
    std::vector<Meter> meters() const;

    bool isInitialized() const;
    void setInitialized(bool initialized);

    // Faults. An endpoint fault applies to every request of that endpoint; a meter fault only
    // to value calls of that LMN address and wins over the endpoint fault.
    void setFault(Endpoint endpoint, Fault fault);
    void setMeterFault(int lmnAddress, Fault fault);
    // `callName` as in the request path; ValueFault::None clears it. An error fault of the meter
    // wins over it.
    void setValueFault(int lmnAddress, const std::string &callName, ValueFault fault);
    void setMemberFault(MemberFault fault, int addressA = 0, int addressB = 0);
    void clearFaults(); // all of them, value and member faults too

    // Energy totals in Wh. Each value names its meter: value / 1e6 (integer part) is the meter's
    // LMN address, so a reading written to the wrong meter is detectable. The rest grows with time
    // (per request served), is below 1e6 and never decreases.
    // currentValue() is the value last served for that address and call name (the starting value
    // before any request), NaN for an unknown call name. Values are kept per address, so a meter
    // that leaves and comes back continues where it was.
    static int addressOfValue(double valueWh);
    // A bus that outlived the simulator: the meter at the address of `plusWh` counts on from
    // these totals, as served by an earlier run, instead of from its start. Values that name no
    // address of theirs, or lie below where the meter is, change nothing.
    void continueFrom(double plusWh, double minusWh);
    double currentValue(int lmnAddress, const std::string &callName) const;

    // Everything received, in order of arrival. A request is recorded when it arrives, before any
    // fault acts on it, so hung and closed requests are recorded too.
    std::vector<RecordedRequest> requests() const;
    void clearRequests(); // empties the record, resets requestCount() and traffic()
    // Requests to `endpoint` since construction or clearRequests(); a reset leaves inFlight as it
    // is and starts mostInFlight from there.
    Traffic traffic(Endpoint endpoint) const;
    std::uint64_t acceptedConnections() const; // since construction; connection ids are never reused
    std::uint64_t requestCount() const;        // requests received since construction or clearRequests()
    std::uint64_t openConnections() const;     // TCP connections open right now

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace lmnsim
