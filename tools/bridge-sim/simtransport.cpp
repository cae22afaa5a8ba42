#include "simtransport.h"

#include "bridgesimulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <list>
#include <system_error>

namespace lmnsim {

namespace {

const char *const kHost = "127.0.0.1";
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

// Every connection is served by its own thread from accept to close.
thread_local Connection *tlsConnection = nullptr;
// Set on the listener's thread while it turns away a connection over the limit.
thread_local bool tlsRefusing = false;

// Sent, with the connection closed at once, to a client over the connection limit.
const char kRefusal[] = "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Type: text/plain\r\n"
                        "Content-Length: 21\r\n\r\ntoo many connections\n";

// httplib's own socket stream is not public and it drops buffered bytes between requests, so
// the simulator brings its own: buffered reads, poll()-based timeouts, and a way to make every
// write fail once a fault decided that this connection gets no answer.
class SimStream final : public httplib::Stream
{
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

    void get_remote_ip_and_port(std::string &ip, int &port) const override { describe(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { describe(::getsockname, ip, port); }
    socket_t socket() const override { return m_connection.fd; }

private:
    template<typename Query>
    void describe(Query query, std::string &ip, int &port) const
    {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (query(m_connection.fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0 || addr.ss_family != AF_INET)
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
// others, however many a test leaves hanging. Bounded all the same: each thread reserves its
// stack, and a few hundred idle connections would exhaust a 32-bit process. A connection over
// the limit, or one no thread can be started for, is answered 503 and closed on the listener's
// thread rather than ending the process.
class ThreadPerConnection final : public httplib::TaskQueue
{
public:
    ~ThreadPerConnection() override { shutdown(); }

    void enqueue(std::function<void()> fn) override
    {
        reap();
        if (m_workers.size() < std::size_t(kMaxConnections)) {
            auto done = std::make_shared<std::atomic<bool>>(false);
            try {
                m_workers.push_back({std::thread([fn, done] {
                                         fn();
                                         done->store(true);
                                     }),
                                     done});
                return;
            } catch (const std::system_error &) {
                // No thread to be had: refused below like one over the limit.
            }
        }
        tlsRefusing = true;
        fn();
        tlsRefusing = false;
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
        m_workers.remove_if([](Worker &worker) {
            if (!worker.done->load())
                return false;
            worker.thread.join();
            return true;
        });
    }

    std::list<Worker> m_workers;
};

} // namespace

void Connection::abort()
{
    aborted = true;
    ::shutdown(fd, SHUT_RDWR);
}

bool Connection::clientGone() const
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void Connection::sendEndlessly(const std::string &head, const std::string &filler, const std::atomic<bool> &stopping)
{
    const std::string *part = head.empty() ? &filler : &head;
    std::size_t offset = 0;
    while (!stopping.load() && !aborted) {
        // In slices, so that stop() is seen while the client reads nothing.
        const int ready = pollFor(fd, POLLOUT, kIdleSliceMs);
        if (ready < 0)
            return;
        if (ready == 0)
            continue;
        const ssize_t n = ::send(fd, part->data() + offset, part->size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0)
            return;
        offset += std::size_t(n);
        if (offset == part->size()) {
            part = &filler;
            offset = 0;
        }
    }
}

Connection *currentConnection()
{
    return tlsConnection;
}

// Overrides the per-connection loop of httplib::Server (the same hook its TLS server uses) so
// that the simulator knows every accepted socket: for connection ids and counting, for closing
// a connection without an answer, and for shutting idle keep-alive connections down on stop().
// Parsing and response writing stay httplib's (process_request).
class SimServer final : public httplib::Server
{
public:
    explicit SimServer(Transport &transport) : m_transport(transport) {}

private:
    bool process_and_close_socket(socket_t sock) override
    {
        if (tlsRefusing) {
            // A fresh socket takes these few bytes at once; whatever fails, it is closed.
            [[maybe_unused]] const ssize_t sent = ::send(sock, kRefusal, sizeof kRefusal - 1,
                                                         MSG_NOSIGNAL | MSG_DONTWAIT);
            ::shutdown(sock, SHUT_RDWR);
            ::close(sock);
            return true;
        }
        std::shared_ptr<Connection> connection = openConnection(sock);
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
                const bool last = remaining == 1 || m_transport.closeAfterReply;
                const bool ok = process_request(stream, last, closedByClient, nullptr);
                if (!ok || last || closedByClient || connection->closeAfterReply)
                    break;
            }
            tlsConnection = nullptr;
            // Deregistered before the socket is closed, so stop() never touches a reused descriptor.
            std::lock_guard<std::mutex> lock(m_transport.shared.mutex);
            m_transport.connections.erase(connection->id);
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return true;
    }

    std::shared_ptr<Connection> openConnection(int fd)
    {
        std::lock_guard<std::mutex> lock(m_transport.shared.mutex);
        if (m_transport.shared.stopping.load())
            return nullptr;
        auto connection = std::make_shared<Connection>();
        connection->id = ++m_transport.connectionCount;
        connection->fd = fd;
        m_transport.connections.emplace(connection->id, connection);
        return connection;
    }

    bool waitForRequest(int fd) const
    {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + m_transport.keepAliveTimeout;
        while (!m_transport.shared.stopping.load()) {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            if (left <= 0)
                return false;
            const int rc = pollFor(fd, POLLIN, static_cast<int>(std::min<long long>(left, kIdleSliceMs)));
            if (rc != 0)
                return rc > 0;
        }
        return false;
    }

    Transport &m_transport;
};

Transport::Transport(Shared &sharedState, std::chrono::milliseconds idleTimeout, bool closeAfter,
                     httplib::Server::Handler onRequest)
    : shared(sharedState), keepAliveTimeout(idleTimeout), closeAfterReply(closeAfter), handler(std::move(onRequest))
{
}

Transport::~Transport()
{
    stop();
}

bool Transport::start(std::uint16_t wanted)
{
    std::lock_guard<std::mutex> life(m_lifecycle);
    if (m_thread.joinable())
        return true;

    auto server = std::make_unique<SimServer>(*this);
    server->set_tcp_nodelay(true);
    // httplib's default adds SO_REUSEPORT, which lets a second listener share a busy port and
    // split the answers; SO_REUSEADDR alone only allows a restart over old connections.
    server->set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // The loop in SimServer does keep-alive itself; these only shape the Keep-Alive header.
    server->set_keep_alive_max_count(kKeepAliveMaxCount);
    const auto timeoutSeconds = std::chrono::ceil<std::chrono::seconds>(keepAliveTimeout).count();
    server->set_keep_alive_timeout(static_cast<time_t>(std::max<long long>(1, timeoutSeconds)));
    server->new_task_queue = [] { return new ThreadPerConnection; };
    server->set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        handler(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });

    if (wanted == 0)
        wanted = port; // written by start() alone, so it needs no lock here
    const int bound = wanted != 0 ? (server->bind_to_port(kHost, wanted) ? wanted : -1)
                                  : server->bind_to_any_port(kHost);
    if (bound <= 0)
        return false;

    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.stopping = false;
        running = true;
        port = static_cast<std::uint16_t>(bound);
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    SimServer *raw = server.get();
    m_server = std::move(server);
    m_thread = std::thread([raw, finished] {
        raw->listen_after_bind();
        finished->store(true);
    });
    // The socket already listens; wait until httplib's loop runs so that stop() can end it.
    while (!raw->is_running() && !finished->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void Transport::stop()
{
    std::lock_guard<std::mutex> life(m_lifecycle);
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.stopping = true;
        for (const auto &entry : connections)
            ::shutdown(entry.second->fd, SHUT_RDWR);
        shared.wakeup.notify_all();
    }
    m_server->stop();
    m_thread.join();
    m_server.reset();
    std::lock_guard<std::mutex> lock(shared.mutex);
    running = false;
}

} // namespace lmnsim
