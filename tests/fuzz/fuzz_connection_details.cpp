// The connection-details body through NetworkHandler::saveDeviceList, for port names ending in a
// digit, in another character and for an empty one.
#include "bridgereplies.h"
#include "fuzzinput.h"
#include "networkhandler.h"

#include <QStringList>

#include <limits>

namespace {

NetworkHandler &handler()
{
    // One handler for the whole run, so that every input also replaces the previous input's list.
    static NetworkHandler *instance = new NetworkHandler;
    return *instance;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

FUZZ_INITIALIZER()

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const fuzzinput::Input input = fuzzinput::split(data, size);
    NetworkHandler &h = handler();
    h.setPort(input.port);
    const quint16 count = h.saveDeviceList(input.body);
    const QStringList ids = h.returnDeviceList();

    if (input.digit < 0)
        FUZZ_CHECK(count == 0 && ids.isEmpty());
    // Distinct IDs never outnumber the members listed (the count is capped at 65535).
    FUZZ_CHECK(count == std::numeric_limits<quint16>::max() || ids.size() <= int(count));
    // Nothing of an earlier list survives: the list is the one a fresh parse gives.
    const BridgeReplies::Members fresh = BridgeReplies::membersFromDetails(input.body, input.port);
    FUZZ_CHECK(sorted(ids) == sorted(fresh.addresses.keys()));
    FUZZ_CHECK(ids.isEmpty() || count > 0);
    return 0;
}
