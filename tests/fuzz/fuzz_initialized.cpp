// The initialised check: the connection-details body read for the port's "isInitialized".
#include "bridgereplies.h"
#include "fuzzinput.h"

#include <QJsonArray>
#include <QJsonObject>

FUZZ_INITIALIZER()

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const fuzzinput::Input input = fuzzinput::split(data, size);
    const uchar initialized = BridgeReplies::initializedFromDetails(input.body, input.port);
    // 2 means "request failed" to the caller; a body must never produce it.
    FUZZ_CHECK(initialized == 0 || initialized == 1);
    // The bridge client takes it from the member list's reading of the same body.
    FUZZ_CHECK(BridgeReplies::membersFromDetails(input.body, input.port).initialized == initialized);
    if (input.digit < 0) {
        FUZZ_CHECK(initialized == 1);
        return 0;
    }
    if (const std::optional<QJsonDocument> document = fuzzinput::oracle(input.body)) {
        const QJsonValue expected = document->array().at(input.digit).toObject().value(QStringLiteral("isInitialized"));
        FUZZ_CHECK(initialized == (expected.toBool() ? 0 : 1));
    }
    return 0;
}
