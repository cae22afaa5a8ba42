// veyra-host --diagnose run as a process against the simulator: its report, its exit codes, and
// the stored meter things whose meter left the bus.

#include "hosttest.h"

#include <bridgesimulator.h>

#include <QJsonArray>
#include <QtTest>

#include <cmath>

class TestHostDiagnose : public QObject
{
    Q_OBJECT

private slots:
    void diagnoseReportsWhatThePluginSees_data();
    void diagnoseReportsWhatThePluginSees();
    void goneMeterIsNamedAndItsThingRemoved();
    void diagnoseReadsHostileDeviceIdsBack();
};

void TestHostDiagnose::diagnoseReportsWhatThePluginSees_data()
{
    QTest::addColumn<QString>("serialPort");
    QTest::addColumn<int>("meterCount");
    // Answers 404 to every value call; 0: none; -1: the meter list is not JSON; -2: the probe hangs;
    // -3: the probe hangs and the check is stopped with SIGTERM.
    QTest::addColumn<int>("failingAddress");
    QTest::addColumn<bool>("wrongNumbers"); // meter 1 serves a negative total; meter 2's ID also at meter 5's address
    QTest::addColumn<bool>("bridgeUp");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("mentions");
    const QString port = QStringLiteral("/dev/ttymxc3");
    QTest::newRow("healthy bus") << port << 3 << 0 << false << true << 0
                                 << QStringList{QStringLiteral("reachable        yes"), QStringLiteral("initialised"),
                                                QStringLiteral("first polling cycle"), QStringLiteral("Verdict: OK"),
                                                QStringLiteral("3 of 3 meters read")};
    QTest::newRow("meter answers 404") << port << 3 << 2 << false << true << 1
                                       << QStringList{
                                              QStringLiteral("1-QEL-000-00000002        2             -             -"),
                                              QStringLiteral("never answers GeActiceEnergyPlusTotal"),
                                              QStringLiteral("HTTP 404"), QStringLiteral("Verdict: FAILED"),
                                              QStringLiteral("2 of 3 meters read")};
    QTest::newRow("meters over 32") << port << 34 << 0 << false << true << 1
                                    << QStringList{QStringLiteral("not created (all 32 slots taken)"),
                                                   QStringLiteral("2 meter(s) over 32"),
                                                   QStringLiteral("32 of 34 meters read")};
    QTest::newRow("no meters on the port")
        << port << 0 << 0 << false << true << 1
        << QStringList{QStringLiteral("lists no meters for port index 3"), QStringLiteral("0 of 0 meters read")};
    QTest::newRow("meter list not JSON") << port << 0 << -1 << false << true << 1
                                         << QStringList{QStringLiteral("is unusable: it is not JSON"),
                                                        QStringLiteral("not to blame"),
                                                        QStringLiteral("0 of 0 meters read")};
    QTest::newRow("bridge down") << port << 3 << 0 << false << false << 1
                                 << QStringList{QStringLiteral("reachable        no (Connection refused)"),
                                                QStringLiteral("Nothing listens on 127.0.0.1:"),
                                                QStringLiteral("Hint: Start the bridge"),
                                                QStringLiteral("Verdict: FAILED: bridge not reached")};
    // The request's deadline is 1 s at the tests' time scale; the stopped check keeps the real 30 s.
    QTest::newRow("probe hangs") << port << 3 << -2 << false << true << 1
                                 << QStringList{QStringLiteral("reachable        no (no complete answer within 1 s)"),
                                                QStringLiteral("failed the probe (no complete answer within 1 s)")};
    QTest::newRow("probe hangs, check stopped")
        << port << 3 << -3 << false << true << 1
        << QStringList{QStringLiteral("was stopped while it waited for the bridge")};
    QTest::newRow("wrong numbers and an ambiguous member list")
        << port << 5 << 0 << true << true << 1
        << QStringList{
               QStringLiteral(
                   "Meter 1-QEL-000-00000001 reads totalEnergyConsumed = -1200 kWh, which was not written: negative"),
               QStringLiteral("Hint: The bridge serves a total that cannot be right"),
               QStringLiteral(
                   "lists meter 1-QEL-000-00000002 at more than one LMN address (2 and 5); only address 5 is read"),
               QStringLiteral("lists meters 1-QEL-000-00000002, 1-QEL-000-00000005 at one LMN address 5; none of them"),
               QStringLiteral("Hint: Every meter on the bus needs an LMN address of its own"),
               QStringLiteral("refused totalEnergyConsumed"),
               QStringLiteral("2 of 3 meters read")};
    QTest::newRow("port name without digit") << QStringLiteral("/dev/ttyS") << 3 << 0 << false << true << 2
                                             << QStringList{QStringLiteral("does not end in a digit")};
}

void TestHostDiagnose::diagnoseReportsWhatThePluginSees()
{
    QFETCH(QString, serialPort);
    QFETCH(int, meterCount);
    QFETCH(int, failingAddress);
    QFETCH(bool, wrongNumbers);
    QFETCH(bool, bridgeUp);
    QFETCH(int, exitCode);
    QFETCH(QStringList, mentions);

    lmnsim::Options options;
    options.meters = meterCount;
    lmnsim::BridgeSimulator bridge(options);
    QVERIFY(bridge.start());
    if (failingAddress > 0)
        bridge.setMeterFault(failingAddress, lmnsim::Fault{lmnsim::Fault::Kind::HttpStatus, 404});
    if (failingAddress == -1)
        bridge.setFault(lmnsim::Endpoint::ConnectionDetails, lmnsim::Fault{lmnsim::Fault::Kind::NotJson});
    if (failingAddress < -1)
        bridge.setFault(lmnsim::Endpoint::Probe, lmnsim::Fault{lmnsim::Fault::Kind::Hang});
    if (wrongNumbers) {
        bridge.setValueFault(1, "GeActiceEnergyPlusTotal", lmnsim::ValueFault::Negative);
        bridge.setMemberFault(lmnsim::MemberFault::DuplicateId, 2, 5);
    }
    if (!bridgeUp)
        bridge.stop();

    const QStringList arguments{QStringLiteral("--diagnose"),
                                QStringLiteral("--server-port"),
                                QString::number(bridge.port()),
                                QStringLiteral("--serial-port"),
                                serialPort,
                                QStringLiteral("--timeout"),
                                QStringLiteral("30")};
    HostProcess text(arguments, failingAddress == -3 ? QStringLiteral("1") : QStringLiteral("0.01"));
    if (failingAddress == -3) {
        QTRY_VERIFY_WITH_TIMEOUT(bridge.requestCount() > 0, 10000);
        text.process().terminate();
    }
    QVERIFY2(text.finish(60000), qPrintable(text.describe()));
    QVERIFY2(text.exitCode() == exitCode, qPrintable(text.out() + text.describe()));
    const QString report = exitCode == 2 ? text.err() : text.out();
    for (const QString &mention : qAsConst(mentions))
        QVERIFY2(report.contains(mention), qPrintable(QStringLiteral("no \"%1\" in:\n%2").arg(mention, report)));
    if (exitCode == 2) {
        QVERIFY2(text.out().isEmpty(), qPrintable(text.out()));
        QCOMPARE(bridge.requestCount(), 0u);
        return;
    }
    if (failingAddress == -3)
        return;

    // The same check for scripts: one JSON object with the same verdict.
    const bool reached = bridgeUp && failingAddress > -2;
    HostProcess events(arguments + QStringList{QStringLiteral("--events")});
    QVERIFY2(events.finish(60000), qPrintable(events.describe()));
    QCOMPARE(events.exitCode(), exitCode);
    QCOMPARE(events.lines().size(), 1);
    const QJsonObject object = QJsonDocument::fromJson(events.lines().first()).object();
    QCOMPARE(object.value(QStringLiteral("verdict")).toString(),
             exitCode == 0 ? QStringLiteral("ok") : QStringLiteral("failed"));
    QCOMPARE(object.value(QStringLiteral("bridge")).toObject().value(QStringLiteral("reachable")).toBool(), reached);
    QCOMPARE(object.value(QStringLiteral("problems")).toArray().isEmpty(), exitCode == 0);
    if (wrongNumbers)
        return;
    const QJsonArray meters = object.value(QStringLiteral("meters")).toArray();
    QCOMPARE(meters.size(), reached ? meterCount : 0);
    int created = 0;
    for (const QJsonValue &value : meters) {
        const QJsonObject meter = value.toObject();
        const int address = meter.value(QStringLiteral("lmnAddress")).toInt();
        const bool hasThing = meter.value(QStringLiteral("created")).toBool();
        created += hasThing ? 1 : 0;
        const bool read = hasThing && address != failingAddress;
        QCOMPARE(meter.value(QStringLiteral("read")).toBool(), read);
        // Readings name the meter they came from; an unread one has none rather than zero.
        const QJsonValue consumed = meter.value(QStringLiteral("consumedKWh"));
        QVERIFY2(read ? int(std::floor(consumed.toDouble() * 1000 / addressScaleWh)) == address : consumed.isNull(),
                 qPrintable(compact(meter)));
    }
    QCOMPARE(created, std::min(reached ? meterCount : 0, 32));
}

void TestHostDiagnose::goneMeterIsNamedAndItsThingRemoved()
{
    lmnsim::Options options;
    options.meters = 2;
    lmnsim::BridgeSimulator bridge(options);
    QVERIFY(bridge.start());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    auto diagnose = [&store](quint16 port) {
        return QStringList{QStringLiteral("--diagnose"), QStringLiteral("--server-port"), QString::number(port),
                           QStringLiteral("--store"), store};
    };
    auto storedThings = [&store] {
        return QJsonDocument::fromJson(readFile(store)).object().value(QStringLiteral("things")).toArray().size();
    };
    {
        HostProcess first(diagnose(bridge.port()));
        QVERIFY2(first.finish(60000) && first.exitCode() == 0, qPrintable(first.out() + first.describe()));
        QCOMPARE(storedThings(), 3);
    }
    // The second run, on a bridge that moved to another port and lost meter 2, reads the meter still
    // listed through its stored thing, and adds no thing.
    options.meters = 1;
    lmnsim::BridgeSimulator moved(options);
    QVERIFY(moved.start());
    HostProcess check(diagnose(moved.port()));
    QVERIFY2(check.finish(60000) && check.exitCode() == 1, qPrintable(check.out() + check.describe()));
    QVERIFY2(check.out().contains(QLatin1String("1 of 1 meters read, 1 problem(s)")), qPrintable(check.out()));
    QCOMPARE(storedThings(), 3);
    const auto hint = QRegularExpression(
                          QStringLiteral("meter 1-QEL-000-00000002, which the bridge no longer lists.*\\n.*"
                                         "veyra-host --store (\\S+) --remove-thing (\\S+)\\n"))
                          .match(check.out());
    QVERIFY2(hint.hasMatch(), qPrintable(check.out()));
    QCOMPARE(hint.captured(1), store);

    const QStringList remove{QStringLiteral("--store"), store, QStringLiteral("--remove-thing"), hint.captured(2)};
    HostProcess removal(remove);
    QVERIFY2(removal.finish(10000) && removal.exitCode() == 0, qPrintable(removal.describe()));
    QVERIFY2(removal.out().startsWith(QStringLiteral("removed ")) && removal.out().contains(hint.captured(2)),
             qPrintable(removal.out()));
    QCOMPARE(storedThings(), 2);
    QVERIFY(!readFile(store).contains(hint.captured(2).toUtf8()));
    // Without it the bridge checks out, its meter read through the stored thing.
    HostProcess clean(diagnose(moved.port()));
    QVERIFY2(clean.finish(60000) && clean.exitCode() == 0, qPrintable(clean.out() + clean.describe()));
    // A meter replaced under the same ID whose register stands still below the stored total is
    // refused for good: the check follows it for a few cycles and names the command that frees it.
    QJsonObject root = QJsonDocument::fromJson(readFile(store)).object();
    QJsonArray things = root.value(QStringLiteral("things")).toArray();
    for (QJsonValueRef thing : things) {
        QJsonObject object = thing.toObject();
        QJsonObject states = object.value(QStringLiteral("states")).toObject();
        for (const QString &key : states.keys())
            states.insert(key, states.value(key).isDouble() ? QJsonValue(1e8) : states.value(key));
        object.insert(QStringLiteral("states"), states);
        thing = object;
    }
    root.insert(QStringLiteral("things"), things);
    QFile file(store);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(root).toJson()) > 0);
    file.close();
    moved.setValueFault(1, "GeActiceEnergyPlusTotal", lmnsim::ValueFault::Frozen);
    HostProcess locked(diagnose(moved.port()));
    QVERIFY2(locked.finish(60000) && locked.exitCode() == 1, qPrintable(locked.out() + locked.describe()));
    QVERIFY2(QRegularExpression(QStringLiteral("1-QEL-000-00000001's totalEnergyConsumed has been refused for 6 "
                                               "readings in a row.*\\n.*"
                                               "veyra-host --store \\S+ --remove-thing \\S+\\n"))
                 .match(locked.out())
                 .hasMatch(),
             qPrintable(locked.out()));
    // The produced register counts on below the stored total: taken as restarted, and said so.
    QVERIFY2(!locked.out().contains(QLatin1String("totalEnergyProduced has been refused")), qPrintable(locked.out()));
    QVERIFY2(locked.out().contains(QLatin1String("1-QEL-000-00000001's totalEnergyProduced restarted at ")),
             qPrintable(locked.out()));
    HostProcess again(remove);
    QVERIFY2(again.finish(10000) && again.exitCode() == 1 && again.err().contains(QLatin1String("holds no thing")),
             qPrintable(again.describe()));
}

// IDs from the bridge are data: read back exactly from the plugin's lines, and never written raw.
void TestHostDiagnose::diagnoseReadsHostileDeviceIdsBack()
{
    const std::vector<lmnsim::Meter> hostile{{"quote\"and\\back", 1},
                                             {"tab\there\r\nnew row", 2},
                                             {"\x1b[2J\x1b]0;retitled\x07\x1b[31mred", 3},
                                             {"\xe9\x9b\xbb\xe5\x8a\x9b\xf0\x9f\x98\x80"
                                              "e\xcc\x81",
                                              4},
                                             {std::string("nul\0byte", 8), 5},
                                             {std::string(500000, 'x'), 6}};
    lmnsim::Options options;
    options.meters = 0;
    lmnsim::BridgeSimulator bridge(options);
    bridge.setMeters(hostile);
    QVERIFY(bridge.start());
    const QStringList arguments{QStringLiteral("--diagnose"), QStringLiteral("--server-port"),
                                QString::number(bridge.port())};

    HostProcess text(arguments);
    QVERIFY2(text.finish(60000) && text.exitCode() == 0, qPrintable(text.out().left(2000) + text.describe()));
    QVERIFY2(text.out().contains(QLatin1String("Verdict: OK: bridge reached, 6 of 6 meters read")),
             qPrintable(text.out().left(2000)));
    const QString out = text.out();
    for (const QChar c : out)
        QVERIFY2(c == QLatin1Char('\n') || (c.unicode() >= 0x20 && (c.unicode() < 0x7f || c.unicode() > 0x9f)),
                 qPrintable(QStringLiteral("U+%1 in the report").arg(c.unicode(), 4, 16, QLatin1Char('0'))));
    for (const char *shown : {"tab\\there\\r\\nnew row", "\\u001B[2J\\u001B]0;retitled\\u0007", "nul\\u0000byte"})
        QVERIFY2(out.contains(QLatin1String(shown)), shown);

    HostProcess events(arguments + QStringList{QStringLiteral("--events")});
    QVERIFY2(events.finish(60000) && events.exitCode() == 0, qPrintable(events.describe()));
    QSet<QString> ids;
    for (const QJsonValue &meter :
         QJsonDocument::fromJson(events.lines().value(0)).object().value(QStringLiteral("meters")).toArray()) {
        ids.insert(meter.toObject().value(QStringLiteral("deviceId")).toString());
        QVERIFY(meter.toObject().value(QStringLiteral("lmnAddress")).toInt() > 0);
    }
    QSet<QString> expected;
    for (const lmnsim::Meter &meter : hostile)
        expected.insert(QString::fromUtf8(meter.serverId.data(), int(meter.serverId.size())));
    QCOMPARE(ids, expected);
}

QTEST_GUILESS_MAIN(TestHostDiagnose)

#include "tst_host_diagnose.moc"
