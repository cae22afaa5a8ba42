// The reply-body parsers on their own: which element a port name selects, and bodies that repeat
// a key. Run under LeakSanitizer (scripts/test-all --sanitize), the repeated-key rows also fail if
// a repeat reaches Qt's parser again, which leaks on some.
#include "bridgereplies.h"

#include <QtTest>

namespace {

QString operator""_q(const char *text, std::size_t size)
{
    return QString::fromUtf8(text, int(size));
}

const QString port3 = "/dev/ttymxc3"_q;

// Connection details with `element` as the fourth element, the one port3 selects.
QByteArray details(const char *element)
{
    return QByteArray("[{},{},{},") + element + ']';
}

} // namespace

class TestBridgeReplies : public QObject
{
    Q_OBJECT

private slots:
    void portIndex_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("index");
        QTest::newRow("0") << "/dev/ttymxc0"_q << 0;
        QTest::newRow("9") << "/dev/ttymxc9"_q << 9;
        QTest::newRow("last digit only") << "/dev/ttymxc13"_q << 3;
        QTest::newRow("empty") << QString() << -1;
        // Next to the digits in ASCII, and digits that are not ASCII.
        QTest::newRow("slash") << "/dev/ttymxc/"_q << -1;
        QTest::newRow("colon") << "/dev/ttymxc:"_q << -1;
        QTest::newRow("superscript three") << "/dev/ttymxc\u00B3"_q << -1;
        QTest::newRow("Arabic-Indic three") << "/dev/ttymxc\u0663"_q << -1;
        QTest::newRow("fullwidth three") << "/dev/ttymxc\uFF13"_q << -1;
    }
    void portIndex()
    {
        QFETCH(QString, port);
        QFETCH(int, index);
        QCOMPARE(BridgeReplies::portIndex(port), index);
    }

    // Qt keeps the last value of a repeated key, and leaks the dropped one when it is an array or
    // an object. A repeat in the port's element makes the body unreadable; one elsewhere is not read.
    // The scan must not take for a repeat what is none.
    void keys_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("members");
        QTest::addColumn<QString>("problem");
        const QString repeats = "an object repeats a key"_q, none;
        QTest::newRow("array first") << details(
            R"({"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":1}],"abailableLMNMembers":[]})")
                                     << 0 << repeats;
        QTest::newRow("scalar first") << details(
            R"({"isInitialized":true,"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":1}]})")
                                      << 0 << repeats;
        QTest::newRow("in a member") << details(
            R"({"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":{},"lmnAdress":1}]})")
                                     << 0 << repeats;
        // Rows with backslashes use plain literals: Qt 5's moc misreads such raw strings.
        QTest::newRow("escaped the same") << details("{\"isInitialized\":true,\"abailableLMNMembers\":[{\"serverID\":"
                                                     "\"a\",\"lmnAdress\":1}],\"\\u0069sInitialized\":[]}")
                                          << 0 << repeats;
        QTest::newRow("document fails later")
            << details(R"({"isInitialized":true,"x":[1],"x":2})") + " trailing" << 0 << repeats;
        QTest::newRow("in another port") << QByteArray(
            R"([{"port":{},"port":1},{},{},{"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":1}]}])")
                                         << 1 << none;
        QTest::newRow("in another port's member") << QByteArray(
            R"([{"abailableLMNMembers":[{"a":[],"a":1}]},{},{},{"isInitialized":true,"abailableLMNMembers":[{}]}])")
                                                  << 1 << none;
        QTest::newRow("another port's, new name taken") << QByteArray(
            "[{\"x\":[1],\"\\u00010\":[1],\"x\":[1]},{},{},{\"isInitialized\":true,\"abailableLMNMembers\":[{}]}]")
                                                        << 1 << none;
        // Qt takes keys that differ only after a raw NUL for one, and leaks the value it drops.
        QTest::newRow("keys alike up to a NUL") << QByteArrayLiteral(
            "[{\"\0a\":[1],\"\0b\":2},{},{},{\"isInitialized\":true,\"abailableLMNMembers\":[{}]}]")
                                                << 0 << "it is not JSON"_q;
        QTest::newRow("another port's, document fails later")
            << QByteArray(R"([{"x":[1],"x":2},{},{},{"isInitialized":true,"abailableLMNMembers":[{}]}] trailing)") << 0
            << "it is not JSON"_q;
        // Both keys read as U+FFFD, but the second is not UTF-8: renamed, the body would pass.
        QTest::newRow("another port's, key not UTF-8") << QByteArray(
            "[{\"\xef\xbf\xbd\":[],\"\xff\":1},{},{},{\"isInitialized\":true,\"abailableLMNMembers\":[{}]}]")
                                                       << 0 << "it is not valid UTF-8"_q;
        QTest::newRow("same key in sibling objects") << details(
            R"({"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":1},{"serverID":"b","lmnAdress":2}]})")
                                                     << 2 << none;
        QTest::newRow("same key in parent and child")
            << details(R"({"isInitialized":true,"abailableLMNMembers":[{"abailableLMNMembers":1,"isInitialized":2}]})")
            << 1 << none;
        QTest::newRow("key text inside a string")
            << details("{\"isInitialized\":true,\"x\":\"{\\\"y\\\":1,\\\"y\\\":2}\",\"abailableLMNMembers\":[{}]}") << 1
            << none;
        QTest::newRow("escaped quote in a key")
            << details("{\"isInitialized\":true,\"a\\\"\":1,\"a\":2,\"abailableLMNMembers\":[{}]}") << 1 << none;
        QTest::newRow("values equal to keys")
            << details(R"({"isInitialized":true,"x":"isInitialized","abailableLMNMembers":["x","x"]})") << 2 << none;
    }
    void keys()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, members);
        QFETCH(QString, problem);
        const BridgeReplies::Members got = BridgeReplies::membersFromDetails(body, port3);
        QCOMPARE(got.count, members);
        QCOMPARE(got.problem, problem);
        QCOMPARE(int(BridgeReplies::initializedFromDetails(body, port3)), problem.isEmpty() ? 0 : 1);
        QCOMPARE(int(got.initialized), problem.isEmpty() ? 0 : 1);
    }

    // The meters a member list gives. A serverID listed twice keeps its last address; one without a
    // whole-number address is not polled, as a made-up address would read whichever meter has it;
    // IDs at one address are all left out.
    void members_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("polled");     // id=address in member order
        QTest::addColumn<QString>("unusable");   // ids
        QTest::addColumn<QString>("duplicates"); // id:addresses
        QTest::addColumn<QString>("shared");     // address:ids
        QTest::addColumn<QString>("problem");
        // A member list for port3, and one for port 1 that must not be read.
        const auto list = [](const char *members) -> QByteArray {
            return QByteArray(
                       R"([{},{"abailableLMNMembers":[{"serverID":"w","lmnAdress":9}]},{},{"abailableLMNMembers":[)")
                   + members + "]}]";
        };
        const auto row = [&](const char *name, const QByteArray &body, int count, const QString &polled,
                             const QString &unusable = {}, const QString &duplicates = {}, const QString &shared = {},
                             const QString &problem = {}, const QString &port = port3) {
            QTest::newRow(name) << port << body << count << polled << unusable << duplicates << shared << problem;
        };
        row("fourth element only", list(R"({"serverID":"a","lmnAdress":5})"), 1, "a=5"_q);
        row("whole number written 3.0", list(R"({"serverID":"a","lmnAdress":3.0})"), 1, "a=3"_q);
        row("zero and negative addresses", list(R"({"serverID":"a","lmnAdress":0},{"serverID":"b","lmnAdress":-2})"), 2,
            "a=0 b=-2"_q);
        row("no serverID", list(R"({"lmnAdress":2})"), 1, "=2"_q);
        row("no whole-number address",
            list(
                R"({"serverID":"a","lmnAdress":3.5},{"serverID":"b","lmnAdress":"3"},{"serverID":"c","lmnAdress":1e12},{"serverID":"d"},{"serverID":"e","lmnAdress":null})"),
            5, ""_q, "a,b,c,d,e"_q);
        row("later entry unusable", list(R"({"serverID":"a","lmnAdress":4},{"serverID":"a","lmnAdress":null})"), 2,
            ""_q, "a"_q, "a:4"_q);
        row("member not an object", list("5"), 1, ""_q, ""_q);
        row("one ID twice",
            list(R"({"serverID":"a","lmnAdress":4},{"serverID":"b","lmnAdress":5},{"serverID":"a","lmnAdress":7})"), 3,
            "a=7 b=5"_q, {}, "a:4,7"_q);
        row("two IDs at one address",
            list(R"({"serverID":"a","lmnAdress":3},{"serverID":"c","lmnAdress":5},{"serverID":"b","lmnAdress":3})"), 3,
            "c=5"_q, {}, {}, "3:a,b"_q);
        row("a duplicate's last address is another's",
            list(R"({"serverID":"a","lmnAdress":1},{"serverID":"b","lmnAdress":2},{"serverID":"a","lmnAdress":2})"), 3,
            ""_q, {}, "a:1,2"_q, "2:a,b"_q);
        row("an ID twice at one address", list(R"({"serverID":"a","lmnAdress":1},{"serverID":"a","lmnAdress":1})"), 2,
            "a=1"_q, {}, "a:1,1"_q);
        // Bodies without a member list for the port say why.
        const QString noList = "its element for port index 3 has no member list"_q,
                      noElement = "it has no element for port index 3"_q;
        row("members not an array", details(R"({"abailableLMNMembers":{}})"), 0, {}, {}, {}, {}, noList);
        row("no member list", details(R"({"isInitialized":false})"), 0, {}, {}, {}, {}, noList);
        row("too short", list(""), 0, {}, {}, {}, {}, "it has no element for port index 4"_q, "/dev/ttymxc4"_q);
        row("empty array", "[]", 0, {}, {}, {}, {}, noElement);
        row("element not an object", "[1,2,3,4]", 0, {}, {}, {}, {}, noElement);
        row("not JSON", "<html>", 0, {}, {}, {}, {}, "it is not JSON"_q);
        row("empty body", "", 0, {}, {}, {}, {}, "it is not JSON"_q);
        row("object", R"({"abailableLMNMembers":[{"serverID":"a"}]})", 0, {}, {}, {}, {}, "it is not a JSON array"_q);
        row("invalid UTF-8", list("{\"serverID\":\"a\xff\",\"lmnAdress\":5}"), 0, {}, {}, {}, {},
            "it is not valid UTF-8"_q);
        // A port name that selects no element: nothing to read, and nothing wrong with the body.
        row("ends in a letter", list(R"({"serverID":"a","lmnAdress":5})"), 0, {}, {}, {}, {}, {}, "/dev/ttymxcA"_q);
        row("empty name", list(R"({"serverID":"a","lmnAdress":5})"), 0, {}, {}, {}, {}, {}, QString());
    }
    void members()
    {
        QFETCH(QString, port);
        QFETCH(QByteArray, body);
        QFETCH(int, count);
        QFETCH(QString, polled);
        QFETCH(QString, unusable);
        QFETCH(QString, duplicates);
        QFETCH(QString, shared);
        QFETCH(QString, problem);
        const BridgeReplies::Members got = BridgeReplies::membersFromDetails(body, port);
        QCOMPARE(got.count, count);
        QStringList texts;
        for (const QString &id : got.order)
            texts << id + QLatin1Char('=') + QString::number(got.addresses.value(id));
        QCOMPARE(texts.join(QLatin1Char(' ')), polled);
        QCOMPARE(got.addresses.size(), got.order.size());
        QCOMPARE(got.unusable.join(QLatin1Char(',')), unusable);
        texts.clear();
        for (const auto &duplicate : got.duplicates) {
            QStringList addresses;
            for (int address : duplicate.addresses)
                addresses << QString::number(address);
            texts << duplicate.deviceID + QLatin1Char(':') + addresses.join(QLatin1Char(','));
        }
        QCOMPARE(texts.join(QLatin1Char(' ')), duplicates);
        texts.clear();
        for (const auto &entry : got.shared)
            texts << QString::number(entry.address) + QLatin1Char(':') + entry.deviceIDs.join(QLatin1Char(','));
        QCOMPARE(texts.join(QLatin1Char(' ')), shared);
        QCOMPARE(got.problem, problem);
        // No element here says it is initialised.
        QCOMPARE(int(BridgeReplies::initializedFromDetails(body, port)), 1);
        QCOMPARE(int(got.initialized), 1);
    }

    void value_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<double>("value"); // NaN: none
        const double none = qQNaN();
        QTest::newRow("reading") << QByteArray(R"([{"value":2050001.0,"unit":"Wh"}])") << 2050001.0;
        QTest::newRow("first element only") << QByteArray(R"([{"unit":"Wh"},{"value":1}])") << none;
        QTest::newRow("string") << QByteArray(R"([{"value":"12"}])") << none;
        QTest::newRow("null") << QByteArray(R"([{"value":null}])") << none;
        QTest::newRow("not JSON") << QByteArray("<html>") << none;
        QTest::newRow("empty") << QByteArray() << none;
        QTest::newRow("object") << QByteArray(R"({"value":1})") << none;
        QTest::newRow("empty array") << QByteArray("[]") << none;
        QTest::newRow("invalid UTF-8") << QByteArray("[{\"value\":1,\"unit\":\"\xff\"}]") << none;
        QTest::newRow("repeated") << QByteArray(R"([{"value":1,"value":2}])") << none;
        QTest::newRow("repeated, array first") << QByteArray(R"([{"value":[],"value":2}])") << none;
        QTest::newRow("repeat in a string")
            << QByteArray("[{\"value\":3,\"unit\":\"\\\"value\\\":4,\\\"value\\\":5\"}]") << 3.0;
        QTest::newRow("repeated within the first element")
            << QByteArray(R"([{"value":3,"unit":{"a":[],"a":1}}])") << none;
        QTest::newRow("repeated in a later element") << QByteArray(R"([{"value":3},{"value":[],"value":4}])") << 3.0;
        QTest::newRow("beyond double") << QByteArray(R"([{"value":1e400}])") << none;
    }
    void value()
    {
        QFETCH(QByteArray, body);
        QFETCH(double, value);
        const std::optional<double> read = BridgeReplies::valueFromReply(body);
        QCOMPARE(read.has_value(), !qIsNaN(value));
        if (read)
            QCOMPARE(*read, value);
    }
};

QTEST_APPLESS_MAIN(TestBridgeReplies)

#include "tst_bridgereplies.moc"
