// veyra-host as a user runs it: its command line, its plugin summary, and the main job with the
// in-process bridge simulator, read through the --events JSON lines.

#include "tableview.h"
#include "terminaltext.h"

#include <bridgesimulator.h>
#include <veyra/version.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include "hosttest.h"

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>

class TestHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Command line
    void helpNamesEveryOption();
    void commandLineAnswers_data();
    void commandLineAnswers();
    void installDepsDependsOnlyOnTheInstall_data();
    void installDepsDependsOnlyOnTheInstall();

    // Running
    void tableShowsTheLastReadings();
    void storeKeepsThingsAcrossRuns();
    void failedSaveEndsTheHostWithAnError();
    void killedHostLosesAtMostAStoreInterval();
    void sigtermEndsCleanly_data();
    void sigtermEndsCleanly();
    void stopEndsTheHostWhateverThePluginWaitsFor_data();
    void stopEndsTheHostWhateverThePluginWaitsFor();
    void stalledReaderNeverStopsTheHost_data();
    void stalledReaderNeverStopsTheHost();
    void tableFitsTheTerminal_data();
    void tableFitsTheTerminal();
    void terminalCellsAsTerminalsDrawThem_data();
    void terminalCellsAsTerminalsDrawThem();

private:
    // The gateway, the meters and their readings of one run, checked as the main job promises.
    void checkRun(const Events &events, int meterCount, const QString &serialPort = QStringLiteral("/dev/ttymxc3"));

    QTemporaryDir m_empty; // a folder without plugins
};

void TestHost::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral(VEYRA_HOST_BIN)), VEYRA_HOST_BIN " is not built");
    QVERIFY(m_empty.isValid());
}

// ---- Command line ----

void TestHost::helpNamesEveryOption()
{
    HostProcess host({QStringLiteral("--help")});
    QVERIFY(host.finish(10000));
    QCOMPARE(host.exitCode(), 0);
    for (const char *option : {"--plugins", "--serial-port", "--server-port", "--store", "--store-interval",
                               "--simulate", "--timer-unit-ms", "--run-for", "--events", "--info", "--diagnose",
                               "--timeout", "--remove-thing", "--version", "--help", "-h"}) {
        QVERIFY2(host.out().contains(QRegularExpression(QStringLiteral("(^|\\s)%1\\b").arg(QLatin1String(option)))),
                 option);
    }
    // Both programs answer --version, as command-line tools on Debian do.
    for (const QString &program :
         {QStringLiteral(VEYRA_HOST_BIN),
          QFileInfo(QStringLiteral(VEYRA_HOST_BIN)).dir().filePath(QStringLiteral("lmn-bridge-sim"))}) {
        QProcess version;
        startBuiltProgram(version, program, {QStringLiteral("--version")});
        QVERIFY(version.waitForFinished(10000));
        QCOMPARE(version.exitCode(), 0);
        const QString out = QString::fromUtf8(version.readAllStandardOutput());
        QVERIFY2(QRegularExpression(QStringLiteral("^%1 \\d+\\.\\d+\\.\\d+\n$").arg(QFileInfo(program).fileName()))
                     .match(out)
                     .hasMatch(),
                 qPrintable(out));
    }
}

void TestHost::commandLineAnswers_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("mentions"); // on stdout when it exits 0, on stderr otherwise
    auto bad = [](const char *tag, const QStringList &arguments, const QString &mention) {
        QTest::newRow(tag) << arguments << 2 << QStringList{mention};
    };
    bad("unknown option", {QStringLiteral("--frobnicate")}, QStringLiteral("--frobnicate"));
    bad("missing value", {QStringLiteral("--events"), QStringLiteral("--store")}, QStringLiteral("--store"));
    bad("meters not a number", {QStringLiteral("--simulate"), QStringLiteral("two")}, QStringLiteral("--simulate"));
    bad("zero timer unit", {QStringLiteral("--timer-unit-ms"), QStringLiteral("0")}, QStringLiteral("--timer-unit-ms"));
    bad("zero store interval", {QStringLiteral("--store-interval"), QStringLiteral("0")},
        QStringLiteral("--store-interval"));
    for (const char *runFor : {"-1", "0", "inf", "nan", "1e400"})
        bad(qPrintable(QStringLiteral("run time %1").arg(QLatin1String(runFor))),
            {QStringLiteral("--run-for"), QLatin1String(runFor)}, QStringLiteral("--run-for"));
    bad("port over 65535",
        {QStringLiteral("--simulate"), QStringLiteral("1"), QStringLiteral("--server-port"), QStringLiteral("70000")},
        QStringLiteral("--server-port"));
    bad("more meters than the simulator serves", {QStringLiteral("--simulate"), QStringLiteral("100001")},
        QStringLiteral("100000"));
    bad("diagnose, zero timeout", {QStringLiteral("--diagnose"), QStringLiteral("--timeout"), QStringLiteral("0")},
        QStringLiteral("--timeout"));
    bad("diagnose, no port", {QStringLiteral("--diagnose"), QStringLiteral("--server-port"), QStringLiteral("0")},
        QStringLiteral("--server-port"));
    bad("port with a sign", {QStringLiteral("--server-port"), QStringLiteral("+5000")},
        QStringLiteral("--server-port"));
    // The bridge takes only an ASCII digit as the port index.
    bad("diagnose, fullwidth digit",
        {QStringLiteral("--diagnose"), QStringLiteral("--serial-port"), QStringLiteral("/dev/tty\uFF13")},
        QStringLiteral("does not end in a digit"));
    bad("remove without a store", {QStringLiteral("--remove-thing"), QUuid::createUuid().toString()},
        QStringLiteral("--store"));
    bad("remove, not an ID",
        {QStringLiteral("--store"), QStringLiteral("x.json"), QStringLiteral("--remove-thing"),
         QStringLiteral("meter-2")},
        QStringLiteral("UUID"));
    bad("diagnose, simulated", {QStringLiteral("--diagnose"), QStringLiteral("--simulate"), QStringLiteral("1")},
        QStringLiteral("--simulate"));
    // What the host cannot start with is refused when it starts (1), not as a bad option (2).
    QTest::newRow("store in a missing folder")
        << QStringList{QStringLiteral("--store"), QStringLiteral("/no-such-folder/things.json")} << 1
        << QStringList{QStringLiteral("/no-such-folder does not exist")};
    QTest::newRow("store is a device") << QStringList{QStringLiteral("--store"), QStringLiteral("/dev/zero")} << 1
                                       << QStringList{QStringLiteral("a character device, not a regular file")};
    for (const QString &folder : {m_empty.path(), m_empty.filePath(QStringLiteral("missing"))})
        QTest::newRow(folder == m_empty.path() ? "no plugin in the folder" : "no plugin folder")
            << QStringList{QStringLiteral("--plugins"), folder, QStringLiteral("--simulate"), QStringLiteral("1"),
                           QStringLiteral("--events")}
            << 1 << QStringList{QStringLiteral("no plugin could be loaded"), folder};
    QTest::newRow("--info") << QStringList{QStringLiteral("--info"), QStringLiteral("--plugins"),
                                           QStringLiteral(VEYRA_PLUGIN_DIR)}
                            << 0
                            << QStringList{QStringLiteral("QelLmn"),
                                           QStringLiteral("Qelmetrik"),
                                           QStringLiteral("33 thing classes"),
                                           QStringLiteral("API version " VEYRA_API_VERSION),
                                           QStringLiteral("lmn"),
                                           QStringLiteral("qelLmnMeter32")};
}

void TestHost::commandLineAnswers()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, mentions);
    HostProcess host(arguments);
    QVERIFY(host.finish(10000));
    QCOMPARE(host.exitCode(), exitCode);
    const QString shown = exitCode == 0 ? host.out() : host.err();
    for (const QString &mention : qAsConst(mentions))
        QVERIFY2(shown.contains(mention), qPrintable(shown));
    // A refused command line starts nothing: no thing and no simulator.
    QVERIFY2(exitCode == 0 || host.out().isEmpty(), qPrintable(host.out()));
}

void TestHost::installDepsDependsOnlyOnTheInstall_data()
{
    QTest::addColumn<int>("updateExit");
    QTest::addColumn<int>("installExit");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("mention");
    QTest::newRow("one index failed") << 100 << 0 << 0 << QStringLiteral("warning: apt-get update failed");
    QTest::newRow("install failed") << 0 << 100 << 1 << QStringLiteral("cannot install: g++ cmake");
}

void TestHost::installDepsDependsOnlyOnTheInstall()
{
    QFETCH(int, updateExit);
    QFETCH(int, installExit);
    QFETCH(int, exitCode);
    QFETCH(QString, mention);
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    // Nothing installed, as root, and apt-get exits as the row says.
    const QList<QPair<QString, QString>> stubs{
        {QStringLiteral("dpkg-query"), QStringLiteral("exit 1")},
        {QStringLiteral("id"), QStringLiteral("echo 0")},
        {QStringLiteral("apt-get"),
         QStringLiteral("[ \"$1\" = update ] && exit %1; exit %2").arg(updateExit).arg(installExit)}};
    for (const auto &stub : stubs) {
        QFile file(bin.filePath(stub.first));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n" + stub.second.toUtf8() + '\n');
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }
    QProcess script;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), bin.path() + QStringLiteral(":/usr/bin:/bin"));
    environment.remove(QStringLiteral("WITH_CROSS"));
    script.setProcessEnvironment(environment);
    script.start(QStringLiteral("bash"), {QStringLiteral(VEYRA_SOURCE_DIR "/scripts/install-deps")});
    QVERIFY(script.waitForFinished(10000));
    const QString err = QString::fromUtf8(script.readAllStandardError());
    QCOMPARE(script.exitCode(), exitCode);
    QVERIFY2(err.contains(mention), qPrintable(err));
}

// ---- Running ----

void TestHost::checkRun(const Events &events, int meterCount, const QString &serialPort)
{
    QVERIFY2(events.problem.isEmpty(), qPrintable(events.problem));

    const QList<QJsonObject> gateways = events.added(QStringLiteral("lmn"));
    QCOMPARE(gateways.size(), 1);
    const QJsonObject gateway = gateways.first();
    const QString gatewayId = idOf(gateway);
    QVERIFY2(gateway.value(QStringLiteral("parentId")).isNull(), qPrintable(compact(gateway)));
    QCOMPARE(paramOf(gateway, "port"), serialPort);
    bool portOk = false;
    const uint serverPort = paramOf(gateway, "serverPort").toUInt(&portOk);
    QVERIFY2(portOk && serverPort >= 1 && serverPort <= 65535, qPrintable(compact(gateway)));
    QCOMPARE(events.setupError(gatewayId), QStringLiteral("ThingErrorNoError"));
    QVERIFY2(events.values(gatewayId, QStringLiteral("connected")).contains(QJsonValue(true)),
             "the gateway never reported connected");

    const QList<QJsonObject> meters = events.added(meterClasses);
    QCOMPARE(meters.size(), meterCount);
    QSet<QString> classes;
    QSet<QString> deviceIds;
    for (const QJsonObject &meter : meters) {
        const QString meterId = idOf(meter);
        const QString deviceId = paramOf(meter, "deviceID");
        QCOMPARE(meter.value(QStringLiteral("parentId")).toString(), gatewayId);
        QCOMPARE(meter.value(QStringLiteral("name")).toString(), deviceId);
        QVERIFY2(deviceId.startsWith(QLatin1String("1-QEL-000-")), qPrintable(deviceId));
        classes.insert(meter.value(QStringLiteral("thingClass")).toString());
        deviceIds.insert(deviceId);
        QCOMPARE(events.setupError(meterId), QStringLiteral("ThingErrorNoError"));

        // The simulator's meter "1-QEL-000-0000000N" sits at LMN address N.
        const int address = deviceId.mid(10).toInt();
        for (const QString &state : energyStates) {
            const QList<QJsonValue> values = events.values(meterId, state);
            QVERIFY2(!values.isEmpty(), qPrintable(QStringLiteral("no %1 for %2").arg(state, deviceId)));
            double previous = 0;
            for (const QJsonValue &value : values) {
                QVERIFY2(value.isDouble(), qPrintable(QStringLiteral("%1 of %2 is not a number").arg(state, deviceId)));
                const double kWh = value.toDouble();
                QVERIFY2(kWh > 0, qPrintable(QStringLiteral("%1 of %2 is %3").arg(state, deviceId).arg(kWh)));
                // kWh back to the bridge's Wh names the meter it was read from.
                QCOMPARE(int(std::floor(kWh * 1000 / addressScaleWh)), address);
                QVERIFY2(kWh >= previous, qPrintable(QStringLiteral("%1 of %2 went down").arg(state, deviceId)));
                previous = kWh;
            }
        }
    }
    QCOMPARE(classes.size(), meterCount);
    QCOMPARE(deviceIds.size(), meterCount);
    // Shutting down removes nothing.
    QCOMPARE(events.of(QStringLiteral("thingRemoved")).size(), 0);
}

// The main job's run, read through --events, then again on the things it stored: each run ends as a
// user ends it, with SIGTERM, after its first polling cycle (a timer unit of 1 ms makes the update
// period 0.6 s), which must have read every meter.
void TestHost::storeKeepsThingsAcrossRuns()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    const QStringList arguments{QStringLiteral("--simulate"),
                                QStringLiteral("2"),
                                QStringLiteral("--events"),
                                QStringLiteral("--timer-unit-ms"),
                                QStringLiteral("1"),
                                QStringLiteral("--store"),
                                store};

    QString err;
    auto run = [&err](const QStringList &runArguments, Events *events) {
        HostProcess host(runArguments);
        QVERIFY(host.started());
        QTRY_VERIFY2_WITH_TIMEOUT(host.err().contains(QLatin1String("All devices updated.")) || !host.running(),
                                  qPrintable(host.describe()), 20000);
        QVERIFY2(host.stop() && host.exitCode() == 0, qPrintable(host.describe()));
        *events = Events::parse(host.lines());
        err = host.err();
    };
    Events first;
    run(arguments, &first);
    checkRun(first, 2);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(QFile::exists(store));

    Events second;
    run(arguments, &second);
    // The same three things come back, and no meter gets a second thing.
    checkRun(second, 2);
    if (QTest::currentTestFailed())
        return;
    auto idsOf = [](const Events &events) {
        QSet<QString> ids;
        for (const QJsonObject &added : events.of(QStringLiteral("thingAdded")))
            ids.insert(idOf(added));
        return ids;
    };
    QCOMPARE(idsOf(second), idsOf(first));
    QCOMPARE(second.of(QStringLiteral("thingAdded")).size(), 3);
    QCOMPARE(paramOf(second.added(QStringLiteral("lmn")).first(), "serverPort"),
             paramOf(first.added(QStringLiteral("lmn")).first(), "serverPort"));
    for (const QJsonObject &meter : second.added(meterClasses)) {
        const auto match = std::find_if(first.all.cbegin(), first.all.cend(), [&meter](const QJsonObject &event) {
            return idOf(event) == idOf(meter)
                   && event.value(QStringLiteral("event")).toString() == QLatin1String("thingAdded");
        });
        QVERIFY(match != first.all.cend());
        // Each meter keeps its slot and its device.
        QCOMPARE(meter.value(QStringLiteral("thingClass")), match->value(QStringLiteral("thingClass")));
        QCOMPARE(paramOf(meter, "deviceID"), paramOf(*match, "deviceID"));
        // The simulated bus counted on while the host was off: no total restarts below the stored one,
        // which the meter comes back with.
        for (const QString &state : energyStates) {
            const QJsonValue stored = first.values(idOf(meter), state).last();
            QCOMPARE(meter.value(QStringLiteral("states")).toObject().value(state), stored);
            QVERIFY(second.values(idOf(meter), state).first().toDouble() >= stored.toDouble());
        }
    }

    // Ports given on the command line change the stored gateway, and the simulator serves them.
    QTcpServer free;
    QVERIFY(free.listen(QHostAddress::LocalHost));
    const QString newPort = QString::number(free.serverPort());
    free.close();
    Events moved;
    run(arguments
            + QStringList{QStringLiteral("--serial-port"), QStringLiteral("/dev/ttyUSB1"),
                          QStringLiteral("--server-port"), newPort},
        &moved);
    checkRun(moved, 2, QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(idsOf(moved), idsOf(first));
    QCOMPARE(paramOf(moved.added(QStringLiteral("lmn")).first(), "serverPort"), newPort);
    QVERIFY(readFile(store).contains("/dev/ttyUSB1"));
    // Only the server port given: the message names the serial port the gateway keeps.
    QVERIFY(free.listen(QHostAddress::LocalHost));
    const QString otherPort = QString::number(free.serverPort());
    free.close();
    run(arguments + QStringList{QStringLiteral("--server-port"), otherPort}, &moved);
    QVERIFY2(err.contains(QStringLiteral("/dev/ttyUSB1, server port %1").arg(otherPort)), qPrintable(err));
    // The meters' last totals are kept with them, and shown before the first reading of a run (the
    // update period of 600 s is far off when --run-for ends it).
    HostProcess table({QStringLiteral("--simulate"), QStringLiteral("2"), QStringLiteral("--run-for"),
                       QStringLiteral("0.5"), QStringLiteral("--store"), store});
    QVERIFY2(table.finish(30000) && table.exitCode() == 0, qPrintable(table.describe()));
    QCOMPARE(
        table.out().count(QRegularExpression(QStringLiteral("\\s\\d+\\.\\d{3}\\s+\\d+\\.\\d{3}\\s+before start\\n"))),
        2);
}

void TestHost::tableShowsTheLastReadings()
{
    // Into a pipe the table comes only when something changed, and once more at the end; the
    // host is stopped after its first polling cycle.
    HostProcess host(
        {QStringLiteral("--simulate"), QStringLiteral("2"), QStringLiteral("--timer-unit-ms"), QStringLiteral("1")});
    QTRY_VERIFY2_WITH_TIMEOUT(host.err().contains(QLatin1String("All devices updated.")) || !host.running(),
                              qPrintable(host.describe()), 20000);
    QVERIFY2(host.stop() && host.exitCode() == 0, qPrintable(host.describe()));
    const QString out = host.out();
    const int lastTable = out.lastIndexOf(
        QRegularExpression(QStringLiteral("^Gateway "), QRegularExpression::MultilineOption));
    QVERIFY2(lastTable >= 0, qPrintable(out));
    const QStringList lines = out.mid(lastTable).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.first().endsWith(QLatin1String(": connected")), qPrintable(lines.first()));

    // slot, device ID, consumed kWh, produced kWh, age of the last reading
    const QRegularExpression row(
        QStringLiteral("^\\s*(\\d+)\\s+(1-QEL-000-(\\d{8}))\\s+([\\d.]+)\\s+([\\d.]+)\\s+(.+)$"));
    QSet<QString> devices;
    for (const QString &line : lines) {
        const auto match = row.match(line);
        if (!match.hasMatch())
            continue;
        const int slot = match.captured(1).toInt();
        QVERIFY2(slot >= 1 && slot <= 32, qPrintable(line));
        const int address = match.captured(3).toInt();
        for (int column : {4, 5}) {
            const double kWh = match.captured(column).toDouble();
            QVERIFY2(kWh > 0 && int(std::floor(kWh * 1000 / addressScaleWh)) == address, qPrintable(line));
        }
        QVERIFY2(match.captured(6).endsWith(QLatin1String("s ago")), qPrintable(line));
        devices.insert(match.captured(2));
    }
    QCOMPARE(devices, (QSet<QString>{QStringLiteral("1-QEL-000-00000001"), QStringLiteral("1-QEL-000-00000002")}));
}

// Needs root for a small tmpfs that the test fills while the host runs.
void TestHost::failedSaveEndsTheHostWithAnError()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                    QStringLiteral("size=64k"), QStringLiteral("tmpfs"), dir.path()})
        != 0)
        QSKIP("this machine does not let the test mount a small tmpfs");
    const auto unmount = qScopeGuard([&dir] { QProcess::execute(QStringLiteral("umount"), {dir.path()}); });
    const QString store = dir.filePath(QStringLiteral("things.json"));
    HostProcess host({QStringLiteral("--simulate"), QStringLiteral("2"), QStringLiteral("--events"),
                      QStringLiteral("--timer-unit-ms"), QStringLiteral("1"), QStringLiteral("--store"), store});
    QVERIFY(host.started());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(store), 10000);
    QFile filler(dir.filePath(QStringLiteral("filler")));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size()) {
    }
    // The readings that come after cannot be kept: the host says so and fails.
    const int readingsBefore = Events::parse(host.lines()).readings();
    QTRY_VERIFY2_WITH_TIMEOUT(Events::parse(host.lines()).readings() > readingsBefore || !host.running(),
                              qPrintable(host.describe()), 20000);
    QVERIFY2(host.stop() && host.exitCode() == 1, qPrintable(host.describe()));
    QVERIFY2(host.err().contains(QStringLiteral("veyra-host: cannot write the thing store %1").arg(store)),
             qPrintable(host.describe()));
    QVERIFY(!QJsonDocument::fromJson(readFile(store)).object().value(QStringLiteral("things")).toArray().isEmpty());
    QVERIFY(!QFile::exists(store + QStringLiteral(".lock")));
}

// A host killed outright, as by a power cut, keeps the totals it wrote one --store-interval before.
void TestHost::killedHostLosesAtMostAStoreInterval()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    HostProcess host({QStringLiteral("--simulate"), QStringLiteral("2"), QStringLiteral("--events"),
                      QStringLiteral("--timer-unit-ms"), QStringLiteral("1"), QStringLiteral("--store"), store,
                      QStringLiteral("--store-interval"), QStringLiteral("0.2")});
    // Stored totals above 0, as the plugin wrote them, per meter thing.
    auto storedTotals = [&store] {
        QList<int> counts;
        for (const QJsonValue &thing :
             QJsonDocument::fromJson(readFile(store)).object().value(QStringLiteral("things")).toArray()) {
            if (thing[QStringLiteral("parentId")].isNull())
                continue;
            const QVariantMap states = thing[QStringLiteral("states")].toObject().toVariantMap();
            counts.append(
                int(std::count_if(states.cbegin(), states.cend(), [](const QVariant &v) { return v.toDouble() > 0; })));
        }
        return counts;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(Events::parse(host.lines()).readings() >= 4 || !host.running(),
                              qPrintable(host.describe()), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(storedTotals(), (QList<int>{2, 2}), 5000);
    host.process().kill();
    QVERIFY(host.finish(5000) || host.process().exitStatus() == QProcess::CrashExit);
    QCOMPARE(storedTotals(), (QList<int>{2, 2}));
}

// A SIGTERM while the plugin polls ends a run without --run-for, and --run-for ends one by itself:
// see storeKeepsThingsAcrossRuns.
void TestHost::sigtermEndsCleanly_data()
{
    QTest::addColumn<QString>("runFor");
    // Counted in 32-bit milliseconds these ended at once (the first after 204 ms) or never.
    for (const char *runFor : {"4294967.5", "2592000", "1e300"})
        QTest::addRow("--run-for %s", runFor) << QString::fromLatin1(runFor);
}

void TestHost::sigtermEndsCleanly()
{
    QFETCH(QString, runFor);
    HostProcess host({QStringLiteral("--simulate"), QStringLiteral("1"), QStringLiteral("--events"),
                      QStringLiteral("--timer-unit-ms"), QStringLiteral("1"), QStringLiteral("--run-for"), runFor});
    QVERIFY(host.started());
    // Running, with its meter set up, well after the wrapped run time when the signal comes.
    auto meterSetUp = [&host] {
        const Events events = Events::parse(host.lines());
        const QList<QJsonObject> meters = events.added(meterClasses);
        return meters.size() == 1 && !events.setupError(idOf(meters.first())).isEmpty()
               && events.all.last().value(QStringLiteral("ms")).toDouble() > 500;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(meterSetUp() || !host.running(), qPrintable(host.describe()), 20000);
    QVERIFY2(host.running(), qPrintable(host.describe()));
    QVERIFY2(host.stop() && host.exitCode() == 0, qPrintable(host.describe()));
    QVERIFY2(!host.err().contains(QLatin1String("negative")), qPrintable(host.describe()));
    const Events events = Events::parse(host.lines());
    QVERIFY2(events.problem.isEmpty(), qPrintable(events.problem));
    QCOMPARE(events.of(QStringLiteral("thingRemoved")).size(), 0);
}

void TestHost::stopEndsTheHostWhateverThePluginWaitsFor_data()
{
    QTest::addColumn<QString>("bridge");
    QTest::addColumn<QString>("stop");
    // Refused: the plugin sits in its 10 s retry wait; hung: in its setup, waiting for the answer.
    QTest::newRow("bridge down, SIGTERM") << QStringLiteral("down") << QStringLiteral("SIGTERM");
    QTest::newRow("bridge down, SIGINT") << QStringLiteral("down") << QStringLiteral("SIGINT");
    QTest::newRow("bridge down, --run-for 1") << QStringLiteral("down") << QStringLiteral("run-for");
    QTest::newRow("bridge hangs, SIGTERM") << QStringLiteral("hangs") << QStringLiteral("SIGTERM");
    QTest::newRow("bridge down, SIGHUP") << QStringLiteral("down") << QStringLiteral("SIGHUP");
    QTest::newRow("stdout closed") << QStringLiteral("simulated") << QStringLiteral("stdout closed");
    // Nothing is written for seconds: the pipe itself tells that its reader went.
    QTest::newRow("table, pipe reader gone") << QStringLiteral("simulated") << QStringLiteral("reader gone");
}

// The plugin's own waits keep their real 10 s here: ending well before that shows the host did
// not wait them out.
void TestHost::stopEndsTheHostWhateverThePluginWaitsFor()
{
    QFETCH(QString, bridge);
    QFETCH(QString, stop);
    QTcpServer hungBridge; // takes connections and never answers
    QVERIFY(hungBridge.listen(QHostAddress::LocalHost));
    const QString port = QString::number(hungBridge.serverPort());
    if (bridge == QLatin1String("down"))
        hungBridge.close();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    QStringList arguments{QStringLiteral("--store"), store};
    if (stop != QLatin1String("reader gone"))
        arguments << QStringLiteral("--events");
    arguments << (bridge == QLatin1String("simulated") ? QStringList{QStringLiteral("--simulate"), QStringLiteral("2")}
                                                       : QStringList{QStringLiteral("--server-port"), port});
    if (stop == QLatin1String("run-for"))
        arguments << QStringLiteral("--run-for") << QStringLiteral("1");
    const QString reader = stop == QLatin1String("stdout closed") ? QStringLiteral("head -n 1")
                           : stop == QLatin1String("reader gone") ? QStringLiteral("true")
                                                                  : QString();
    HostProcess host(arguments, QStringLiteral("1"), reader);
    QVERIFY(host.started());
    if (stop.startsWith(QLatin1String("SIG"))) {
        QTRY_VERIFY_WITH_TIMEOUT(!host.lines().isEmpty(), 10000); // the gateway is there, its setup under way
        HostProcess second({QStringLiteral("--store"), store});
        QVERIFY2(second.finish(10000) && second.exitCode() == 1, qPrintable(second.describe()));
        QVERIFY2(second.err().contains(QLatin1String("in use by another host")), qPrintable(second.err()));
        const int signal = stop == QLatin1String("SIGINT")   ? SIGINT
                           : stop == QLatin1String("SIGHUP") ? SIGHUP
                                                             : SIGTERM;
        ::kill(pid_t(host.process().processId()), signal);
    }
    // The table into a pipe is written every 5 s at most: ending before that shows the pipe was watched.
    QVERIFY2(host.finish(stop == QLatin1String("reader gone") ? 4000 : 5000) && host.exitCode() == 0,
             qPrintable(host.describe()));
    QCOMPARE(Events::parse(host.lines()).of(QStringLiteral("thingRemoved")).size(), 0);
    // The gateway stays stored, and the lock goes with the host.
    QCOMPARE(QJsonDocument::fromJson(readFile(store)).object().value(QStringLiteral("things")).toArray().size(), 1);
    QVERIFY(!QFile::exists(store + QStringLiteral(".lock")));
}

// Into a pipe whose reader stopped reading (stdout with the events, or stderr with the plugin's debug
// lines), the host polls on and keeps its lines up to a bound; when the reader reads again one line
// says how many were dropped; a SIGTERM while nothing is read ends it at once, with its things saved.
void TestHost::stalledReaderNeverStopsTheHost_data()
{
    QTest::addColumn<bool>("events"); // stdout stalls; otherwise stderr
    QTest::addColumn<QByteArray>("dropNote");
    QTest::newRow("stdout") << true << QByteArray("\"event\":\"eventsDropped\"");
    QTest::newRow("stderr") << false << QByteArray("log lines were dropped while stderr was not read");
}

void TestHost::stalledReaderNeverStopsTheHost()
{
    QFETCH(bool, events);
    QFETCH(QByteArray, dropNote);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath(QStringLiteral("out"));
    const QString store = dir.filePath(QStringLiteral("things.json"));
    QCOMPARE(::mkfifo(qPrintable(fifo), 0600), 0);
    const int readEnd = ::open(qPrintable(fifo), O_RDONLY | O_NONBLOCK);
    QVERIFY(readEnd >= 0);
    const auto closeReadEnd = qScopeGuard([readEnd] { ::close(readEnd); });
    HostProcess host({QStringLiteral("--simulate"), QStringLiteral("32"), QStringLiteral("--events"),
                      QStringLiteral("--store"), store, QStringLiteral("--timer-unit-ms"), QStringLiteral("0.05")},
                     QStringLiteral("0.01"), QString(), events ? fifo : QString(), events ? QString() : fifo);
    // Polling cycles, told by the output the test reads: a cycle of 32 meters writes about 12 kB
    // of events or 30 kB of debug lines, so 120 are past the pipe and the bound.
    auto cycles = [&host, events] {
        return events ? int(host.err().count(QLatin1String("All devices updated.")))
                      : Events::parse(host.lines()).readings() / 64;
    };
    QByteArray out;
    auto read = [&out, readEnd, &dropNote] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(readEnd, buffer, sizeof buffer)) > 0;)
            out.append(buffer, int(n));
        return out.contains(dropNote);
    };
    QTRY_VERIFY2_WITH_TIMEOUT(cycles() >= 120 || !host.running(), qPrintable(host.describe()), 60000);
    QTRY_VERIFY2_WITH_TIMEOUT(read() || !host.running(), qPrintable(host.describe()), 20000);
    // Whole lines, the whole bound of them before the note, which comes once.
    QVERIFY2(out.indexOf(dropNote) > 1 << 20 && out.count(dropNote) == 1,
             qPrintable(QString::number(out.indexOf(dropNote))));
    QList<QByteArray> lines = out.split('\n');
    lines.removeLast();
    if (events) {
        const Events written = Events::parse(lines);
        QVERIFY2(written.problem.isEmpty(), qPrintable(written.problem));
        QVERIFY(written.of(QStringLiteral("eventsDropped")).first().value(QStringLiteral("count")).toInt() > 0);
    }

    // Stalled again, past the pipe's size.
    const int before = cycles();
    QTRY_VERIFY2_WITH_TIMEOUT(cycles() >= before + 10 || !host.running(), qPrintable(host.describe()), 20000);
    QVERIFY2(host.stop(3000) && host.exitCode() == 0, qPrintable(host.describe()));
    QCOMPARE(QJsonDocument::fromJson(readFile(store)).object().value(QStringLiteral("things")).toArray().size(), 33);
}

// ---- Table ----

void TestHost::tableFitsTheTerminal_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("meters");
    QTest::addColumn<int>("logLines");
    QTest::addColumn<int>("shownRows");    // -1: every meter
    QTest::addColumn<QString>("idPrefix"); // before each device ID, and in the log lines
    QTest::newRow("pipe, no limits") << 0 << 0 << 32 << 3 << -1 << QString();
    QTest::newRow("80x24, 32 meters") << 80 << 24 << 32 << 0 << 19 << QString();
    QTest::newRow("80x24, 32 meters and a log") << 80 << 24 << 32 << 8 << 17 << QString();
    QTest::newRow("40x12, 32 meters") << 40 << 12 << 32 << 0 << 7 << QString();
    QTest::newRow("40x12, 3 meters and a log") << 40 << 12 << 3 << 8 << 3 << QString();
    QTest::newRow("30x8, 32 meters and a log") << 30 << 8 << 32 << 2 << 1 << QString();
    // From the bridge: wide and combining characters take their cells; control sequences are shown.
    QTest::newRow("40x10, CJK, emoji, combining") << 40 << 10 << 32 << 2 << 3
                                                  << QString::fromUtf8("\xe9\x9b\xbb\xe5\x8a\x9b\xf0\x9f\x98\x80"
                                                                       "e\xcc\x81-");
    QTest::newRow("80x24, escape sequences")
        << 80 << 24 << 32 << 2 << 17
        << QStringLiteral("\x1b[2J\x1b]0;retitled\x07\x1b[31m\r\n\t") + QChar(0) + QChar(0x9b);
}

void TestHost::tableFitsTheTerminal()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, meters);
    QFETCH(int, logLines);
    QFETCH(int, shownRows);
    QFETCH(QString, idPrefix);

    TableView view;
    view.headline = QStringList{
        QStringLiteral("veyra-host: plugin QelLmn by Qelmetrik, API " VEYRA_API_VERSION ", 33 thing classes"),
        QStringLiteral("running for 12 s")};
    view.gateways = QStringList{QStringLiteral("Gateway QEL LMN (lmn): connected")};
    for (int slot = 1; slot <= meters; ++slot) {
        TableView::Row row;
        row.slot = slot;
        row.deviceId = idPrefix + QStringLiteral("1-QEL-000-%1").arg(slot, 8, 10, QLatin1Char('0'));
        // Every third meter was never read; every fifth read long ago.
        if (slot % 3 != 0) {
            row.consumedKWh = slot * 1000 + 0.125;
            row.producedKWh = slot * 100000 + 0.5;
            row.ageMs = slot % 5 == 0 ? 3600000 : 2000;
            row.stale = slot % 5 == 0;
        }
        view.rows.append(row);
    }
    for (int i = 1; i <= logLines; ++i)
        view.log.append(QStringLiteral("QelLmn: log line %1").arg(i)
                        + (idPrefix.isEmpty() ? QString() : QLatin1Char(' ') + idPrefix));

    const QStringList lines = view.render(width, height);
    const QString all = lines.join(QLatin1Char('\n'));
    if (height > 0)
        QVERIFY2(lines.size() <= height, qPrintable(all));
    for (const QString &line : lines) {
        QVERIFY2(width == 0 || TerminalText::cells(line) <= width,
                 qPrintable(QStringLiteral("too wide: \"%1\"").arg(line)));
        QVERIFY2(
            std::none_of(line.cbegin(), line.cend(),
                         [](QChar c) { return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f); }),
            qPrintable(QStringLiteral("a control character in \"%1\"").arg(line)));
    }
    // What tells the state is never scrolled away.
    QCOMPARE(lines.at(0).left(10), QStringLiteral("veyra-host"));
    QVERIFY2(lines.at(2).startsWith(QLatin1String("Gateway")) && lines.at(2).endsWith(QLatin1String(": connected")),
             qPrintable(all));
    QVERIFY2(std::any_of(lines.cbegin(), lines.cend(),
                         [](const QString &line) { return line.contains(QLatin1String("kWh")); }),
             qPrintable(all));

    const QRegularExpression rowPattern(QStringLiteral("^\\s*(\\d+)\\s+\\S*?(\\d{8})(.*)$"));
    int shown = 0;
    for (const QString &line : lines) {
        const auto match = rowPattern.match(line);
        if (!match.hasMatch())
            continue;
        ++shown;
        const int slot = match.captured(1).toInt();
        QCOMPARE(match.captured(2).toInt(), slot);
        const QString rest = match.captured(3);
        if (slot % 3 == 0) {
            // No reading came: blanks, not zeros.
            QVERIFY2(!rest.contains(QLatin1Char('0')), qPrintable(line));
            continue;
        }
        // Numbers are whole, or their column is left out, never cut.
        auto whole = [&rest](double kWh) {
            return rest.contains(QRegularExpression(
                QStringLiteral("(^|\\s)%1(\\s|$)").arg(QRegularExpression::escape(QString::number(kWh, 'f', 3)))));
        };
        QVERIFY2(whole(slot * 1000 + 0.125), qPrintable(line));
        QVERIFY2(whole(slot * 100000 + 0.5) || !all.contains(QLatin1String("out kWh")), qPrintable(line));
        if (rest.contains(QLatin1String("ago")))
            QCOMPARE(rest.contains(QLatin1String("stale")), slot % 5 == 0);
    }
    QCOMPARE(shown, shownRows < 0 ? meters : shownRows);
    const bool countsHidden = all.contains(QStringLiteral("%1 meters not shown").arg(meters - shown));
    QCOMPARE(countsHidden, shown < meters && height > 0);
    if (logLines > 0 && height == 0)
        QVERIFY2(lines.mid(lines.size() - 3) == view.log.mid(logLines - 3), qPrintable(all));
    if (logLines > 0 && height > 0)
        QVERIFY2(lines.last().startsWith(QStringLiteral("QelLmn: log line %1").arg(logLines).left(width)),
                 qPrintable(all));
}

void TestHost::terminalCellsAsTerminalsDrawThem_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("cells");
    QTest::addColumn<QString>("firstCell"); // leftCells(text, 1): a cluster is never split
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
    QTest::newRow("soft hyphen") << QStringLiteral("a\u00ADb") << 3 << QStringLiteral("a");
    QTest::newRow("combining mark") << QStringLiteral("e\u0301x") << 2 << QStringLiteral("e\u0301");
    QTest::newRow("CJK") << QStringLiteral("\u4E2D\u6587") << 4 << QString();
    QTest::newRow("emoji joined by ZWJ") << family + QStringLiteral("x") << 3 << QString();
    QTest::newRow("Hangul syllable of jamo") << QStringLiteral("\u1100\u1161\u11A8") << 2 << QString();
}

void TestHost::terminalCellsAsTerminalsDrawThem()
{
    QFETCH(QString, text);
    QFETCH(int, cells);
    QFETCH(QString, firstCell);
    QCOMPARE(TerminalText::cells(text), cells);
    QCOMPARE(TerminalText::leftCells(text, 1), firstCell);
    QCOMPARE(TerminalText::cells(TerminalText::padded(text, cells + 2)), cells + 2);
}

QTEST_GUILESS_MAIN(TestHost)

#include "tst_host.moc"
