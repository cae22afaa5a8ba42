// The reply-body parsers on their own: which element a port name selects, and bodies that repeat
// a key. Run under LeakSanitizer (scripts/test-all --sanitize), the repeated-key rows also fail if
// a repeat reaches Qt's parser again, which leaks on some.
#include "bridgereplies.h"

#include <QtTest>

namespace {

QString operator""_q(const char *text, std::size_t size) { return QString::fromUtf8(text, int(size)); }

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
        QTest::newRow("array first") << details(R"({"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":1}],"abailableLMNMembers":[]})") << 0 << repeats;
        QTest::newRow("scalar first") << details(R"({"isInitialized":true,"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":1}]})") << 0 << repeats;
        QTest::newRow("in a member") << details(R"({"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":{},"lmnAdress":1}]})") << 0 << repeats;
        // Rows with backslashes use plain literals: Qt 5's moc misreads such raw strings.
        QTest::newRow("escaped the same") << details("{\"isInitialized\":true,\"abailableLMNMembers\":[{\"serverID\":\"a\",\"lmnAdress\":1}],\"\\u0069sInitialized\":[]}") << 0 << repeats;
        QTest::newRow("document fails later") << details(R"({"isInitialized":true,"x":[1],"x":2})") + " trailing" << 0 << repeats;
        QTest::newRow("in another port") << QByteArray(R"([{"port":{},"port":1},{},{},{"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":1}]}])") << 1 << none;
        QTest::newRow("in another port's member") << QByteArray(R"([{"abailableLMNMembers":[{"a":[],"a":1}]},{},{},{"isInitialized":true,"abailableLMNMembers":[{}]}])") << 1 << none;
        QTest::newRow("another port's, new name taken") << QByteArray("[{\"x\":[1],\"\\u00010\":[1],\"x\":[1]},{},{},{\"isInitialized\":true,\"abailableLMNMembers\":[{}]}]") << 1 << none;
        QTest::newRow("another port's, document fails later") << QByteArray(R"([{"x":[1],"x":2},{},{},{"isInitialized":true,"abailableLMNMembers":[{}]}] trailing)") << 0 << "it is not JSON"_q;
        // Both keys read as U+FFFD, but the second is not UTF-8: renamed, the body would pass.
        QTest::newRow("another port's, key not UTF-8") << QByteArray("[{\"\xef\xbf\xbd\":[],\"\xff\":1},{},{},{\"isInitialized\":true,\"abailableLMNMembers\":[{}]}]") << 0 << "it is not valid UTF-8"_q;
        QTest::newRow("same key in sibling objects") << details(R"({"isInitialized":true,"abailableLMNMembers":[{"serverID":"a","lmnAdress":1},{"serverID":"b","lmnAdress":2}]})") << 2 << none;
        QTest::newRow("same key in parent and child") << details(R"({"isInitialized":true,"abailableLMNMembers":[{"abailableLMNMembers":1,"isInitialized":2}]})") << 1 << none;
        QTest::newRow("key text inside a string") << details("{\"isInitialized\":true,\"x\":\"{\\\"y\\\":1,\\\"y\\\":2}\",\"abailableLMNMembers\":[{}]}") << 1 << none;
        QTest::newRow("escaped quote in a key") << details("{\"isInitialized\":true,\"a\\\"\":1,\"a\":2,\"abailableLMNMembers\":[{}]}") << 1 << none;
        QTest::newRow("values equal to keys") << details(R"({"isInitialized":true,"x":"isInitialized","abailableLMNMembers":["x","x"]})") << 2 << none;
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
    }

    // A serverID listed twice keeps its last address; IDs at one address are all left out.
    void ambiguousMembers_data()
    {
        QTest::addColumn<QByteArray>("members");
        QTest::addColumn<QString>("polled");     // id=address in member order
        QTest::addColumn<QString>("duplicates"); // id:addresses
        QTest::addColumn<QString>("shared");     // address:ids
        QTest::newRow("one ID twice") << QByteArray(R"({"serverID":"a","lmnAdress":4},{"serverID":"b","lmnAdress":5},{"serverID":"a","lmnAdress":7})")
                                      << "a=7 b=5"_q << "a:4,7"_q << ""_q;
        QTest::newRow("two IDs at one address") << QByteArray(R"({"serverID":"a","lmnAdress":3},{"serverID":"c","lmnAdress":5},{"serverID":"b","lmnAdress":3})")
                                                << "c=5"_q << ""_q << "3:a,b"_q;
        QTest::newRow("a duplicate's last address is another's") << QByteArray(R"({"serverID":"a","lmnAdress":1},{"serverID":"b","lmnAdress":2},{"serverID":"a","lmnAdress":2})")
                                                                 << ""_q << "a:1,2"_q << "2:a,b"_q;
        QTest::newRow("an ID twice at one address") << QByteArray(R"({"serverID":"a","lmnAdress":1},{"serverID":"a","lmnAdress":1})")
                                                    << "a=1"_q << "a:1,1"_q << ""_q;
    }
    void ambiguousMembers()
    {
        QFETCH(QByteArray, members);
        QFETCH(QString, polled);
        QFETCH(QString, duplicates);
        QFETCH(QString, shared);
        const BridgeReplies::Members got = BridgeReplies::membersFromDetails(
            details(QByteArray(R"({"abailableLMNMembers":[)" + members + "]}").constData()), port3);
        QStringList texts;
        for (const QString &id : got.order)
            texts << id + QLatin1Char('=') + QString::number(got.addresses.value(id));
        QCOMPARE(texts.join(QLatin1Char(' ')), polled);
        QCOMPARE(got.addresses.size(), got.order.size());
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
    }

    void value_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<double>("value"); // NaN: none
        const double none = qQNaN();
        QTest::newRow("reading") << QByteArray(R"([{"value":2050001.0,"unit":"Wh"}])") << 2050001.0;
        QTest::newRow("first element only") << QByteArray(R"([{"unit":"Wh"},{"value":1}])") << none;
        QTest::newRow("string") << QByteArray(R"([{"value":"12"}])") << none;
        QTest::newRow("repeated") << QByteArray(R"([{"value":1,"value":2}])") << none;
        QTest::newRow("repeated, array first") << QByteArray(R"([{"value":[],"value":2}])") << none;
        QTest::newRow("repeat in a string") << QByteArray("[{\"value\":3,\"unit\":\"\\\"value\\\":4,\\\"value\\\":5\"}]") << 3.0;
        QTest::newRow("repeated within the first element") << QByteArray(R"([{"value":3,"unit":{"a":[],"a":1}}])") << none;
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
