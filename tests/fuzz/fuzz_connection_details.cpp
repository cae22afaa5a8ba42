// The connection-details body through NetworkHandler::saveDeviceList, for port names ending in a
// digit, in another character and for an empty one.
#include "bridgereplies.h"
#include "fuzzinput.h"
#include "networkhandler.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

#include <cmath>
#include <limits>

namespace {

NetworkHandler &handler()
{
    // One handler for the whole run, so that every input also replaces the previous input's list.
    static NetworkHandler *instance = new NetworkHandler;
    return *instance;
}

// The meters that a member list gives, read the plain way: the last entry of a serverID counts,
// and a serverID without a whole-number address, or sharing its address, is left out.
QHash<QString, int> polled(const QJsonArray &members, QStringList *order)
{
    QHash<QString, QJsonValue> last;
    QStringList ids;
    for (const QJsonValue &member : members) {
        const QString id = member.toObject().value(QStringLiteral("serverID")).toString();
        if (!last.contains(id))
            ids.append(id);
        last.insert(id, member.toObject().value(QStringLiteral("lmnAdress")));
    }
    QHash<QString, int> whole;
    QHash<int, int> holders;
    for (const QString &id : qAsConst(ids)) {
        const double address = last.value(id).toDouble(0.5);
        if (!last.value(id).isDouble() || address != std::floor(address) || address < std::numeric_limits<int>::min()
            || address > std::numeric_limits<int>::max())
            continue;
        whole.insert(id, int(address));
        ++holders[int(address)];
    }
    QHash<QString, int> result;
    for (const QString &id : qAsConst(ids)) {
        if (whole.contains(id) && holders.value(whole.value(id)) == 1) {
            result.insert(id, whole.value(id));
            order->append(id);
        }
    }
    return result;
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
    FUZZ_CHECK(ids == fresh.order);
    FUZZ_CHECK(ids.isEmpty() || count > 0);
    if (input.digit < 0)
        return 0;
    if (const std::optional<QJsonDocument> document = fuzzinput::oracle(input.body)) {
        const QJsonValue list =
            document->array().at(input.digit).toObject().value(QStringLiteral("abailableLMNMembers"));
        FUZZ_CHECK(fresh.problem.isEmpty() == list.isArray());
        FUZZ_CHECK(fresh.count == list.toArray().size());
        QStringList order;
        FUZZ_CHECK(fresh.addresses == polled(list.toArray(), &order));
        FUZZ_CHECK(fresh.order == order);
    }
    return 0;
}
