// lmn-bridge-sim: the bridge simulator as a program, for the host program and benchmarks.
#include "bridgesimulator.h"

#include <signal.h>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const char *const kUsage = R"(Usage: lmn-bridge-sim [options]

Simulates the LMN bridge server on 127.0.0.1 until SIGINT or SIGTERM.
The first line on stdout is "listening on 127.0.0.1:<port>". On SIGUSR1 it prints
"requests <n> connections <m>": requests received and TCP connections accepted so far.
It serves at most 128 connections at once; one more is answered 503 and closed.

Options:
  --port N                  port to listen on, 0 picks a free one (default 0)
  --meters N                meters on the serial port, LMN addresses 1..N (default 4)
  --serial-port NAME        serial port name (default /dev/ttymxc3)
  --port-count N            elements of the connection details array (default 4)
  --initialized             the serial port starts initialised
  --keep-alive-timeout S    idle keep-alive connections are closed after S seconds (default 60)
  --keep-alive-timeout-ms MS  the same in milliseconds
  --connection-close        every reply says "Connection: close" and closes its connection
  --fault ENDPOINT=FAULT    fault for every request of an endpoint (repeatable)
  --meter-fault ADDR=FAULT  fault for value calls of one LMN address (repeatable)
  --version                 print the version and exit
  --value-fault ADDR=VALUE[:CALL]  a well-formed but wrong reading for one LMN address and call
                            (repeatable; CALL plus (default), minus or power)
  --member-fault LIST=A,B   a member list that names the meters at LMN addresses A and B wrongly
  --help                    show this text

ENDPOINT: probe, init, reinit, details, value
FAULT:    KIND[:ARG][@COUNT], COUNT = requests it applies to before it clears (default: all)
  status:CODE   answer with that HTTP status
  delay:MS      answer normally after MS milliseconds
  hang          never answer
  close         close the connection without an answer
  notjson       200 with a body that is not JSON
  notarray      200 with a JSON object instead of an array
  empty         200 with an empty body
  emptyarray    200 with []
  wrongtypes    200 with wrongly typed values
  endless[:unpaced]  200 with a chunked body that never ends, at 8 MB/s or as fast as it is read
  oversized     200 with the right body after 2 MiB of blanks
  trickle[:MS]  the right body, one byte every MS milliseconds (default 1000)
  gzip          the right body gzip-encoded, unasked
  cookie        the right answer with a new cookie each time
  badutf8       200 with a byte that is not UTF-8 in the body's first string
  statusline    a status line that never ends        (these six as fast as they are read,
  headerline    a header line that never ends         then the connection is closed)
  headers       header fields without end
  chunkline     a chunk-size line that never ends (an endless chunk extension)
  continue      interim "100 Continue" replies without end
  tgzip         "Transfer-Encoding: gzip, chunked", never asked for, then blanks
VALUE:    zero, lower (1000 Wh below the last), huge (1.8e19 Wh), negative, frozen (the last
          again), restart (the counter starts again from 1000 Wh, once)
LIST:     duplicate-id (a second member with A's serverID, at B), shared-address (B's member
          listed at A), address-swap (the two meters swap addresses at every details request)
Example: --fault value=status:500@3 --meter-fault 2=hang --value-fault 3=zero:minus
Exit status: 0 after a signal, 1 when it cannot listen, 2 for bad options.
)";

static_assert(lmnsim::kMaxConnections == 128, "the usage text and the man page name the limit");

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int parseInt(const std::string &text, const std::string &what, long long min, long long max)
{
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used, 10);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < min || value > max)
        throw UsageError("invalid " + what + ": \"" + text + "\"");
    return static_cast<int>(value);
}

lmnsim::Fault parseFault(const std::string &text)
{
    using Kind = lmnsim::Fault::Kind;
    static const std::map<std::string, Kind> kinds = {{"status", Kind::HttpStatus},
                                                      {"delay", Kind::Delay},
                                                      {"hang", Kind::Hang},
                                                      {"close", Kind::Close},
                                                      {"notjson", Kind::NotJson},
                                                      {"notarray", Kind::NotArray},
                                                      {"empty", Kind::EmptyBody},
                                                      {"wrongtypes", Kind::WrongTypes},
                                                      {"emptyarray", Kind::EmptyArray},
                                                      {"endless", Kind::EndlessBody},
                                                      {"oversized", Kind::OversizedBody},
                                                      {"trickle", Kind::Trickle},
                                                      {"gzip", Kind::GzipBody},
                                                      {"cookie", Kind::NewCookie},
                                                      {"badutf8", Kind::InvalidUtf8},
                                                      {"statusline", Kind::UnendingStatusLine},
                                                      {"headerline", Kind::UnendingHeaderLine},
                                                      {"headers", Kind::EndlessHeaders},
                                                      {"chunkline", Kind::UnendingChunkLine},
                                                      {"continue", Kind::EndlessContinue},
                                                      {"tgzip", Kind::GzipTransfer}};
    lmnsim::Fault fault;
    std::string rest = text;
    const std::size_t at = rest.find('@');
    if (at != std::string::npos) {
        fault.count = parseInt(rest.substr(at + 1), "fault count", 1, std::numeric_limits<int>::max());
        rest.resize(at);
    }
    const std::size_t colon = rest.find(':');
    const std::string kind = rest.substr(0, colon);
    const std::string arg = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
    const auto it = kinds.find(kind);
    if (it == kinds.end())
        throw UsageError("unknown fault \"" + text + "\"");
    fault.kind = it->second;
    if (fault.kind == Kind::HttpStatus)
        fault.status = parseInt(arg, "HTTP status", 100, 599);
    else if (fault.kind == Kind::Delay || (fault.kind == Kind::Trickle && colon != std::string::npos))
        fault.delay = std::chrono::milliseconds(parseInt(arg, "delay", 0, 3600000));
    else if (fault.kind == Kind::EndlessBody && colon != std::string::npos) {
        if (arg != "unpaced")
            throw UsageError("invalid endless body pace: \"" + arg + "\"");
        fault.kind = Kind::UnpacedEndlessBody;
    } else if (colon != std::string::npos)
        throw UsageError("fault \"" + kind + "\" takes no argument");
    return fault;
}

lmnsim::Endpoint parseEndpoint(const std::string &name)
{
    using lmnsim::Endpoint;
    static const std::map<std::string, Endpoint> names = {{"probe", Endpoint::Probe},
                                                          {"init", Endpoint::InitializePort},
                                                          {"reinit", Endpoint::ReinitializeBus},
                                                          {"details", Endpoint::ConnectionDetails},
                                                          {"value", Endpoint::Value}};
    const auto it = names.find(name);
    if (it == names.end())
        throw UsageError("unknown endpoint \"" + name + "\"");
    return it->second;
}

std::pair<std::string, std::string> splitAssignment(const std::string &text, const std::string &flag)
{
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw UsageError(flag + " expects NAME=FAULT, got \"" + text + "\"");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

struct ValueFaultFlag {
    int address = 0;
    std::string callName;
    lmnsim::ValueFault fault = lmnsim::ValueFault::None;
};

ValueFaultFlag parseValueFault(const std::string &address, const std::string &text)
{
    using lmnsim::ValueFault;
    static const std::map<std::string, ValueFault> kinds = {
        {"zero", ValueFault::Zero},         {"lower", ValueFault::Lower},   {"huge", ValueFault::Huge},
        {"negative", ValueFault::Negative}, {"frozen", ValueFault::Frozen}, {"restart", ValueFault::Restart}};
    static const std::map<std::string, std::string> calls = {
        {"plus", "GeActiceEnergyPlusTotal"}, {"minus", "GeActiceEnergyMinusTotal"}, {"power", "GetCurrentActivePower"}};
    const std::size_t colon = text.find(':');
    const auto kind = kinds.find(text.substr(0, colon));
    const auto call = calls.find(colon == std::string::npos ? std::string("plus") : text.substr(colon + 1));
    if (kind == kinds.end() || call == calls.end())
        throw UsageError("unknown value fault \"" + text + "\"");
    return {parseInt(address, "LMN address", 0, 999999999), call->second, kind->second};
}

struct MemberFaultFlag {
    lmnsim::MemberFault fault = lmnsim::MemberFault::None;
    int a = 0;
    int b = 0;
};

MemberFaultFlag parseMemberFault(const std::string &kind, const std::string &addresses)
{
    using lmnsim::MemberFault;
    static const std::map<std::string, MemberFault> kinds = {{"duplicate-id", MemberFault::DuplicateId},
                                                             {"shared-address", MemberFault::SharedAddress},
                                                             {"address-swap", MemberFault::AddressSwap}};
    const auto it = kinds.find(kind);
    if (it == kinds.end())
        throw UsageError("unknown member fault \"" + kind + "\"");
    const std::size_t comma = addresses.find(',');
    if (comma == std::string::npos)
        throw UsageError("--member-fault expects LIST=A,B, got \"" + addresses + "\"");
    return {it->second, parseInt(addresses.substr(0, comma), "LMN address", 0, 999999999),
            parseInt(addresses.substr(comma + 1), "LMN address", 0, 999999999)};
}

struct Config {
    lmnsim::Options options;
    int port = 0;
    std::vector<std::pair<lmnsim::Endpoint, lmnsim::Fault>> faults;
    std::vector<std::pair<int, lmnsim::Fault>> meterFaults;
    std::vector<ValueFaultFlag> valueFaults;
    MemberFaultFlag memberFault;
    bool help = false;
    bool version = false;
};

Config parseArguments(int argc, char **argv)
{
    Config config;
    // Nothing reads the record of a simulator run as a program; it only reports counts.
    config.options.keepRecord = false;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        std::string value;
        bool hasValue = false;
        const std::size_t eq = flag.find('=');
        if (flag.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = flag.substr(eq + 1);
            flag.resize(eq);
            hasValue = true;
        }
        auto next = [&]() -> std::string {
            if (hasValue)
                return value;
            if (i + 1 >= argc)
                throw UsageError(flag + " needs a value");
            return argv[++i];
        };
        if (flag == "--help" || flag == "-h") {
            config.help = true;
        } else if (flag == "--version") {
            config.version = true;
        } else if (flag == "--port") {
            config.port = parseInt(next(), "port", 0, 65535);
        } else if (flag == "--meters") {
            config.options.meters = parseInt(next(), "meter count", 0, lmnsim::kMaxMeters);
        } else if (flag == "--serial-port") {
            config.options.serialPort = next();
            if (config.options.serialPort.empty())
                throw UsageError("--serial-port needs a name");
        } else if (flag == "--port-count") {
            config.options.portCount = parseInt(next(), "port count", 1, 1000);
        } else if (flag == "--initialized") {
            if (hasValue)
                throw UsageError("--initialized takes no value");
            config.options.initialized = true;
        } else if (flag == "--keep-alive-timeout") {
            config.options.keepAliveTimeout = std::chrono::seconds(parseInt(next(), "keep-alive timeout", 1, 86400));
        } else if (flag == "--keep-alive-timeout-ms") {
            config.options.keepAliveTimeout = std::chrono::milliseconds(
                parseInt(next(), "keep-alive timeout", 1, 86400000));
        } else if (flag == "--connection-close") {
            if (hasValue)
                throw UsageError("--connection-close takes no value");
            config.options.closeAfterReply = true;
        } else if (flag == "--fault") {
            const auto assignment = splitAssignment(next(), flag);
            config.faults.emplace_back(parseEndpoint(assignment.first), parseFault(assignment.second));
        } else if (flag == "--meter-fault") {
            const auto assignment = splitAssignment(next(), flag);
            config.meterFaults.emplace_back(parseInt(assignment.first, "LMN address", 0, 999999999),
                                            parseFault(assignment.second));
        } else if (flag == "--value-fault") {
            const auto assignment = splitAssignment(next(), flag);
            config.valueFaults.push_back(parseValueFault(assignment.first, assignment.second));
        } else if (flag == "--member-fault") {
            const auto assignment = splitAssignment(next(), flag);
            config.memberFault = parseMemberFault(assignment.first, assignment.second);
        } else {
            throw UsageError("unknown option \"" + std::string(argv[i]) + "\"");
        }
    }
    return config;
}

} // namespace

int main(int argc, char **argv)
{
    Config config;
    try {
        config = parseArguments(argc, argv);
    } catch (const UsageError &error) {
        std::cerr << "lmn-bridge-sim: " << error.what() << "\nTry --help.\n";
        return 2;
    }
    if (config.help) {
        std::cout << kUsage;
        return 0;
    }
    if (config.version) {
        std::cout << "lmn-bridge-sim " VEYRA_PROJECT_VERSION "\n";
        return 0;
    }

    // Block the signals before any server thread exists so that only sigwait() below sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    lmnsim::BridgeSimulator simulator(config.options);
    for (const auto &fault : config.faults)
        simulator.setFault(fault.first, fault.second);
    for (const auto &fault : config.meterFaults)
        simulator.setMeterFault(fault.first, fault.second);
    for (const ValueFaultFlag &fault : config.valueFaults)
        simulator.setValueFault(fault.address, fault.callName, fault.fault);
    simulator.setMemberFault(config.memberFault.fault, config.memberFault.a, config.memberFault.b);
    if (!simulator.start(static_cast<std::uint16_t>(config.port))) {
        std::cerr << "lmn-bridge-sim: cannot listen on 127.0.0.1:" << config.port << "\n";
        return 1;
    }
    std::cout << "listening on 127.0.0.1:" << simulator.port() << std::endl;

    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0)
            continue;
        if (received != SIGUSR1)
            break;
        // For benchmarks that run this program and count what their client caused.
        std::cout << "requests " << simulator.requestCount() << " connections " << simulator.acceptedConnections()
                  << std::endl;
    }
    simulator.stop();
    return 0;
}
