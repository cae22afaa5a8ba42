// The body of a value call.
#include "bridgereplies.h"
#include "fuzzinput.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cmath>

FUZZ_INITIALIZER()

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body = fuzzinput::body(data, size);
    const std::optional<double> value = BridgeReplies::valueFromReply(body);
    // A reading goes straight into an energy total: it must be a real number.
    if (value)
        FUZZ_CHECK(std::isfinite(*value));
    if (const std::optional<QJsonDocument> document = fuzzinput::oracle(body)) {
        const QJsonValue expected = document->array().at(0).toObject().value(QStringLiteral("value"));
        FUZZ_CHECK(value.has_value() == expected.isDouble());
        FUZZ_CHECK(!value || *value == expected.toDouble());
    }
    return 0;
}
