#include "bridgereplies.h"

#include "bridgewire.h"
#include "qellmnports.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>

#include <algorithm>
#include <vector>

namespace BridgeReplies {

namespace {

// A key as the parser compares it. Escaped keys are decoded by the parser itself; a lone string
// holds no object, so that parse cannot leak.
QString keyText(const QByteArray &quoted)
{
    if (!quoted.contains('\\'))
        return QString::fromUtf8(quoted.constData() + 1, quoted.size() - 2);
    return QJsonDocument::fromJson(QByteArray('[' + quoted + ']')).array().at(0).toString();
}

// Whether the parser takes the quoted text as a string; renaming one it refuses could turn a
// broken body into a sound one.
bool isSoundString(const QByteArray &quoted)
{
    QJsonParseError error{};
    QJsonDocument::fromJson(QByteArray('[' + quoted + ']'), &error);
    return error.error == QJsonParseError::NoError;
}

// Qt 5.15's parser keeps the last value of a repeated key and leaks the values it drops when they
// are arrays or objects, even if the document fails later on. So no repeat may reach it: in the
// element that is read a repeat makes the body unreadable, as the bridge never sends one and
// either value could be the meant one; elsewhere, where nothing is read, the later keys are
// renamed, which leaves the document's syntax as it was.
struct KeyScan {
    bool repeatInElement = false;
    QByteArray body; // with the repeats outside the element renamed
};

// `element`: the index of the top-level array's element that is read.
// The scan follows the structure only as far as a parser could, without validating anything.
KeyScan scanKeys(const QByteArray &body, int element)
{
    struct Token {
        int start;
        int size;
        QByteArray name; // what it is renamed to
    };
    struct Level {
        bool object = false;
        bool expectKey = false;
        bool inElement = false;
        QSet<QString> keys;
        QList<Token> repeats;
    };
    KeyScan scan;
    QList<Token> renames;
    std::vector<Level> levels;
    int topIndex = 0; // the top-level array's element being scanned
    int names = 0;
    // Names the object's repeats anew, unlike any key of the object.
    const auto close = [&renames, &names](Level &level) {
        for (Token &token : level.repeats) {
            while (level.keys.contains(QChar(1) + QString::number(names)))
                ++names;
            token.name = "\"\\u0001" + QByteArray::number(names++) + '"';
            renames.append(token);
        }
    };
    const int size = body.size();
    for (int i = 0; i < size; ++i) {
        switch (body.at(i)) {
        case '{':
        case '[': {
            // The top-level element that is read, and everything within it.
            bool inElement = false;
            if (levels.size() == 1)
                inElement = !levels.front().object && topIndex == element;
            else if (levels.size() > 1)
                inElement = levels.back().inElement;
            levels.push_back({body.at(i) == '{', body.at(i) == '{', inElement, {}, {}});
            break;
        }
        case '}':
        case ']':
            if (!levels.empty()) {
                close(levels.back());
                levels.pop_back();
            }
            break;
        case ',':
            if (levels.size() == 1 && !levels.front().object)
                ++topIndex;
            if (!levels.empty() && levels.back().object)
                levels.back().expectKey = true;
            break;
        case ':':
            if (!levels.empty())
                levels.back().expectKey = false;
            break;
        case '"': {
            const int start = i;
            for (++i; i < size && body.at(i) != '"'; ++i) {
                if (body.at(i) == '\\')
                    ++i;
            }
            // An unterminated string ends the document before any further object is complete.
            if (i >= size)
                break;
            if (levels.empty() || !levels.back().expectKey)
                break;
            Level &level = levels.back();
            const QByteArray quoted = body.mid(start, i - start + 1);
            const QString key = keyText(quoted);
            if (!level.keys.contains(key)) {
                level.keys.insert(key);
            } else if (level.inElement) {
                scan.repeatInElement = true;
                return scan;
            } else if (isSoundString(quoted)) {
                level.repeats.append({start, int(quoted.size()), {}});
            }
            break;
        }
        default: break;
        }
    }
    for (Level &level : levels)
        close(level);
    if (renames.isEmpty()) {
        scan.body = body;
        return scan;
    }
    std::sort(renames.begin(), renames.end(), [](const Token &a, const Token &b) { return a.start < b.start; });
    int from = 0;
    for (const Token &token : qAsConst(renames)) {
        scan.body += body.mid(from, token.start - from);
        scan.body += token.name;
        from = token.start + token.size;
    }
    scan.body += body.mid(from);
    return scan;
}

// The body as a document, `element` being the index of the top-level element that is read.
// `problem`, when given, says what made the body unreadable.
QJsonDocument readBody(const QByteArray &body, int element, QString *problem = nullptr)
{
    // JSON has no raw NUL, and Qt 5.15 compares keys only up to one: keys that differ after it
    // are repeats to Qt, and it leaks the values it drops, which the scan cannot foresee.
    if (body.contains('\0')) {
        if (problem)
            *problem = QStringLiteral("it is not JSON");
        return QJsonDocument();
    }
    const KeyScan scan = scanKeys(body, element);
    if (scan.repeatInElement) {
        if (problem)
            *problem = QStringLiteral("an object repeats a key");
        return QJsonDocument();
    }
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(scan.body, &error);
    if (problem && error.error != QJsonParseError::NoError)
        *problem = error.error == QJsonParseError::IllegalUTF8String ? QStringLiteral("it is not valid UTF-8")
                                                                     : QStringLiteral("it is not JSON");
    return document;
}

// The port's element of the connection details; an empty object when there is none.
QJsonObject portDetails(const QByteArray &body, int index, QString *problem = nullptr)
{
    const QJsonDocument document = readBody(body, index, problem);
    if (problem && !problem->isEmpty())
        return QJsonObject();
    if (!document.isArray()) {
        if (problem)
            *problem = QStringLiteral("it is not a JSON array");
        return QJsonObject();
    }
    const QJsonValue element = document.array().at(index);
    if (problem && !element.isObject())
        *problem = QStringLiteral("it has no element for port index %1").arg(index);
    return element.toObject();
}

// A JSON number that is a whole number within int; nothing for fractions, strings and the rest.
std::optional<int> wholeNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const int whole = value.toInt(0);
    if (double(whole) != value.toDouble())
        return std::nullopt;
    return whole;
}

} // namespace

int portIndex(const QString &serialPort)
{
    return QelLmnPorts::serialPortIndex(serialPort);
}

Members membersFromDetails(const QByteArray &body, const QString &serialPort)
{
    Members result;
    const int index = portIndex(serialPort);
    if (index < 0)
        return result;
    const QJsonObject port = portDetails(body, index, &result.problem);
    result.initialized = port.value(BridgeWire::isInitializedKey).toBool(false) ? 0 : 1;
    if (result.problem.isEmpty() && !port.value(BridgeWire::membersKey).isArray())
        result.problem = QStringLiteral("its element for port index %1 has no member list").arg(index);
    const QJsonArray members = port.value(BridgeWire::membersKey).toArray();
    // The last entry of a serverID decides; its place is that of its first entry.
    QHash<QString, std::optional<int>> latest;
    QHash<QString, QList<int>> listedAt;
    QHash<QString, int> entries;
    QStringList seen;
    for (const QJsonValue &member : members) {
        const QJsonObject object = member.toObject();
        const QString deviceID = object.value(BridgeWire::serverIdKey).toString();
        if (!latest.contains(deviceID))
            seen.append(deviceID);
        const std::optional<int> address = wholeNumber(object.value(BridgeWire::lmnAddressKey));
        latest.insert(deviceID, address);
        ++entries[deviceID];
        if (address)
            listedAt[deviceID].append(*address);
    }
    QHash<int, QStringList> atAddress;
    QList<int> addressOrder;
    for (const QString &deviceID : qAsConst(seen)) {
        if (entries.value(deviceID) > 1)
            result.duplicates.append({deviceID, listedAt.value(deviceID)});
        const std::optional<int> address = latest.value(deviceID);
        if (!address) {
            result.unusable.append(deviceID);
            continue;
        }
        if (!atAddress.contains(*address))
            addressOrder.append(*address);
        atAddress[*address].append(deviceID);
    }
    for (int address : qAsConst(addressOrder)) {
        const QStringList &ids = atAddress[address];
        if (ids.size() > 1)
            result.shared.append({address, ids});
    }
    for (const QString &deviceID : qAsConst(seen)) {
        const std::optional<int> address = latest.value(deviceID);
        if (!address || atAddress.value(*address).size() > 1)
            continue;
        result.addresses.insert(deviceID, *address);
        result.order.append(deviceID);
    }
    result.count = members.size();
    return result;
}

uchar initializedFromDetails(const QByteArray &body, const QString &serialPort)
{
    const int index = portIndex(serialPort);
    const bool initialized = index >= 0 && portDetails(body, index).value(BridgeWire::isInitializedKey).toBool(false);
    return initialized ? 0 : 1;
}

std::optional<double> valueFromReply(const QByteArray &body)
{
    const QJsonValue value = readBody(body, 0).array().at(0).toObject().value(BridgeWire::valueKey);
    if (!value.isDouble())
        return std::nullopt;
    return value.toDouble();
}

} // namespace BridgeReplies
