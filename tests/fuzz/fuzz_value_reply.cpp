// The body of a value call.
#include "bridgereplies.h"
#include "fuzzinput.h"

#include <cmath>

FUZZ_INITIALIZER()

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::optional<double> value = BridgeReplies::valueFromReply(fuzzinput::body(data, size));
    // A reading goes straight into an energy total: it must be a real number.
    if (value)
        FUZZ_CHECK(std::isfinite(*value));
    return 0;
}
