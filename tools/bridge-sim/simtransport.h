// The simulator's transport: cpp-httplib on 127.0.0.1, a thread per connection (at most
// kMaxConnections at once, more are refused with 503), keep-alive with
// an idle timeout, and connections that end without an answer.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace lmnsim {

// Shared by the server threads and the simulator's owner: one mutex over all of the simulator's
// state, the condition that delayed and hung requests wait on, and the flag that stop() raises.
struct Shared {
    std::mutex mutex;
    std::condition_variable wakeup;
    std::atomic<bool> stopping{false};
};

struct Connection {
    std::uint64_t id = 0;
    int fd = -1;
    bool aborted = false; // a fault decided on no answer at all
    bool closeAfterReply = false;

    void abort(); // no answer: the socket is shut down and every later write fails
    // The client closed or reset its end: nobody waits for an answer any more.
    bool clientGone() const;
    // Sends `head`, then `filler` over and over, as fast as the client reads, until the client
    // goes or `stopping` is raised. For answers that break HTTP's framing.
    void sendEndlessly(const std::string &head, const std::string &filler, const std::atomic<bool> &stopping);
};

// The connection the calling server thread serves; nullptr outside of one.
Connection *currentConnection();

class SimServer;

class Transport
{
public:
    Transport(Shared &sharedState, std::chrono::milliseconds idleTimeout, bool closeAfter,
              httplib::Server::Handler onRequest);
    ~Transport();

    // Listens on 127.0.0.1:port, or on the last port when 0 is given and there is one, else on
    // a free one. False when it cannot listen.
    bool start(std::uint16_t wanted);
    void stop(); // closes the listener and every connection; waiting requests are woken

    Shared &shared;
    const std::chrono::milliseconds keepAliveTimeout;
    const bool closeAfterReply;
    const httplib::Server::Handler handler;

    // Guarded by shared.mutex.
    bool running = false;
    std::uint16_t port = 0;
    std::uint64_t connectionCount = 0;
    std::map<std::uint64_t, std::shared_ptr<Connection>> connections;

private:
    std::mutex m_lifecycle; // serialises start() and stop(); never held by server threads
    std::unique_ptr<SimServer> m_server;
    std::thread m_thread;
};

} // namespace lmnsim
