#include "bridgesimulator.h"

#include "simroutes.h"
#include "simtransport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lmnsim {

struct BridgeSimulator::Impl {
    explicit Impl(const Options &options)
        : bridge(shared, options),
          transport(shared, options.keepAliveTimeout, options.closeAfterReply,
                    [this](const httplib::Request &req, httplib::Response &res) { bridge.handle(req, res); })
    {
    }

    Shared shared;
    Bridge bridge;
    Transport transport;
};

BridgeSimulator::BridgeSimulator(const Options &options) : d(std::make_unique<Impl>(options)) {}

BridgeSimulator::~BridgeSimulator()
{
    stop();
}

bool BridgeSimulator::start(std::uint16_t port)
{
    return d->transport.start(port);
}

void BridgeSimulator::stop()
{
    d->transport.stop();
}

bool BridgeSimulator::isRunning() const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->transport.running;
}

std::uint16_t BridgeSimulator::port() const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->transport.port;
}

std::string BridgeSimulator::portSegment(const std::string &serialPort)
{
    // Encoded once as one path segment, then every '%' once more.
    static const char hex[] = "0123456789ABCDEF";
    std::string twice;
    for (unsigned char c : serialPort) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
                                || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            twice += static_cast<char>(c);
        } else {
            twice += "%25";
            twice += hex[c >> 4];
            twice += hex[c & 0x0F];
        }
    }
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
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    d->bridge.meters = std::move(meters);
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
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    std::vector<Meter> &meters = d->bridge.meters;
    auto it = std::find_if(meters.begin(), meters.end(), [&](const Meter &m) { return m.serverId == meter.serverId; });
    if (it != meters.end())
        *it = std::move(meter);
    else
        meters.push_back(std::move(meter));
}

void BridgeSimulator::removeMeter(const std::string &serverId)
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    std::vector<Meter> &meters = d->bridge.meters;
    meters.erase(std::remove_if(meters.begin(), meters.end(), [&](const Meter &m) { return m.serverId == serverId; }),
                 meters.end());
}

std::vector<Meter> BridgeSimulator::meters() const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->bridge.meters;
}

bool BridgeSimulator::isInitialized() const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->bridge.initialized;
}

void BridgeSimulator::setInitialized(bool initialized)
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    d->bridge.initialized = initialized;
}

void BridgeSimulator::setFault(Endpoint endpoint, Fault fault)
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    d->bridge.setFault(d->bridge.endpointFaults[static_cast<std::size_t>(endpoint)], fault);
}

void BridgeSimulator::setMeterFault(int lmnAddress, Fault fault)
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    d->bridge.setFault(d->bridge.meterFaults[lmnAddress], fault);
}

void BridgeSimulator::setValueFault(int lmnAddress, const std::string &callName, ValueFault fault)
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    const std::pair<int, Call> key{lmnAddress, callNamed(callName)};
    if (fault == ValueFault::None)
        d->bridge.valueFaults.erase(key);
    else
        d->bridge.valueFaults[key] = fault;
}

void BridgeSimulator::setMemberFault(MemberFault fault, int addressA, int addressB)
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    d->bridge.memberFault = fault;
    d->bridge.memberA = addressA;
    d->bridge.memberB = addressB;
}

void BridgeSimulator::clearFaults()
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    d->bridge.valueFaults.clear();
    d->bridge.memberFault = MemberFault::None;
    for (FaultSlot &slot : d->bridge.endpointFaults)
        slot.fault = Fault{};
    // Meter slots keep existing (with their generations) so that hung requests can watch them.
    for (auto &entry : d->bridge.meterFaults)
        entry.second.fault = Fault{};
    ++d->bridge.clearGeneration;
    d->shared.wakeup.notify_all();
}

int BridgeSimulator::addressOfValue(double valueWh)
{
    return static_cast<int>(std::floor(valueWh / kAddressScale));
}

void BridgeSimulator::continueFrom(double plusWh, double minusWh)
{
    const int address = addressOfValue(plusWh);
    if (!std::isfinite(plusWh) || !std::isfinite(minusWh) || address != addressOfValue(minusWh))
        return;
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    d->bridge.readings.try_emplace(address, address).first->second.continueFrom(plusWh, minusWh);
}

double BridgeSimulator::currentValue(int lmnAddress, const std::string &callName) const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    const auto it = d->bridge.readings.find(lmnAddress);
    const Readings readings = it != d->bridge.readings.end() ? it->second : Readings(lmnAddress);
    return readings.current(callNamed(callName));
}

std::vector<RecordedRequest> BridgeSimulator::requests() const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->bridge.record;
}

void BridgeSimulator::clearRequests()
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    d->bridge.record.clear();
    d->bridge.requestTotal = 0;
    for (Traffic &traffic : d->bridge.traffic)
        traffic = Traffic{0, 0, traffic.inFlight, traffic.inFlight};
}

Traffic BridgeSimulator::traffic(Endpoint endpoint) const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->bridge.traffic[static_cast<std::size_t>(endpoint)];
}

std::uint64_t BridgeSimulator::acceptedConnections() const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->transport.connectionCount;
}

std::uint64_t BridgeSimulator::requestCount() const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->bridge.requestTotal;
}

std::uint64_t BridgeSimulator::openConnections() const
{
    std::lock_guard<std::mutex> lock(d->shared.mutex);
    return d->transport.connections.size();
}

} // namespace lmnsim
