#include "simroutes.h"

#include <algorithm>

namespace lmnsim {

namespace {

struct Route {
    bool known = false;
    Endpoint endpoint = Endpoint::Probe;
    int address = -1;
    std::string callName;
    std::string query;
};

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool isDecimal(const std::string &text)
{
    return !text.empty() && text.size() <= 9
           && std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

// The bridge accepts exactly the line settings of the LMN bus, in any order.
bool isValidInitQuery(const std::string &query)
{
    static const std::map<std::string, std::string> expected = {
        {"baudrate", "921600"}, {"databits", "8"}, {"parity", "0"}, {"stopBits", "1"}};
    std::map<std::string, std::string> seen;
    for (const std::string &pair : split(query, '&')) {
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos || !seen.emplace(pair.substr(0, eq), pair.substr(eq + 1)).second)
            return false;
    }
    return seen == expected;
}

// Paths are compared raw, so the port segment must be encoded exactly as the bridge expects.
Route classify(const std::string &path, const std::string &query, const std::string &segment)
{
    Route route;
    route.query = query;
    route.known = true;
    const std::vector<std::string> parts = split(path, '/');
    // parts[0] is the empty text before the leading slash.
    const bool ownPort = parts.size() >= 3 && parts[0].empty() && parts[1] == segment;
    if (path == "/swagger/index.html") {
        route.endpoint = Endpoint::Probe;
    } else if (path == "/GetCurrentConnectionDetails") {
        route.endpoint = Endpoint::ConnectionDetails;
    } else if (ownPort && parts.size() == 3 && parts[2] == "InitializePort") {
        route.endpoint = Endpoint::InitializePort;
    } else if (ownPort && parts.size() == 3 && parts[2] == "ReinizializeLMNBus") {
        route.endpoint = Endpoint::ReinitializeBus;
    } else if (ownPort && parts.size() == 4 && isDecimal(parts[2]) && !parts[3].empty()) {
        route.endpoint = Endpoint::Value;
        route.address = std::stoi(parts[2]);
        route.callName = parts[3];
    } else {
        route.known = false;
    }
    return route;
}

void setText(httplib::Response &res, int status, const char *text)
{
    res.status = status;
    res.set_content(text, "text/plain");
}

// A JSON answer as a fault variant turns it: not JSON, empty, "[]", or as it is.
void setJson(httplib::Response &res, Fault::Kind variant, const std::string &json)
{
    if (variant == Fault::Kind::NotJson)
        return res.set_content("<html><body>Internal bridge error</body></html>", "text/html");
    const char *const type = "application/json; charset=utf-8";
    if (variant == Fault::Kind::EmptyBody || variant == Fault::Kind::EmptyArray)
        return res.set_content(variant == Fault::Kind::EmptyBody ? "" : "[]", type);
    res.set_content(json, type);
}

// How often a waiting request looks whether its client is still there.
constexpr std::chrono::milliseconds kClientCheck{20};

// Waits until `released` holds or `deadline` passes. False when nobody is to be answered any
// more: the server stops, or the client went away, as a client does that gave up waiting.
template<typename Released>
bool waitToAnswer(Bridge &bridge, std::unique_lock<std::mutex> &lock, const Connection *connection,
                  std::chrono::steady_clock::time_point deadline, Released released)
{
    while (!released()) {
        if (bridge.shared.stopping.load() || (connection && connection->clientGone()))
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        bridge.shared.wakeup.wait_until(lock, std::min(deadline, now + kClientCheck));
    }
    return !bridge.shared.stopping.load();
}

// False when the fault settled the request: an error status, or no answer at all.
bool meetFault(Bridge &bridge, const Route &route, std::unique_lock<std::mutex> &lock, Fault::Kind &variant,
               std::chrono::milliseconds &interval, httplib::Response &res)
{
    // A meter fault beats the endpoint fault for value calls of its address.
    FaultSlot *slot = &bridge.endpointFaults[static_cast<std::size_t>(route.endpoint)];
    if (route.endpoint == Endpoint::Value) {
        auto it = bridge.meterFaults.find(route.address);
        if (it != bridge.meterFaults.end() && it->second.fault.kind != Fault::Kind::None)
            slot = &it->second;
    }
    const Fault fault = slot->fault;
    if (fault.kind != Fault::Kind::None && fault.count > 0 && --slot->fault.count == 0)
        slot->fault = Fault{};
    if (fault.kind == Fault::Kind::None || fault.count == 0)
        return true;

    Connection *connection = currentConnection();
    const std::uint64_t generation = slot->generation;
    const std::uint64_t cleared = bridge.clearGeneration;
    bool answer = true;
    switch (fault.kind) {
    case Fault::Kind::HttpStatus: setText(res, fault.status, "simulated failure"); return false;
    case Fault::Kind::Delay:
        answer = waitToAnswer(bridge, lock, connection, std::chrono::steady_clock::now() + fault.delay,
                              [] { return false; });
        break;
    case Fault::Kind::Hang:
        // Watching the slot through a pointer is safe: meter slots are never erased (std::map
        // nodes stay put) and endpoint slots never move.
        answer = waitToAnswer(bridge, lock, connection, std::chrono::steady_clock::time_point::max(),
                              [&] { return slot->generation != generation || bridge.clearGeneration != cleared; });
        break;
    case Fault::Kind::Close: answer = false; break;
    case Fault::Kind::UnendingStatusLine:
    case Fault::Kind::UnendingHeaderLine:
    case Fault::Kind::EndlessHeaders:
    case Fault::Kind::UnendingChunkLine:
    case Fault::Kind::EndlessContinue:
    case Fault::Kind::GzipTransfer:
        if (connection) {
            const BrokenFraming framing = brokenFraming(fault.kind);
            // Without the lock: the other connections are served meanwhile.
            lock.unlock();
            connection->sendEndlessly(framing.head, framing.filler, bridge.shared.stopping);
            lock.lock();
        }
        answer = false;
        break;
    default:
        variant = fault.kind;
        interval = fault.delay;
        return true;
    }
    // Released: answer as if nothing had happened, unless nobody is to be answered.
    if (!answer && connection)
        connection->abort();
    return answer;
}

// How long a request that arrives while others of its endpoint are in flight gives them to show
// that their clients have gone. A client that gives up on one request may send the next at once,
// and on another connection: the close of the first can reach the server a moment after it.
constexpr std::chrono::milliseconds kGoneGrace{100};

// Counts a request to a known endpoint as in flight for as long as it lives; made and destroyed
// under the simulator's mutex.
class InFlight
{
public:
    InFlight(Bridge &bridge, Endpoint endpoint, std::unique_lock<std::mutex> &lock, const httplib::Response &res,
             const Connection *connection)
        : m_bridge(bridge), m_traffic(bridge.traffic[static_cast<std::size_t>(endpoint)]),
          m_res(res), m_serving{endpoint, connection}
    {
        const auto until = std::chrono::steady_clock::now() + kGoneGrace;
        while (othersWaited() && std::chrono::steady_clock::now() < until && !m_bridge.shared.stopping.load())
            m_bridge.shared.wakeup.wait_for(lock, std::chrono::milliseconds(2));
        m_bridge.serving.push_back(&m_serving);
        ++m_traffic.received;
        m_traffic.mostInFlight = std::max(m_traffic.mostInFlight, ++m_traffic.inFlight);
    }
    ~InFlight()
    {
        m_bridge.serving.erase(std::find(m_bridge.serving.begin(), m_bridge.serving.end(), &m_serving));
        if (!m_serving.clientGone)
            --m_traffic.inFlight;
        const bool aborted = m_serving.connection && m_serving.connection->aborted;
        if (m_res.status >= 200 && m_res.status < 300 && !aborted)
            ++m_traffic.answered;
    }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

private:
    // Whether a request of the same endpoint is still in flight with its client there; those
    // whose client has gone stop counting.
    bool othersWaited()
    {
        bool waited = false;
        for (Serving *other : m_bridge.serving) {
            if (other->endpoint != m_serving.endpoint || other->clientGone)
                continue;
            if (other->connection && other->connection->clientGone()) {
                other->clientGone = true;
                --m_traffic.inFlight;
            } else {
                waited = true;
            }
        }
        return waited;
    }

    Bridge &m_bridge;
    Traffic &m_traffic;
    const httplib::Response &m_res;
    Serving m_serving;
};

// The address whose meter answers at `address`: the other one of a swapped pair.
int meterAnswering(const Bridge &bridge, int address)
{
    if (!bridge.swapped)
        return address;
    if (address == bridge.swapA)
        return bridge.swapB;
    return address == bridge.swapB ? bridge.swapA : address;
}

double faultyValue(ValueFault fault, Readings &meter, Call call)
{
    switch (fault) {
    case ValueFault::Zero: return 0;
    case ValueFault::Lower: return meter.current(call) - 1000;
    case ValueFault::Huge: return 1.8e19;
    case ValueFault::Negative: return -meter.current(call);
    case ValueFault::Frozen: return meter.current(call);
    case ValueFault::Restart: meter.restart(call); break;
    case ValueFault::None: break;
    }
    return meter.next(call);
}

void answerValue(Bridge &bridge, const Route &route, Fault::Kind variant, httplib::Response &res)
{
    const bool faulty = variant != Fault::Kind::None;
    const Call call = callNamed(route.callName);
    const int answering = meterAnswering(bridge, route.address);
    const bool known = std::any_of(bridge.meters.begin(), bridge.meters.end(),
                                   [&](const Meter &m) { return m.lmnAddress == answering; });
    if (!faulty && (!known || call == Call::Unknown))
        return setText(res, 404, "not found");
    // A faulty answer is not a reading, so the meter's counters stay where they are; it is shaped
    // like a total even for a call the bridge does not know.
    const Call shown = call == Call::Unknown ? Call::PlusTotal : call;
    Readings &meter = bridge.readings.try_emplace(answering, answering).first->second;
    if (faulty)
        return setJson(res, variant, valueBody(shown, meter.current(shown), variant));
    ValueFault fault = ValueFault::None;
    const auto it = bridge.valueFaults.find({answering, shown});
    if (it != bridge.valueFaults.end()) {
        fault = it->second;
        if (fault == ValueFault::Restart)
            bridge.valueFaults.erase(it);
    }
    setJson(res, variant, valueBody(shown, faultyValue(fault, meter, shown), variant));
}

// The member list as the bridge gives it, after a member fault.
std::vector<Meter> listedMeters(Bridge &bridge)
{
    // Moved at this request: the swap toggles while its fault holds, and is undone after it.
    if (bridge.memberFault == MemberFault::AddressSwap) {
        bridge.swapped = !bridge.swapped;
        bridge.swapA = bridge.memberA;
        bridge.swapB = bridge.memberB;
    } else {
        bridge.swapped = false;
    }
    std::vector<Meter> listed = bridge.meters;
    if (bridge.swapped) {
        for (Meter &meter : listed) {
            meter.lmnAddress = meter.lmnAddress == bridge.swapA   ? bridge.swapB
                               : meter.lmnAddress == bridge.swapB ? bridge.swapA
                                                                  : meter.lmnAddress;
        }
    }
    const int a = bridge.memberA;
    const int b = bridge.memberB;
    const auto at = [&listed](int address) {
        return std::find_if(listed.begin(), listed.end(),
                            [address](const Meter &m) { return m.lmnAddress == address; });
    };
    switch (bridge.memberFault) {
    case MemberFault::None: break;
    case MemberFault::DuplicateId:
        if (at(a) != listed.end())
            listed.push_back({at(a)->serverId, b});
        break;
    case MemberFault::SharedAddress:
        if (at(b) != listed.end())
            at(b)->lmnAddress = a;
        break;
    case MemberFault::AddressSwap: break;
    }
    return listed;
}

void answer(Bridge &bridge, const Route &route, const std::string &method, Fault::Kind variant, httplib::Response &res)
{
    const bool faulty = variant != Fault::Kind::None;
    res.status = 200;
    switch (route.endpoint) {
    case Endpoint::Probe:
        if (!faulty)
            return res.set_content(method == "HEAD" ? "" : "<!DOCTYPE html><html><body>Swagger UI</body></html>",
                                   "text/html");
        break;
    case Endpoint::InitializePort:
        if (!isValidInitQuery(route.query))
            return setText(res, 400, "invalid port settings");
        bridge.initialized = true;
        if (!faulty)
            return;
        break;
    case Endpoint::ReinitializeBus:
        if (!faulty)
            return;
        break;
    case Endpoint::ConnectionDetails:
        return setJson(res, variant,
                       connectionDetailsBody(bridge.options, bridge.initialized, listedMeters(bridge), variant));
    case Endpoint::Value: return answerValue(bridge, route, variant, res);
    }
    setJson(res, variant, "{}");
}

// The misbehaviours of the transfer itself, applied to the answer once it is made.
void shapeBody(Bridge &bridge, Fault::Kind variant, std::chrono::milliseconds interval, httplib::Response &res)
{
    const std::string type = res.get_header_value("Content-Type");
    Shared &shared = bridge.shared;
    switch (variant) {
    case Fault::Kind::UnpacedEndlessBody:
    case Fault::Kind::EndlessBody:
        res.body.clear();
        res.set_chunked_content_provider(
            type, [&shared, paced = variant == Fault::Kind::EndlessBody](std::size_t, httplib::DataSink &sink) {
                static const std::string blanks(std::size_t(16) * 1024, ' ');
                // Paced at 8 MB/s, a body the client's limits are to end; unpaced, as fast as the
                // client reads, so that reading it must be bounded per event too. Ends when the
                // client goes away (the write fails) or the server stops.
                if (!paced)
                    return !shared.stopping.load() && sink.write(blanks.data(), blanks.size());
                std::unique_lock<std::mutex> lock(shared.mutex);
                if (shared.wakeup.wait_for(lock, std::chrono::milliseconds(2), [&] { return shared.stopping.load(); }))
                    return false;
                lock.unlock();
                return sink.write(blanks.data(), blanks.size());
            });
        break;
    case Fault::Kind::OversizedBody: res.body.insert(0, std::string(std::size_t(2) * 1024 * 1024, ' ')); break;
    case Fault::Kind::Trickle: {
        const std::string body = std::move(res.body);
        res.body.clear();
        const auto pause = interval.count() > 0 ? interval : std::chrono::milliseconds(1000);
        res.set_content_provider(
            body.size(), type, [&shared, body, pause](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                if (offset > 0) {
                    std::unique_lock<std::mutex> lock(shared.mutex);
                    if (shared.wakeup.wait_for(lock, pause, [&] { return shared.stopping.load(); }))
                        return false;
                }
                return sink.write(body.data() + offset, 1);
            });
        break;
    }
    case Fault::Kind::GzipBody:
        res.body = gzipStored(res.body);
        res.set_header("Content-Encoding", "gzip");
        break;
    case Fault::Kind::NewCookie:
        res.set_header("Set-Cookie",
                       "session" + std::to_string(bridge.requestTotal) + "=" + std::string(64, 'c') + "; Path=/");
        break;
    case Fault::Kind::InvalidUtf8: {
        const std::size_t quote = res.body.find('"');
        if (quote != std::string::npos)
            res.body.insert(quote + 1, "\xff");
        break;
    }
    default: break;
    }
}

} // namespace

Bridge::Bridge(Shared &sharedState, Options o)
    : shared(sharedState), options(std::move(o)), segment(BridgeSimulator::portSegment(options.serialPort)),
      initialized(options.initialized)
{
    for (int i = 0; i < options.meters; ++i)
        meters.push_back(BridgeSimulator::meterAt(i));
}

void Bridge::setFault(FaultSlot &slot, Fault fault)
{
    slot.fault = fault;
    ++slot.generation;
    shared.wakeup.notify_all();
}

void Bridge::handle(const httplib::Request &req, httplib::Response &res)
{
    Connection *connection = currentConnection();
    // httplib keeps the request target exactly as received; req.path is already decoded.
    const std::size_t questionMark = req.target.find('?');
    const std::string path = req.target.substr(0, questionMark);
    const std::string query = questionMark == std::string::npos ? std::string() : req.target.substr(questionMark + 1);

    std::unique_lock<std::mutex> lock(shared.mutex);
    ++requestTotal;
    if (options.keepRecord)
        record.push_back({req.method, req.target, path, query, connection ? connection->id : 0});

    const Route route = classify(path, query, segment);
    if (!route.known)
        return setText(res, 404, "not found");
    if (req.method != "GET" && req.method != "HEAD") {
        // Answered before httplib reads a request body, so the connection cannot be reused.
        if (connection)
            connection->closeAfterReply = true;
        res.set_header("Connection", "close");
        return setText(res, 405, "method not allowed");
    }
    // Declared after the lock, so that it is destroyed while the lock is held.
    const InFlight inFlight(*this, route.endpoint, lock, res, connection);
    Fault::Kind variant = Fault::Kind::None;
    std::chrono::milliseconds interval{0};
    if (meetFault(*this, route, lock, variant, interval, res)) {
        answer(*this, route, req.method, variant, res);
        shapeBody(*this, variant, interval, res);
    }
}

} // namespace lmnsim
