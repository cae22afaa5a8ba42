#include "bridgesimulator.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace lmnsim {

namespace {

const char *const kHost = "127.0.0.1";
const char *const kPlusTotal = "GeActiceEnergyPlusTotal";
const char *const kMinusTotal = "GeActiceEnergyMinusTotal";
const char *const kActivePower = "GetCurrentActivePower";

constexpr double kAddressScale = 1e6;
constexpr double kGrowthCap = 999999.0;
constexpr int kIoTimeoutMs = 5000;
// Idle keep-alive waits look at the stop flag this often; stop() also shuts the sockets down,
// so this is only a safety net.
constexpr int kIdleSliceMs = 200;
constexpr std::size_t kKeepAliveMaxCount = 100000;

int pollFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

// One per TCP connection; the handler reaches it through a thread-local pointer because every
// connection is served by its own thread from accept to close.
struct Connection {
    std::uint64_t id = 0;
    int fd = -1;
    bool aborted = false;      // a fault decided on no answer at all
    bool closeAfterReply = false;
};
thread_local Connection *tlsConnection = nullptr;

// httplib's own socket stream is not public and it drops buffered bytes between requests, so
// the simulator brings its own: buffered reads, poll()-based timeouts, and a way to make every
// write fail once a fault decided that this connection gets no answer.
class SimStream final : public httplib::Stream {
public:
    explicit SimStream(Connection &connection) : m_connection(connection) {}

    bool hasBufferedData() const { return m_offset < m_size; }

    bool is_readable() const override { return pollFor(m_connection.fd, POLLIN, kIoTimeoutMs) > 0; }
    bool is_writable() const override
    {
        return !m_connection.aborted && pollFor(m_connection.fd, POLLOUT, kIoTimeoutMs) > 0;
    }

    ssize_t read(char *ptr, std::size_t size) override
    {
        if (!hasBufferedData()) {
            if (m_connection.aborted || !is_readable())
                return -1;
            ssize_t n;
            do {
                n = ::recv(m_connection.fd, m_buffer.data(), m_buffer.size(), 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0)
                return n;
            m_offset = 0;
            m_size = static_cast<std::size_t>(n);
        }
        const std::size_t chunk = std::min(size, m_size - m_offset);
        std::memcpy(ptr, m_buffer.data() + m_offset, chunk);
        m_offset += chunk;
        return static_cast<ssize_t>(chunk);
    }

    ssize_t write(const char *ptr, std::size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n;
        do {
            n = ::send(m_connection.fd, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (::getpeername(m_connection.fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            describe(addr, ip, port);
    }

    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (::getsockname(m_connection.fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            describe(addr, ip, port);
    }

    socket_t socket() const override { return m_connection.fd; }

private:
    static void describe(const sockaddr_storage &addr, std::string &ip, int &port)
    {
        if (addr.ss_family != AF_INET)
            return;
        sockaddr_in in{};
        std::memcpy(&in, &addr, sizeof(in));
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text)))
            ip = text;
        port = ntohs(in.sin_port);
    }

    Connection &m_connection;
    std::array<char, 4096> m_buffer{};
    std::size_t m_offset = 0;
    std::size_t m_size = 0;
};

// A thread per connection instead of httplib's fixed pool: hung requests must not starve the
// others, however many a test leaves hanging.
class ThreadPerConnection final : public httplib::TaskQueue {
public:
    ~ThreadPerConnection() override { shutdown(); }

    void enqueue(std::function<void()> fn) override
    {
        reap();
        auto done = std::make_shared<std::atomic<bool>>(false);
        m_workers.push_back({std::thread([fn = std::move(fn), done] {
                                 fn();
                                 done->store(true);
                             }),
                             done});
    }

    void shutdown() override
    {
        for (auto &worker : m_workers)
            worker.thread.join();
        m_workers.clear();
    }

    void on_idle() override { reap(); }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void reap()
    {
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = m_workers.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::list<Worker> m_workers;
};

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof(esc), "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string formatNumber(double value)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

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
        if (eq == std::string::npos)
            return false;
        if (!seen.emplace(pair.substr(0, eq), pair.substr(eq + 1)).second)
            return false;
    }
    return seen == expected;
}

struct ValueState {
    double plus = 200000.0;
    double minus = 50000.0;
    double power = 0.0;
    std::uint64_t plusServed = 0;
    std::uint64_t minusServed = 0;
    std::uint64_t powerServed = 0;
};

struct FaultSlot {
    Fault fault;
    std::uint64_t generation = 0; // bumped whenever the slot is set explicitly; releases hangs
};

struct Route {
    bool known = false;
    Endpoint endpoint = Endpoint::Probe;
    int address = -1;
    std::string callName;
    std::string query;
    bool methodAllowed = true;
};

// The part of the simulator's state that the connection loop needs.
struct ConnectionRegistry {
    ConnectionRegistry(std::chrono::milliseconds timeout, bool closeAfter)
        : keepAliveTimeout(timeout), closeAfterReply(closeAfter)
    {
    }

    std::shared_ptr<Connection> openConnection(int fd);
    void closeConnection(const std::shared_ptr<Connection> &connection);

    const std::chrono::milliseconds keepAliveTimeout;
    const bool closeAfterReply;
    mutable std::mutex mutex; // guards everything in the simulator's state
    std::atomic<bool> stopping{false};
    std::uint64_t connectionCount = 0;
    std::map<std::uint64_t, std::shared_ptr<Connection>> connections;
};

class SimServer;

} // namespace

struct BridgeSimulator::Impl : ConnectionRegistry {
    explicit Impl(Options o)
        : ConnectionRegistry(o.keepAliveTimeout, o.closeAfterReply), options(std::move(o)),
          initialized(options.initialized)
    {
        for (int i = 0; i < options.meters; ++i)
            meters.push_back(BridgeSimulator::meterAt(i));
        segment = BridgeSimulator::portSegment(options.serialPort);
    }

    void handle(const httplib::Request &req, httplib::Response &res);
    Route classify(const std::string &method, const std::string &path, const std::string &query) const;
    void answer(const Route &route, const std::string &method, Fault::Kind variant, httplib::Response &res);
    std::string connectionDetails(Fault::Kind variant) const;
    std::string valueBody(double value, const char *unit, Fault::Kind variant) const;
    int portIndex() const;
    ValueState &valueState(int address);

    const Options options;
    std::string segment;

    // Serialises start() and stop(); never held by server threads.
    std::mutex lifecycle;
    std::unique_ptr<SimServer> server;
    std::thread thread;

    std::condition_variable wakeup;
    bool running = false;
    std::uint16_t port = 0;

    std::vector<Meter> meters;
    bool initialized = false;
    std::map<int, ValueState> values;

    std::array<FaultSlot, 5> endpointFaults;
    std::map<int, FaultSlot> meterFaults;
    std::uint64_t clearGeneration = 0;

    std::vector<RecordedRequest> record;
    std::uint64_t requestTotal = 0;
};

namespace {

std::size_t indexOf(Endpoint endpoint)
{
    return static_cast<std::size_t>(endpoint);
}

// Overrides the per-connection loop of httplib::Server (the same hook its TLS server uses) so
// that the simulator knows every accepted socket: for connection ids and counting, for closing
// a connection without an answer, and for shutting idle keep-alive connections down on stop().
// Parsing and response writing stay httplib's (process_request).
class SimServer final : public httplib::Server {
public:
    explicit SimServer(ConnectionRegistry &registry) : m_registry(registry) {}

private:
    bool process_and_close_socket(socket_t sock) override
    {
        std::shared_ptr<Connection> connection = m_registry.openConnection(sock);
        if (connection) {
            // Without it every keep-alive reply waits for the client's delayed ACK (~40 ms).
            int one = 1;
            ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            tlsConnection = connection.get();
            SimStream stream(*connection);
            for (std::size_t remaining = kKeepAliveMaxCount; remaining > 0 && !connection->aborted; --remaining) {
                if (!stream.hasBufferedData() && !waitForRequest(sock))
                    break;
                bool closedByClient = false;
                // Closing makes httplib answer with "Connection: close".
                const bool last = remaining == 1 || m_registry.closeAfterReply;
                const bool ok = process_request(stream, last, closedByClient, nullptr);
                if (!ok || last || closedByClient || connection->closeAfterReply)
                    break;
            }
            tlsConnection = nullptr;
            m_registry.closeConnection(connection);
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return true;
    }

    bool waitForRequest(int fd) const
    {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + m_registry.keepAliveTimeout;
        while (!m_registry.stopping.load()) {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            if (left <= 0)
                return false;
            const int rc = pollFor(fd, POLLIN, static_cast<int>(std::min<long long>(left, kIdleSliceMs)));
            if (rc != 0)
                return rc > 0;
        }
        return false;
    }

    ConnectionRegistry &m_registry;
};

std::shared_ptr<Connection> ConnectionRegistry::openConnection(int fd)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping.load())
        return nullptr;
    auto connection = std::make_shared<Connection>();
    connection->id = ++connectionCount;
    connection->fd = fd;
    connections.emplace(connection->id, connection);
    return connection;
}

void ConnectionRegistry::closeConnection(const std::shared_ptr<Connection> &connection)
{
    // Deregistered before the socket is closed, so stop() never touches a reused descriptor.
    std::lock_guard<std::mutex> lock(mutex);
    connections.erase(connection->id);
}

} // namespace

int BridgeSimulator::Impl::portIndex() const
{
    const std::string &name = options.serialPort;
    if (!name.empty() && name.back() >= '0' && name.back() <= '9')
        return name.back() - '0';
    return 0;
}

ValueState &BridgeSimulator::Impl::valueState(int address)
{
    auto it = values.find(address);
    if (it == values.end()) {
        ValueState state;
        state.power = address * 100.0;
        it = values.emplace(address, state).first;
    }
    return it->second;
}

Route BridgeSimulator::Impl::classify(const std::string &method, const std::string &path,
                                      const std::string &query) const
{
    Route route;
    route.query = query;
    const bool isGet = method == "GET" || method == "HEAD";
    route.methodAllowed = isGet;
    if (path == "/swagger/index.html") {
        route.known = true;
        route.endpoint = Endpoint::Probe;
        return route;
    }
    if (path == "/GetCurrentConnectionDetails") {
        route.known = true;
        route.endpoint = Endpoint::ConnectionDetails;
        return route;
    }
    const std::vector<std::string> parts = split(path, '/');
    // parts[0] is the empty text before the leading slash.
    if (parts.size() < 3 || !parts[0].empty() || parts[1] != segment)
        return route;
    if (parts.size() == 3 && parts[2] == "InitializePort") {
        route.known = true;
        route.endpoint = Endpoint::InitializePort;
    } else if (parts.size() == 3 && parts[2] == "ReinizializeLMNBus") {
        route.known = true;
        route.endpoint = Endpoint::ReinitializeBus;
    } else if (parts.size() == 4 && isDecimal(parts[2]) && !parts[3].empty()) {
        route.known = true;
        route.endpoint = Endpoint::Value;
        route.address = std::stoi(parts[2]);
        route.callName = parts[3];
    }
    return route;
}

void BridgeSimulator::Impl::handle(const httplib::Request &req, httplib::Response &res)
{
    Connection *connection = tlsConnection;
    // httplib keeps the request target exactly as received; req.path is already decoded.
    const std::size_t questionMark = req.target.find('?');
    const std::string path = req.target.substr(0, questionMark);
    const std::string query = questionMark == std::string::npos ? std::string() : req.target.substr(questionMark + 1);

    std::unique_lock<std::mutex> lock(mutex);
    ++requestTotal;
    if (options.keepRecord)
        record.push_back({req.method, req.target, path, query, connection ? connection->id : 0});

    const Route route = classify(req.method, path, query);
    if (!route.known) {
        res.status = 404;
        res.set_content("not found", "text/plain");
        return;
    }
    if (!route.methodAllowed) {
        // Answered before httplib reads a request body, so the connection cannot be reused.
        if (connection)
            connection->closeAfterReply = true;
        res.status = 405;
        res.set_header("Connection", "close");
        res.set_content("method not allowed", "text/plain");
        return;
    }

    // Pick the fault: a meter fault beats the endpoint fault for value calls of its address.
    FaultSlot *slot = nullptr;
    std::uint64_t *slotGeneration = nullptr;
    if (route.endpoint == Endpoint::Value) {
        auto it = meterFaults.find(route.address);
        if (it != meterFaults.end() && it->second.fault.kind != Fault::Kind::None)
            slot = &it->second;
    }
    if (!slot)
        slot = &endpointFaults[indexOf(route.endpoint)];
    slotGeneration = &slot->generation;
    const Fault fault = slot->fault;
    if (fault.kind != Fault::Kind::None && fault.count > 0 && --slot->fault.count == 0)
        slot->fault = Fault{};
    const bool applies = fault.kind != Fault::Kind::None && fault.count != 0;

    auto abortConnection = [&] {
        if (connection) {
            connection->aborted = true;
            ::shutdown(connection->fd, SHUT_RDWR);
        }
    };

    Fault::Kind variant = Fault::Kind::None;
    if (applies) {
        switch (fault.kind) {
        case Fault::Kind::None:
            break;
        case Fault::Kind::HttpStatus:
            res.status = fault.status;
            res.set_content("simulated failure", "text/plain");
            return;
        case Fault::Kind::Delay:
            wakeup.wait_for(lock, fault.delay, [&] { return stopping.load(); });
            if (stopping.load()) {
                abortConnection();
                return;
            }
            break;
        case Fault::Kind::Hang: {
            // Watching the slot through a pointer is safe: meter slots are never erased (std::map
            // nodes stay put) and endpoint slots never move.
            const std::uint64_t generation = *slotGeneration;
            const std::uint64_t cleared = clearGeneration;
            wakeup.wait(lock, [&] {
                return stopping.load() || *slotGeneration != generation || clearGeneration != cleared;
            });
            if (stopping.load()) {
                abortConnection();
                return;
            }
            break; // released: answer as if nothing had happened
        }
        case Fault::Kind::Close:
            abortConnection();
            return;
        case Fault::Kind::NotJson:
        case Fault::Kind::NotArray:
        case Fault::Kind::EmptyBody:
        case Fault::Kind::WrongTypes:
        case Fault::Kind::EmptyArray:
            variant = fault.kind;
            break;
        }
    }
    answer(route, req.method, variant, res);
}

void BridgeSimulator::Impl::answer(const Route &route, const std::string &method, Fault::Kind variant,
                                   httplib::Response &res)
{
    const bool faulty = variant != Fault::Kind::None;
    auto setBody = [&](const std::string &body) {
        if (variant == Fault::Kind::NotJson)
            res.set_content("<html><body>Internal bridge error</body></html>", "text/html");
        else if (variant == Fault::Kind::EmptyBody)
            res.set_content("", "application/json; charset=utf-8");
        else if (variant == Fault::Kind::EmptyArray)
            res.set_content("[]", "application/json; charset=utf-8");
        else
            res.set_content(body, "application/json; charset=utf-8");
    };
    res.status = 200;

    switch (route.endpoint) {
    case Endpoint::Probe:
        if (faulty)
            setBody("{}");
        else
            res.set_content(method == "HEAD" ? "" : "<!DOCTYPE html><html><body>Swagger UI</body></html>",
                            "text/html");
        return;
    case Endpoint::InitializePort:
        if (!isValidInitQuery(route.query)) {
            res.status = 400;
            res.set_content("invalid port settings", "text/plain");
            return;
        }
        initialized = true;
        if (faulty)
            setBody("{}");
        return;
    case Endpoint::ReinitializeBus:
        if (faulty)
            setBody("{}");
        return;
    case Endpoint::ConnectionDetails:
        setBody(connectionDetails(variant));
        return;
    case Endpoint::Value:
        break;
    }

    const bool known = std::any_of(meters.begin(), meters.end(),
                                   [&](const Meter &m) { return m.lmnAddress == route.address; });
    const bool knownCall = route.callName == kPlusTotal || route.callName == kMinusTotal
                           || route.callName == kActivePower;
    if (!faulty && (!known || !knownCall)) {
        res.status = 404;
        res.set_content("not found", "text/plain");
        return;
    }

    // A faulty answer is not a reading, so the meter's counters stay where they are.
    ValueState &state = valueState(route.address);
    const double base = route.address * kAddressScale;
    if (route.callName == kActivePower) {
        if (!faulty)
            state.power = route.address * 100.0 + static_cast<double>(state.powerServed++ % 50);
        setBody(valueBody(state.power, "W", variant));
    } else if (route.callName == kMinusTotal) {
        if (!faulty) {
            const std::uint64_t step = 1 + (state.minusServed++ % 10) / 2; // 1 to 5 Wh
            state.minus = std::min(state.minus + static_cast<double>(step), kGrowthCap);
        }
        setBody(valueBody(base + state.minus, "Wh", variant));
    } else {
        if (!faulty) {
            const double step = static_cast<double>(1 + state.plusServed++ % 10);
            state.plus = std::min(state.plus + step, kGrowthCap);
        }
        setBody(valueBody(base + state.plus, "Wh", variant));
    }
}

std::string BridgeSimulator::Impl::valueBody(double value, const char *unit, Fault::Kind variant) const
{
    if (variant == Fault::Kind::WrongTypes)
        return std::string("[{\"value\":\"12\",\"unit\":") + jsonString(unit) + "}]";
    std::string object = "{\"value\":" + formatNumber(value) + ",\"unit\":" + jsonString(unit) + "}";
    if (variant == Fault::Kind::NotArray)
        return object;
    return "[" + object + "]";
}

std::string BridgeSimulator::Impl::connectionDetails(Fault::Kind variant) const
{
    const bool wrongTypes = variant == Fault::Kind::WrongTypes;
    const int index = portIndex();
    const int length = std::max(options.portCount, index + 1);
    std::string prefix = options.serialPort;
    while (!prefix.empty() && prefix.back() >= '0' && prefix.back() <= '9')
        prefix.pop_back();
    if (prefix == options.serialPort)
        prefix = "/dev/ttymxc";

    std::string selected = "{\"port\":" + jsonString(options.serialPort) + ",\"isInitialized\":";
    if (wrongTypes)
        selected += initialized ? "\"yes\"" : "\"no\"";
    else
        selected += initialized ? "true" : "false";
    selected += ",\"abailableLMNMembers\":[";
    for (std::size_t i = 0; i < meters.size(); ++i) {
        if (i)
            selected += ',';
        const std::string address = std::to_string(meters[i].lmnAddress);
        selected += "{\"serverID\":" + jsonString(meters[i].serverId)
                    + ",\"lmnAdress\":" + (wrongTypes ? jsonString(address) : address) + "}";
    }
    selected += "]}";
    if (variant == Fault::Kind::NotArray)
        return selected;

    std::string out = "[";
    for (int i = 0; i < length; ++i) {
        if (i)
            out += ',';
        if (i == index) {
            out += selected;
            continue;
        }
        std::string name = prefix + std::to_string(i);
        if (name == options.serialPort)
            name += "-other";
        out += "{\"port\":" + jsonString(name) + ",\"isInitialized\":" + (wrongTypes ? "\"no\"" : "false")
               + ",\"abailableLMNMembers\":[]}";
    }
    out += "]";
    return out;
}

BridgeSimulator::BridgeSimulator(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

BridgeSimulator::~BridgeSimulator()
{
    stop();
}

bool BridgeSimulator::start(std::uint16_t port)
{
    std::lock_guard<std::mutex> life(d->lifecycle);
    if (d->thread.joinable())
        return true;

    auto server = std::make_unique<SimServer>(*d);
    server->set_tcp_nodelay(true);
    // httplib's default adds SO_REUSEPORT, which lets a second listener share a busy port and
    // split the answers; SO_REUSEADDR alone only allows a restart over old connections.
    server->set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // The loop in SimServer does keep-alive itself; these only shape the Keep-Alive header.
    server->set_keep_alive_max_count(kKeepAliveMaxCount);
    const auto timeoutSeconds = std::chrono::ceil<std::chrono::seconds>(d->options.keepAliveTimeout).count();
    server->set_keep_alive_timeout(static_cast<time_t>(std::max<long long>(1, timeoutSeconds)));
    server->new_task_queue = [] { return new ThreadPerConnection; };
    server->set_pre_routing_handler([impl = d.get()](const httplib::Request &req, httplib::Response &res) {
        impl->handle(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });

    std::uint16_t wanted = port;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (wanted == 0)
            wanted = d->port;
    }
    int bound = 0;
    if (wanted != 0)
        bound = server->bind_to_port(kHost, wanted) ? wanted : -1;
    else
        bound = server->bind_to_any_port(kHost);
    if (bound <= 0)
        return false;

    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = false;
        d->running = true;
        d->port = static_cast<std::uint16_t>(bound);
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    SimServer *raw = server.get();
    d->server = std::move(server);
    d->thread = std::thread([raw, finished] {
        raw->listen_after_bind();
        finished->store(true);
    });
    // The socket already listens; wait until httplib's loop runs so that stop() can end it.
    while (!raw->is_running() && !finished->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void BridgeSimulator::stop()
{
    std::lock_guard<std::mutex> life(d->lifecycle);
    if (!d->thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = true;
        for (const auto &entry : d->connections)
            ::shutdown(entry.second->fd, SHUT_RDWR);
        d->wakeup.notify_all();
    }
    d->server->stop();
    d->thread.join();
    d->server.reset();
    std::lock_guard<std::mutex> lock(d->mutex);
    d->running = false;
}

bool BridgeSimulator::isRunning() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->running;
}

std::uint16_t BridgeSimulator::port() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->port;
}

std::string BridgeSimulator::portSegment(const std::string &serialPort)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string once;
    for (unsigned char c : serialPort) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
                                || c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            once += static_cast<char>(c);
        } else {
            once += '%';
            once += hex[c >> 4];
            once += hex[c & 0x0F];
        }
    }
    std::string twice;
    for (char c : once)
        twice += c == '%' ? std::string("%25") : std::string(1, c);
    return twice;
}

Meter BridgeSimulator::meterAt(int index)
{
    char id[32];
    std::snprintf(id, sizeof(id), "1-QEL-000-%08d", index + 1);
    return Meter{id, index + 1};
}

void BridgeSimulator::setMeters(std::vector<Meter> meters)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->meters = std::move(meters);
}

void BridgeSimulator::setMeterCount(int count)
{
    std::vector<Meter> meters;
    meters.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i)
        meters.push_back(meterAt(i));
    setMeters(std::move(meters));
}

void BridgeSimulator::addMeter(Meter meter)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    auto it = std::find_if(d->meters.begin(), d->meters.end(),
                           [&](const Meter &m) { return m.serverId == meter.serverId; });
    if (it != d->meters.end())
        *it = std::move(meter);
    else
        d->meters.push_back(std::move(meter));
}

void BridgeSimulator::removeMeter(const std::string &serverId)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->meters.erase(std::remove_if(d->meters.begin(), d->meters.end(),
                                   [&](const Meter &m) { return m.serverId == serverId; }),
                    d->meters.end());
}

std::vector<Meter> BridgeSimulator::meters() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->meters;
}

bool BridgeSimulator::isInitialized() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->initialized;
}

void BridgeSimulator::setInitialized(bool initialized)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->initialized = initialized;
}

void BridgeSimulator::setFault(Endpoint endpoint, Fault fault)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    FaultSlot &slot = d->endpointFaults[indexOf(endpoint)];
    slot.fault = fault;
    ++slot.generation;
    d->wakeup.notify_all();
}

void BridgeSimulator::setMeterFault(int lmnAddress, Fault fault)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    FaultSlot &slot = d->meterFaults[lmnAddress];
    slot.fault = fault;
    ++slot.generation;
    d->wakeup.notify_all();
}

void BridgeSimulator::clearFaults()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    for (FaultSlot &slot : d->endpointFaults)
        slot.fault = Fault{};
    // Meter slots keep existing (with their generations) so that hung requests can watch them.
    for (auto &entry : d->meterFaults)
        entry.second.fault = Fault{};
    ++d->clearGeneration;
    d->wakeup.notify_all();
}

int BridgeSimulator::addressOfValue(double valueWh)
{
    return static_cast<int>(std::floor(valueWh / kAddressScale));
}

double BridgeSimulator::currentValue(int lmnAddress, const std::string &callName) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    ValueState state;
    state.power = lmnAddress * 100.0;
    auto it = d->values.find(lmnAddress);
    if (it != d->values.end())
        state = it->second;
    if (callName == kPlusTotal)
        return lmnAddress * kAddressScale + state.plus;
    if (callName == kMinusTotal)
        return lmnAddress * kAddressScale + state.minus;
    if (callName == kActivePower)
        return state.power;
    return std::numeric_limits<double>::quiet_NaN();
}

std::vector<RecordedRequest> BridgeSimulator::requests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->record;
}

void BridgeSimulator::clearRequests()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->record.clear();
    d->requestTotal = 0;
}

std::uint64_t BridgeSimulator::acceptedConnections() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->connectionCount;
}

std::uint64_t BridgeSimulator::requestCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->requestTotal;
}

std::uint64_t BridgeSimulator::openConnections() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->connections.size();
}

} // namespace lmnsim
