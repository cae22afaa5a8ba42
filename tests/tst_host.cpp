// veyra-host as a user runs it: its command line, its plugin summary, and the main job with the
// in-process bridge simulator, read through the --events JSON lines.

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "builtprogram.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// The simulator's totals name their meter: whole millions of Wh are the meter's LMN address.
constexpr double addressScaleWh = 1e6;

const QString energyStates[] = {QStringLiteral("totalEnergyConsumed"), QStringLiteral("totalEnergyProduced")};

// One veyra-host process with its output collected as it comes.
class HostProcess
{
public:
    explicit HostProcess(const QStringList &arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The plugin's 10 s waits become 100 ms.
        environment.insert(QStringLiteral("QELLMN_TIME_SCALE"), QStringLiteral("0.01"));
        m_process.setProcessEnvironment(environment);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_stdout += m_process.readAllStandardOutput(); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_stderr += m_process.readAllStandardError(); });
        startBuiltProgram(m_process, QStringLiteral(VEYRA_HOST_BIN), arguments);
    }

    ~HostProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool started() { return m_process.waitForStarted(10000); }

    // Waits for the end of the process; false when it did not end in time or crashed.
    bool finish(int timeoutMs)
    {
        if (!m_process.waitForFinished(timeoutMs))
            return false;
        m_stdout += m_process.readAllStandardOutput();
        m_stderr += m_process.readAllStandardError();
        return m_process.exitStatus() == QProcess::NormalExit;
    }

    QProcess &process() { return m_process; }
    int exitCode() const { return m_process.exitCode(); }
    QString out() const { return QString::fromUtf8(m_stdout); }
    QString err() const { return QString::fromUtf8(m_stderr); }

    // The complete lines of stdout so far.
    QList<QByteArray> lines() const
    {
        QList<QByteArray> result = m_stdout.split('\n');
        result.removeLast(); // the unfinished rest, empty after a newline
        return result;
    }

    // What failed, for a test message.
    QString describe() const
    {
        return QStringLiteral("exit %1, stderr (tail):\n%2").arg(m_process.exitCode()).arg(err().right(3000));
    }

private:
    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
};

// Events of one --events run, with every line checked to be one JSON object with "ms" and "event".
struct Events
{
    QList<QJsonObject> all;
    QString problem; // the first malformed line, empty when all are good

    static Events parse(const QList<QByteArray> &lines)
    {
        Events events;
        double lastMs = -1;
        for (const QByteArray &line : lines) {
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            const QJsonObject object = document.object();
            if (!document.isObject() || !object.value(QStringLiteral("ms")).isDouble()
                || !object.value(QStringLiteral("event")).isString()) {
                if (events.problem.isEmpty())
                    events.problem = QStringLiteral("not an event line: \"%1\"").arg(QString::fromUtf8(line));
                continue;
            }
            const double ms = object.value(QStringLiteral("ms")).toDouble();
            if (ms < lastMs && events.problem.isEmpty())
                events.problem = QStringLiteral("\"ms\" goes back in: %1").arg(QString::fromUtf8(line));
            lastMs = ms;
            events.all.append(object);
        }
        return events;
    }

    QList<QJsonObject> of(const QString &event, const QString &thingId = QString()) const
    {
        QList<QJsonObject> result;
        for (const QJsonObject &object : all) {
            if (object.value(QStringLiteral("event")).toString() == event
                && (thingId.isEmpty() || object.value(QStringLiteral("thingId")).toString() == thingId))
                result.append(object);
        }
        return result;
    }

    QList<QJsonObject> added(const QString &thingClassPattern) const
    {
        const QRegularExpression pattern(QStringLiteral("^(%1)$").arg(thingClassPattern));
        QList<QJsonObject> result;
        for (const QJsonObject &object : of(QStringLiteral("thingAdded"))) {
            if (pattern.match(object.value(QStringLiteral("thingClass")).toString()).hasMatch())
                result.append(object);
        }
        return result;
    }

    // Values a thing's state took, in order.
    QList<QJsonValue> values(const QString &thingId, const QString &state) const
    {
        QList<QJsonValue> result;
        for (const QJsonObject &object : of(QStringLiteral("stateChanged"), thingId)) {
            if (object.value(QStringLiteral("state")).toString() == state)
                result.append(object.value(QStringLiteral("value")));
        }
        return result;
    }

    QString setupError(const QString &thingId) const
    {
        const QList<QJsonObject> setups = of(QStringLiteral("thingSetup"), thingId);
        return setups.isEmpty() ? QString() : setups.last().value(QStringLiteral("error")).toString();
    }
};

QString idOf(const QJsonObject &object)
{
    return object.value(QStringLiteral("thingId")).toString();
}

QString paramOf(const QJsonObject &added, const char *name)
{
    return added.value(QStringLiteral("params")).toObject().value(QLatin1String(name)).toString();
}

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

const QString meterClasses = QStringLiteral("qelLmnMeter([1-9]|[12][0-9]|3[0-2])");

} // namespace

class TestHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // Command line
    void helpNamesEveryOption();
    void badCommandLinesFail_data();
    void badCommandLinesFail();
    void noPluginFolderFails();
    void infoSummarisesThePlugin();

    // Running
    void simulatedBusInEvents();
    void tableShowsTheLastReadings();
    void storeKeepsThingsAcrossRuns();
    void sigtermEndsCleanly();

private:
    // The gateway, the meters and their readings of one run, checked as the main job promises.
    void checkRun(const Events &events, int meterCount, bool expectReadings);
};

void TestHost::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral(VEYRA_HOST_BIN)), VEYRA_HOST_BIN " is not built");
}

// ---- Command line ----

void TestHost::helpNamesEveryOption()
{
    HostProcess host({QStringLiteral("--help")});
    QVERIFY(host.finish(10000));
    QCOMPARE(host.exitCode(), 0);
    for (const char *option : {"--plugins", "--serial-port", "--server-port", "--store", "--simulate",
                               "--timer-unit-ms", "--run-for", "--events", "--info", "--help", "-h"}) {
        QVERIFY2(host.out().contains(QRegularExpression(QStringLiteral("(^|\\s)%1\\b").arg(QLatin1String(option)))),
                 option);
    }
}

void TestHost::badCommandLinesFail_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("mention");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate")} << QStringLiteral("--frobnicate");
    QTest::newRow("missing value") << QStringList{QStringLiteral("--events"), QStringLiteral("--store")}
                                   << QStringLiteral("--store");
    QTest::newRow("meters not a number") << QStringList{QStringLiteral("--simulate"), QStringLiteral("two")}
                                         << QStringLiteral("--simulate");
    QTest::newRow("zero timer unit") << QStringList{QStringLiteral("--timer-unit-ms"), QStringLiteral("0")}
                                     << QStringLiteral("--timer-unit-ms");
    QTest::newRow("negative run time") << QStringList{QStringLiteral("--run-for"), QStringLiteral("-1")}
                                       << QStringLiteral("--run-for");
}

void TestHost::badCommandLinesFail()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, mention);
    HostProcess host(arguments);
    QVERIFY(host.finish(10000));
    QVERIFY(host.exitCode() != 0);
    QVERIFY2(host.err().contains(mention), qPrintable(host.err()));
    // Nothing starts: no thing and no simulator.
    QVERIFY2(host.out().isEmpty(), qPrintable(host.out()));
}

void TestHost::noPluginFolderFails()
{
    QTemporaryDir empty;
    QVERIFY(empty.isValid());
    for (const QString &folder : {empty.path(), empty.filePath(QStringLiteral("missing"))}) {
        HostProcess host({QStringLiteral("--plugins"), folder, QStringLiteral("--simulate"), QStringLiteral("1"),
                          QStringLiteral("--events")});
        QVERIFY(host.finish(10000));
        QVERIFY(host.exitCode() != 0);
        QVERIFY2(host.err().contains(QLatin1String("no plugin could be loaded")), qPrintable(host.err()));
        QVERIFY2(host.err().contains(folder), qPrintable(host.err()));
        QVERIFY2(host.out().isEmpty(), qPrintable(host.out()));
    }
}

void TestHost::infoSummarisesThePlugin()
{
    HostProcess host({QStringLiteral("--info"), QStringLiteral("--plugins"), QStringLiteral(VEYRA_PLUGIN_DIR)});
    QVERIFY(host.finish(10000));
    QCOMPARE(host.exitCode(), 0);
    const QString out = host.out();
    QVERIFY2(out.contains(QLatin1String("QelLmn")), qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("Qelmetrik")), qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("33 thing classes")), qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("API version 7.4.0")), qPrintable(out));
    QVERIFY2(out.contains(QLatin1String("lmn")) && out.contains(QLatin1String("qelLmnMeter32")), qPrintable(out));
}

// ---- Running ----

void TestHost::checkRun(const Events &events, int meterCount, bool expectReadings)
{
    QVERIFY2(events.problem.isEmpty(), qPrintable(events.problem));

    const QList<QJsonObject> gateways = events.added(QStringLiteral("lmn"));
    QCOMPARE(gateways.size(), 1);
    const QJsonObject gateway = gateways.first();
    const QString gatewayId = idOf(gateway);
    QVERIFY2(gateway.value(QStringLiteral("parentId")).isNull(), qPrintable(compact(gateway)));
    QCOMPARE(paramOf(gateway, "port"), QStringLiteral("/dev/ttymxc3"));
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
        if (!expectReadings)
            continue;

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

void TestHost::simulatedBusInEvents()
{
    // One timer unit of 5 ms makes the 600-unit update period 3 s, so a run of 6 s sees the
    // gateway connect, the meters appear after 100 ms and at least one polling cycle.
    HostProcess host({QStringLiteral("--simulate"), QStringLiteral("2"), QStringLiteral("--events"),
                      QStringLiteral("--timer-unit-ms"), QStringLiteral("5"), QStringLiteral("--run-for"),
                      QStringLiteral("6")});
    QVERIFY(host.started());
    QVERIFY2(host.finish(30000), qPrintable(host.describe()));
    QVERIFY2(host.exitCode() == 0, qPrintable(host.describe()));
    checkRun(Events::parse(host.lines()), 2, true);
    if (QTest::currentTestFailed())
        qInfo().noquote() << "stdout:\n" << host.out() << "\n" << host.describe();
}

void TestHost::tableShowsTheLastReadings()
{
    // Into a pipe the table comes only when something changed, and once more at the end.
    HostProcess host({QStringLiteral("--simulate"), QStringLiteral("2"), QStringLiteral("--timer-unit-ms"),
                      QStringLiteral("2"), QStringLiteral("--run-for"), QStringLiteral("3")});
    QVERIFY2(host.finish(30000), qPrintable(host.describe()));
    QVERIFY2(host.exitCode() == 0, qPrintable(host.describe()));
    const QString out = host.out();
    const int lastTable = out.lastIndexOf(QRegularExpression(QStringLiteral("^Gateway "), QRegularExpression::MultilineOption));
    QVERIFY2(lastTable >= 0, qPrintable(out));
    const QStringList lines = out.mid(lastTable).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.first().endsWith(QLatin1String(": connected")), qPrintable(lines.first()));

    // slot, device ID, consumed kWh, produced kWh, age of the last reading
    const QRegularExpression row(QStringLiteral("^\\s*(\\d+)\\s+(1-QEL-000-(\\d{8}))\\s+([\\d.]+)\\s+([\\d.]+)\\s+(.+)$"));
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

void TestHost::storeKeepsThingsAcrossRuns()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString store = dir.filePath(QStringLiteral("things.json"));
    // An update period of 1.2 s: each run polls at least once.
    const QStringList arguments{QStringLiteral("--simulate"), QStringLiteral("2"), QStringLiteral("--events"),
                                QStringLiteral("--timer-unit-ms"), QStringLiteral("2"), QStringLiteral("--run-for"),
                                QStringLiteral("3"), QStringLiteral("--store"), store};

    Events first;
    {
        HostProcess host(arguments);
        QVERIFY2(host.finish(30000), qPrintable(host.describe()));
        QVERIFY2(host.exitCode() == 0, qPrintable(host.describe()));
        first = Events::parse(host.lines());
    }
    checkRun(first, 2, true);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(QFile::exists(store));

    Events second;
    {
        HostProcess host(arguments);
        QVERIFY2(host.finish(30000), qPrintable(host.describe()));
        QVERIFY2(host.exitCode() == 0, qPrintable(host.describe()));
        second = Events::parse(host.lines());
    }
    // The same three things come back, and no meter gets a second thing.
    checkRun(second, 2, true);
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
            return idOf(event) == idOf(meter) && event.value(QStringLiteral("event")).toString() == QLatin1String("thingAdded");
        });
        QVERIFY(match != first.all.cend());
        // Each meter keeps its slot and its device.
        QCOMPARE(meter.value(QStringLiteral("thingClass")), match->value(QStringLiteral("thingClass")));
        QCOMPARE(paramOf(meter, "deviceID"), paramOf(*match, "deviceID"));
    }
}

void TestHost::sigtermEndsCleanly()
{
    HostProcess host({QStringLiteral("--simulate"), QStringLiteral("1"), QStringLiteral("--events"),
                      QStringLiteral("--timer-unit-ms"), QStringLiteral("5")});
    QVERIFY(host.started());
    // Running, with its meter set up, when the signal comes.
    auto meterSetUp = [&host] {
        const Events events = Events::parse(host.lines());
        const QList<QJsonObject> meters = events.added(meterClasses);
        return meters.size() == 1 && !events.setupError(idOf(meters.first())).isEmpty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(meterSetUp(), 20000);
    host.process().terminate();
    QVERIFY2(host.finish(20000), qPrintable(host.describe()));
    QVERIFY2(host.exitCode() == 0, qPrintable(host.describe()));
    const Events events = Events::parse(host.lines());
    QVERIFY2(events.problem.isEmpty(), qPrintable(events.problem));
    QCOMPARE(events.of(QStringLiteral("thingRemoved")).size(), 0);
}

QTEST_GUILESS_MAIN(TestHost)

#include "tst_host.moc"
