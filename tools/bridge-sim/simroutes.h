// The simulated bridge itself: which path is which endpoint, which fault a request meets, and the
// state its answers come from.
#pragma once

#include "bridgesimulator.h"
#include "simreplies.h"
#include "simtransport.h"

#include <array>
#include <map>

namespace lmnsim {

struct FaultSlot {
    Fault fault;
    std::uint64_t generation = 0; // bumped whenever the slot is set explicitly; releases hangs
};

// A request being served, for the traffic counts.
struct Serving {
    Endpoint endpoint;
    const Connection *connection;
    bool clientGone = false; // no longer in flight
};

// Everything here is guarded by Shared::mutex.
struct Bridge {
    Bridge(Shared &shared, Options options);

    void handle(const httplib::Request &req, httplib::Response &res); // takes the mutex
    void setFault(FaultSlot &slot, Fault fault);

    Shared &shared;
    const Options options;
    const std::string segment;
    std::vector<Meter> meters;
    bool initialized;
    std::map<int, Readings> readings; // per address, so that a returning meter goes on where it was

    std::array<FaultSlot, 5> endpointFaults; // by Endpoint
    std::map<int, FaultSlot> meterFaults;
    std::map<std::pair<int, Call>, ValueFault> valueFaults;
    MemberFault memberFault = MemberFault::None;
    int memberA = 0;
    int memberB = 0;
    // AddressSwap: the meters at swapA and swapB are at each other's address now. They go back
    // only at a connection-details request, also once the fault is cleared: a bus whose meters
    // move between two lists is a fault the client cannot see.
    bool swapped = false;
    int swapA = 0;
    int swapB = 0;
    std::uint64_t clearGeneration = 0;

    std::vector<RecordedRequest> record;
    std::uint64_t requestTotal = 0;
    std::array<Traffic, 5> traffic{}; // by Endpoint
    std::vector<Serving *> serving;
};

} // namespace lmnsim
