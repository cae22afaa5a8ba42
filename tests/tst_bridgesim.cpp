// The bridge simulator is the ground truth for every other test, so its endpoints, request record,
// keep-alive handling and faults are checked here against a real HTTP client.
#include "bridgesimulator.h"
#include "builtprogram.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <memory>

#include <signal.h>

using lmnsim::BridgeSimulator;
using lmnsim::Endpoint;
using lmnsim::Fault;

Q_DECLARE_METATYPE(lmnsim::Endpoint)
Q_DECLARE_METATYPE(lmnsim::Fault)

namespace {

// `sim`, a started simulator with the given options, and `nam`, a client for it.
#define SERVE(...)                                                                                                     \
    BridgeSimulator sim{__VA_ARGS__};                                                                                  \
    QVERIFY(sim.start());                                                                                              \
    QNetworkAccessManager nam

const QByteArray kSegment = QByteArrayLiteral("/%252Fdev%252Fttymxc3");
const QByteArray kInitQuery = QByteArrayLiteral("baudrate=921600&databits=8&parity=0&stopBits=1");

struct Result {
    bool finished = false;
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
};

QUrl urlFor(quint16 port, const QByteArray &target)
{
    return QUrl::fromEncoded("http://127.0.0.1:" + QByteArray::number(port) + target, QUrl::StrictMode);
}

QNetworkReply *send(QNetworkAccessManager &nam, const QByteArray &method, quint16 port, const QByteArray &target)
{
    const QNetworkRequest request(urlFor(port, target));
    if (method == "HEAD")
        return nam.head(request);
    return method == "GET" ? nam.get(request) : nam.sendCustomRequest(request, method);
}

Result collect(QNetworkReply *reply)
{
    Result result;
    result.finished = reply->isFinished();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = reply->error();
    result.body = reply->readAll();
    return result;
}

// Waits for the reply (bounded, so that a hanging server fails the test instead of blocking it).
Result fetch(QNetworkAccessManager &nam, quint16 port, const QByteArray &target, const QByteArray &method = "GET")
{
    std::unique_ptr<QNetworkReply> reply(send(nam, method, port, target));
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return collect(reply.get());
}

QByteArray valueTarget(int address, const char *call = "GeActiceEnergyPlusTotal")
{
    return kSegment + '/' + QByteArray::number(address) + '/' + call;
}

double valueOf(const Result &result)
{
    return QJsonDocument::fromJson(result.body).array().at(0).toObject().value(QStringLiteral("value")).toDouble(-1);
}

QJsonObject selectedPort(const Result &details, int index)
{
    return QJsonDocument::fromJson(details.body).array().at(index).toObject();
}

} // namespace

class TestBridgeSim : public QObject
{
    Q_OBJECT

private slots:
    void endpoints_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<int>("status");

        const QByteArray get = "GET", init = kSegment + "/InitializePort?", value = "/GeActiceEnergyPlusTotal";
        QTest::newRow("probe") << QByteArray("HEAD") << QByteArray("/swagger/index.html") << 200;
        QTest::newRow("init") << get << init + kInitQuery << 200;
        QTest::newRow("init, other order") << get << init + "stopBits=1&parity=0&databits=8&baudrate=921600" << 200;
        QTest::newRow("init, wrong baud rate") << get << init + "baudrate=9600&databits=8&parity=0&stopBits=1" << 400;
        QTest::newRow("init, missing setting") << get << init + "baudrate=921600&databits=8&parity=0" << 400;
        QTest::newRow("reinit") << get << kSegment + "/ReinizializeLMNBus" << 200;
        QTest::newRow("reinit, correct English") << get << kSegment + "/ReinitializeLMNBus" << 404;
        QTest::newRow("details") << get << QByteArray("/GetCurrentConnectionDetails") << 200;
        QTest::newRow("details, trailing slash") << get << QByteArray("/GetCurrentConnectionDetails/") << 404;
        QTest::newRow("plus total") << get << valueTarget(1) << 200;
        QTest::newRow("minus total") << get << valueTarget(4, "GeActiceEnergyMinusTotal") << 200;
        QTest::newRow("power") << get << valueTarget(2, "GetCurrentActivePower") << 200;
        QTest::newRow("value, correct English call") << get << valueTarget(1, "GetActiveEnergyPlusTotal") << 404;
        QTest::newRow("value, unknown address") << get << valueTarget(5) << 404;
        QTest::newRow("value, address not a number") << get << kSegment + "/one" + value << 404;
        QTest::newRow("port encoded once") << get << "/%2Fdev%2Fttymxc3/1" + value << 404;
        QTest::newRow("port in lower-case hex") << get << "/%252fdev%252fttymxc3/1" + value << 404;
        QTest::newRow("other port") << get << QByteArray("/%252Fdev%252Fttymxc2/ReinizializeLMNBus") << 404;
        QTest::newRow("unknown path") << get << QByteArray("/api/meters") << 404;
        QTest::newRow("details by POST") << QByteArray("POST") << QByteArray("/GetCurrentConnectionDetails") << 405;
    }

    void endpoints()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, target);
        QFETCH(int, status);

        SERVE();
        const Result result = fetch(nam, sim.port(), target, method);
        QVERIFY(result.finished);
        QCOMPARE(result.status, status);

        // The record must show the target exactly as sent, split without decoding.
        const auto record = sim.requests();
        QCOMPARE(record.size(), std::size_t(1));
        QCOMPARE(QByteArray::fromStdString(record[0].method), method);
        QCOMPARE(QByteArray::fromStdString(record[0].target), target);
        const int questionMark = target.indexOf('?');
        QCOMPARE(QByteArray::fromStdString(record[0].path), questionMark < 0 ? target : target.left(questionMark));
        QCOMPARE(QByteArray::fromStdString(record[0].query),
                 questionMark < 0 ? QByteArray() : target.mid(questionMark + 1));
        QCOMPARE(record[0].connection, std::uint64_t(1));
        QCOMPARE(sim.requestCount(), std::uint64_t(1));

        const bool initialises = target.contains("/InitializePort?") && status == 200;
        QCOMPARE(sim.isInitialized(), initialises);
    }

    // A serial port name: how it travels in paths, which element of the connection details is its,
    // and what its routes answer.
    void connectionDetails_data()
    {
        QTest::addColumn<QString>("serialPort");
        QTest::addColumn<QByteArray>("segment");
        QTest::addColumn<int>("portCount");
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("routes"); // status of init, re-init and value calls on the port

        const QByteArray mxc3 = kSegment.mid(1);
        QTest::newRow("ttymxc3") << QStringLiteral("/dev/ttymxc3") << mxc3 << 4 << 3 << 4 << 200;
        QTest::newRow("more ports") << QStringLiteral("/dev/ttymxc3") << mxc3 << 6 << 3 << 6 << 200;
        QTest::newRow("index beyond count")
            << QStringLiteral("/dev/ttyUSB7") << QByteArray("%252Fdev%252FttyUSB7") << 4 << 7 << 8 << 200;
        // Unreserved characters kept; a blank, "+", "%" and UTF-8 bytes encoded twice.
        QTest::newRow("every kind of byte")
            << QStringLiteral("/dev/t y+%\u00e4_.~-1") << QByteArray("%252Fdev%252Ft%2520y%252B%2525%25C3%25A4_.~-1")
            << 4 << 1 << 4 << 200;
        // Without a final digit the port has no element, as the client then finds none; its routes
        // still answer. An empty name leaves "//" at the start of the path, which Qt sends as "/".
        QTest::newRow("no digit") << QStringLiteral("/dev/lmn") << QByteArray("%252Fdev%252Flmn") << 2 << -1 << 2
                                  << 200;
        QTest::newRow("empty name") << QString() << QByteArray() << 4 << -1 << 4 << 404;
    }

    void connectionDetails()
    {
        QFETCH(QString, serialPort);
        QFETCH(QByteArray, segment);
        QFETCH(int, portCount);
        QFETCH(int, index);
        QFETCH(int, length);
        QFETCH(int, routes);

        lmnsim::Options options;
        options.serialPort = serialPort.toStdString();
        options.portCount = portCount;
        options.meters = 3;
        QCOMPARE(QByteArray::fromStdString(BridgeSimulator::portSegment(options.serialPort)), segment);
        SERVE(options);

        const Result before = fetch(nam, sim.port(), "/GetCurrentConnectionDetails");
        QCOMPARE(before.status, 200);
        const QJsonArray ports = QJsonDocument::fromJson(before.body).array();
        QCOMPARE(ports.size(), length);
        for (int i = 0; i < ports.size(); ++i) {
            const QJsonObject port = ports.at(i).toObject();
            QVERIFY(port.value(QStringLiteral("port")).isString());
            QVERIFY(port.value(QStringLiteral("isInitialized")).isBool());
            QVERIFY(port.value(QStringLiteral("abailableLMNMembers")).isArray());
            if (i == index)
                continue;
            QVERIFY(port.value(QStringLiteral("port")).toString() != serialPort);
            QCOMPARE(port.value(QStringLiteral("isInitialized")).toBool(), false);
            QVERIFY(port.value(QStringLiteral("abailableLMNMembers")).toArray().isEmpty());
        }

        // ports.at(-1) is undefined: a port without an element reads as an empty object.
        const QJsonObject selected = ports.at(index).toObject();
        QCOMPARE(selected.value(QStringLiteral("port")).toString(), index < 0 ? QString() : serialPort);
        QCOMPARE(selected.value(QStringLiteral("isInitialized")).toBool(true), index < 0);
        const QJsonArray members = selected.value(QStringLiteral("abailableLMNMembers")).toArray();
        QCOMPARE(members.size(), index < 0 ? 0 : 3);
        for (int i = 0; i < members.size(); ++i) {
            const QJsonObject member = members.at(i).toObject();
            QCOMPARE(member.value(QStringLiteral("serverID")).toString(),
                     QStringLiteral("1-QEL-000-0000000%1").arg(i + 1));
            QVERIFY(member.value(QStringLiteral("lmnAdress")).isDouble());
            QCOMPARE(member.value(QStringLiteral("lmnAdress")).toInt(), i + 1);
        }

        QCOMPARE(fetch(nam, sim.port(), '/' + segment + "/InitializePort?" + kInitQuery).status, routes);
        QCOMPARE(fetch(nam, sim.port(), '/' + segment + "/ReinizializeLMNBus").status, routes);
        QCOMPARE(fetch(nam, sim.port(), '/' + segment + "/1/GeActiceEnergyPlusTotal").status, routes);
        QCOMPARE(fetch(nam, sim.port(), kSegment + "/ReinizializeLMNBus").status,
                 serialPort == QLatin1String("/dev/ttymxc3") ? 200 : 404);
        QCOMPARE(sim.isInitialized(), routes == 200);
        const QJsonArray after =
            QJsonDocument::fromJson(fetch(nam, sim.port(), "/GetCurrentConnectionDetails").body).array();
        QCOMPARE(after.size(), length);
        for (int i = 0; i < after.size(); ++i)
            QCOMPARE(after.at(i).toObject().value(QStringLiteral("isInitialized")).toBool(), i == index);
    }

    // Each value names its meter and grows; a meter that leaves and comes back counts on.
    void metersAndTheirValues()
    {
        lmnsim::Options options;
        options.meters = 40;
        SERVE(options);

        for (int address = 1; address <= 3; ++address) {
            double previousPlus = 0;
            for (int i = 0; i < 12; ++i) {
                const Result plus = fetch(nam, sim.port(), valueTarget(address));
                QCOMPARE(plus.status, 200);
                const QJsonObject reading = QJsonDocument::fromJson(plus.body).array().at(0).toObject();
                QCOMPARE(reading.value(QStringLiteral("unit")).toString(), QStringLiteral("Wh"));
                const double value = reading.value(QStringLiteral("value")).toDouble();
                QCOMPARE(BridgeSimulator::addressOfValue(value), address);
                QVERIFY2(value > previousPlus, "the plus total must grow with every reading");
                QCOMPARE(sim.currentValue(address, "GeActiceEnergyPlusTotal"), value);
                previousPlus = value;

                const Result minus = fetch(nam, sim.port(), valueTarget(address, "GeActiceEnergyMinusTotal"));
                const double minusValue = valueOf(minus);
                QCOMPARE(BridgeSimulator::addressOfValue(minusValue), address);
                QVERIFY(minusValue != value);
                QCOMPARE(sim.currentValue(address, "GeActiceEnergyMinusTotal"), minusValue);
            }
            const Result power = fetch(nam, sim.port(), valueTarget(address, "GetCurrentActivePower"));
            QCOMPARE(
                QJsonDocument::fromJson(power.body).array().at(0).toObject().value(QStringLiteral("unit")).toString(),
                QStringLiteral("W"));
            QCOMPARE(sim.currentValue(address, "GetCurrentActivePower"), valueOf(power));
        }
        QVERIFY(std::isnan(sim.currentValue(1, "GetSomethingElse")));

        auto memberCount = [&] {
            return selectedPort(fetch(nam, sim.port(), "/GetCurrentConnectionDetails"), 3)
                .value(QStringLiteral("abailableLMNMembers"))
                .toArray()
                .size();
        };

        QCOMPARE(memberCount(), 40);
        const double before = valueOf(fetch(nam, sim.port(), valueTarget(40)));
        QCOMPARE(BridgeSimulator::addressOfValue(before), 40);

        sim.removeMeter(BridgeSimulator::meterAt(39).serverId);
        QCOMPARE(memberCount(), 39);
        QCOMPARE(fetch(nam, sim.port(), valueTarget(40)).status, 404);

        sim.addMeter(BridgeSimulator::meterAt(39));
        sim.addMeter(BridgeSimulator::meterAt(39)); // same id again: no duplicate
        QCOMPARE(memberCount(), 40);
        const double after = valueOf(fetch(nam, sim.port(), valueTarget(40)));
        QVERIFY2(after > before, "a returning meter must not start its totals over");

        sim.addMeter({"2-XYZ-000-00000077", 77});
        QCOMPARE(BridgeSimulator::addressOfValue(valueOf(fetch(nam, sim.port(), valueTarget(77)))), 77);

        sim.setMeterCount(2);
        QCOMPARE(memberCount(), 2);
        QCOMPARE(fetch(nam, sim.port(), valueTarget(3)).status, 404);
        QCOMPARE(fetch(nam, sim.port(), valueTarget(2)).status, 200);
    }

    void keepAliveReusesOneConnection()
    {
        SERVE();

        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 60; ++i)
            QCOMPARE(fetch(nam, sim.port(), valueTarget(1 + i % 4)).status, 200);
        // A stall on delayed ACKs (missing TCP_NODELAY) costs ~40 ms per reply, over 2 s in all.
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));

        QCOMPARE(sim.acceptedConnections(), std::uint64_t(1));
        QCOMPARE(sim.openConnections(), std::uint64_t(1));
        for (const auto &request : sim.requests())
            QCOMPARE(request.connection, std::uint64_t(1));

        // A second client is a second connection, with its own id.
        QNetworkAccessManager other;
        QCOMPARE(fetch(other, sim.port(), "/swagger/index.html", "HEAD").status, 200);
        QCOMPARE(sim.acceptedConnections(), std::uint64_t(2));
        QCOMPARE(sim.requests().back().connection, std::uint64_t(2));

        // The host program runs the simulator for hours; it must count requests without keeping them.
        lmnsim::Options options;
        options.keepRecord = false;
        BridgeSimulator counting(options);
        QVERIFY(counting.start());
        for (int i = 0; i < 3; ++i)
            QCOMPARE(fetch(nam, counting.port(), valueTarget(1)).status, 200);
        QCOMPARE(counting.requestCount(), std::uint64_t(3));
        QVERIFY(counting.requests().empty());
        counting.clearRequests();
        QCOMPARE(counting.requestCount(), std::uint64_t(0));
    }

    void faults_data()
    {
        QTest::addColumn<Endpoint>("endpoint");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body"); // what the faulty body must be like

        auto row = [](const char *name, Endpoint endpoint, const QByteArray &target, Fault::Kind kind, int status,
                      const char *body, int delayMs = 0) {
            Fault f;
            f.kind = kind;
            f.status = status;
            f.delay = std::chrono::milliseconds(delayMs);
            f.count = 1;
            QTest::newRow(name) << endpoint << target << f << status << QString::fromLatin1(body);
        };
        const QByteArray value = valueTarget(2);
        const QByteArray details = "/GetCurrentConnectionDetails";
        using Kind = Fault::Kind;
        // Status faults on the other endpoints show in tst_networkhandler's error reports.
        row("reinit 500", Endpoint::ReinitializeBus, kSegment + "/ReinizializeLMNBus", Kind::HttpStatus, 500, "");
        row("value not json", Endpoint::Value, value, Kind::NotJson, 200, "invalid");
        row("value not array", Endpoint::Value, value, Kind::NotArray, 200, "object");
        row("value empty", Endpoint::Value, value, Kind::EmptyBody, 200, "empty");
        row("value []", Endpoint::Value, value, Kind::EmptyArray, 200, "[]");
        row("value wrong types", Endpoint::Value, value, Kind::WrongTypes, 200, "string value");
        row("details not json", Endpoint::ConnectionDetails, details, Kind::NotJson, 200, "invalid");
        row("details not array", Endpoint::ConnectionDetails, details, Kind::NotArray, 200, "object");
        row("details empty", Endpoint::ConnectionDetails, details, Kind::EmptyBody, 200, "empty");
        row("details wrong types", Endpoint::ConnectionDetails, details, Kind::WrongTypes, 200, "string members");
        row("details delayed", Endpoint::ConnectionDetails, details, Kind::Delay, 200, "array", 300);
        // Qt's own client inflates what it asked for: the gzip body is sound.
        row("value gzip", Endpoint::Value, value, Kind::GzipBody, 200, "array");
        row("value oversized", Endpoint::Value, value, Kind::OversizedBody, 200, "big array");
        row("value trickle", Endpoint::Value, value, Kind::Trickle, 200, "array", 10);
        row("value cookie", Endpoint::Value, value, Kind::NewCookie, 200, "array");
        row("details not UTF-8", Endpoint::ConnectionDetails, details, Kind::InvalidUtf8, 200, "invalid");
    }

    void faults()
    {
        QFETCH(Endpoint, endpoint);
        QFETCH(QByteArray, target);
        QFETCH(Fault, fault);
        QFETCH(int, status);
        QFETCH(QString, body);

        BridgeSimulator sim;
        QVERIFY(sim.start());
        sim.setFault(endpoint, fault);
        QNetworkAccessManager nam;
        const QByteArray method = endpoint == Endpoint::Probe ? "HEAD" : "GET";

        QElapsedTimer timer;
        timer.start();
        const Result faulty = fetch(nam, sim.port(), target, method);
        QVERIFY(timer.elapsed() >= fault.delay.count());
        QCOMPARE(faulty.status, status);
        QJsonParseError parseError{};
        const QJsonDocument json = QJsonDocument::fromJson(faulty.body, &parseError);
        if (body == QLatin1String("invalid")) {
            QVERIFY(!faulty.body.isEmpty());
            QVERIFY(parseError.error != QJsonParseError::NoError);
        } else if (body == QLatin1String("object")) {
            QVERIFY(json.isObject());
        } else if (body == QLatin1String("empty")) {
            QVERIFY(faulty.body.isEmpty());
        } else if (body == QLatin1String("[]")) {
            QVERIFY(json.isArray() && json.array().isEmpty());
        } else if (body == QLatin1String("array")) {
            QVERIFY(json.isArray());
        } else if (body == QLatin1String("big array")) {
            QVERIFY(json.isArray() && faulty.body.size() > 2 * 1024 * 1024);
        } else if (body == QLatin1String("string value")) {
            const QJsonValue v = json.array().at(0).toObject().value(QStringLiteral("value"));
            QVERIFY(v.isString());
            QVERIFY2(BridgeSimulator::addressOfValue(v.toString().toDouble()) != 2,
                     "a wrong value must not pass as right");
        } else if (body == QLatin1String("string members")) {
            const QJsonObject port = json.array().at(3).toObject();
            QVERIFY(port.value(QStringLiteral("isInitialized")).isString());
            const QJsonArray members = port.value(QStringLiteral("abailableLMNMembers")).toArray();
            QVERIFY(!members.isEmpty());
            for (const QJsonValue &member : members)
                QVERIFY(member.toObject().value(QStringLiteral("lmnAdress")).isString());
        }

        // count = 1: the next request gets the real answer.
        const Result normal = fetch(nam, sim.port(), target, method);
        QCOMPARE(normal.status, 200);
        if (endpoint == Endpoint::Value)
            QCOMPARE(BridgeSimulator::addressOfValue(valueOf(normal)), 2);
        if (endpoint == Endpoint::ConnectionDetails)
            QVERIFY(QJsonDocument::fromJson(normal.body).isArray());
        QCOMPARE(sim.requestCount(), std::uint64_t(2));
    }

    void meterFaultWinsOverEndpointFault()
    {
        SERVE();
        Fault status;
        status.kind = Fault::Kind::HttpStatus;
        status.status = 500;
        Fault notJson;
        notJson.kind = Fault::Kind::NotJson;
        sim.setFault(Endpoint::Value, status);
        sim.setMeterFault(2, notJson);

        for (int round = 0; round < 2; ++round) { // count -1: it stays
            QCOMPARE(fetch(nam, sim.port(), valueTarget(1)).status, 500);
            const Result meter2 = fetch(nam, sim.port(), valueTarget(2));
            QCOMPARE(meter2.status, 200);
            QVERIFY(QJsonDocument::fromJson(meter2.body).isNull());
            QCOMPARE(fetch(nam, sim.port(), "/GetCurrentConnectionDetails").status, 200);
        }

        sim.clearFaults();
        QCOMPARE(BridgeSimulator::addressOfValue(valueOf(fetch(nam, sim.port(), valueTarget(1)))), 1);
        QCOMPARE(BridgeSimulator::addressOfValue(valueOf(fetch(nam, sim.port(), valueTarget(2)))), 2);
    }

    void hangIsReleased_data()
    {
        QTest::addColumn<bool>("meterFault");
        QTest::addColumn<bool>("byClearFaults");
        QTest::newRow("endpoint fault replaced") << false << false;
        QTest::newRow("endpoint fault cleared") << false << true;
        QTest::newRow("meter fault replaced") << true << false;
        QTest::newRow("meter fault cleared") << true << true;
    }

    void hangIsReleased()
    {
        QFETCH(bool, meterFault);
        QFETCH(bool, byClearFaults);

        BridgeSimulator sim;
        QVERIFY(sim.start());
        Fault hang;
        hang.kind = Fault::Kind::Hang;
        hang.count = 1; // used up by the first request, which still hangs until released
        if (meterFault)
            sim.setMeterFault(3, hang);
        else
            sim.setFault(Endpoint::Value, hang);

        QNetworkAccessManager nam;
        std::unique_ptr<QNetworkReply> hung(send(nam, "GET", sim.port(), valueTarget(3)));
        QTRY_COMPARE(sim.requestCount(), std::uint64_t(1));

        // Other traffic, and faults set elsewhere, leave it hanging.
        QNetworkAccessManager other;
        QCOMPARE(fetch(other, sim.port(), valueTarget(3)).status, 200);
        sim.setFault(Endpoint::Probe, Fault{});
        sim.setMeterFault(1, Fault{});
        QCOMPARE(fetch(other, sim.port(), "/swagger/index.html", "HEAD").status, 200);
        QVERIFY(!hung->isFinished());

        if (byClearFaults)
            sim.clearFaults();
        else if (meterFault)
            sim.setMeterFault(3, Fault{});
        else
            sim.setFault(Endpoint::Value, Fault{});
        QTRY_VERIFY(hung->isFinished());
        const Result result = collect(hung.get());
        QCOMPARE(result.status, 200);
        QCOMPARE(BridgeSimulator::addressOfValue(valueOf(result)), 3);
    }

    // Each connection holds a thread; past the limit the simulator refuses rather than aborting, and
    // hung requests, many more than httplib's default pool has threads, starve no other.
    void connectionsOverTheLimitAreRefused()
    {
        BridgeSimulator sim;
        QVERIFY(sim.start());
        Fault hang;
        hang.kind = Fault::Kind::Hang;
        sim.setMeterFault(1, hang);
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        // A few at a time: httplib's listen backlog is short, and a dropped SYN costs a second.
        while (sockets.size() < std::size_t(lmnsim::kMaxConnections)) {
            for (int i = 0; i < 4; ++i) {
                sockets.push_back(std::make_unique<QTcpSocket>());
                sockets.back()->connectToHost(QStringLiteral("127.0.0.1"), sim.port());
                if (sockets.size() <= 16) // more hung than the default pool has threads; the rest idle
                    sockets.back()->write("GET " + valueTarget(1) + " HTTP/1.1\r\nHost: bridge\r\n\r\n");
            }
            QTRY_COMPARE(sim.openConnections(), std::uint64_t(sockets.size()));
        }
        QTRY_COMPARE(sim.requestCount(), std::uint64_t(16));

        QTcpSocket refused;
        refused.connectToHost(QStringLiteral("127.0.0.1"), sim.port());
        QTRY_COMPARE(refused.state(), QAbstractSocket::UnconnectedState);
        QVERIFY2(refused.readAll().startsWith("HTTP/1.1 503 Service Unavailable"), "no clear refusal");

        // A connection that closes makes room again.
        sockets.pop_back(); // an idle one
        QTRY_COMPARE(sim.openConnections(), std::uint64_t(lmnsim::kMaxConnections - 1));
        QNetworkAccessManager nam;
        QCOMPARE(fetch(nam, sim.port(), valueTarget(2)).status, 200);
        for (const auto &socket : sockets)
            QCOMPARE(socket->bytesAvailable(), qint64(0));
    }

    void idleConnectionClosedAfterKeepAliveTimeout_data()
    {
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("closeAfterReply");
        QTest::newRow("1 s") << 1000 << false;
        QTest::newRow("300 ms, less than the idle poll slice") << 300 << false;
        QTest::newRow("Connection: close") << 60000 << true;
    }

    void idleConnectionClosedAfterKeepAliveTimeout()
    {
        QFETCH(int, timeoutMs);
        QFETCH(bool, closeAfterReply);
        lmnsim::Options options;
        options.keepAliveTimeout = std::chrono::milliseconds(timeoutMs);
        options.closeAfterReply = closeAfterReply;
        BridgeSimulator sim(options);
        QVERIFY(sim.start());

        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), sim.port());
        socket.write("HEAD /swagger/index.html HTTP/1.1\r\nHost: bridge\r\n\r\n");
        // The idle clock starts at the first byte: a polling wait would start it late, by up to its
        // step, and a loaded machine could then see the close "early".
        QVERIFY(socket.waitForReadyRead(5000));
        QElapsedTimer idle;
        idle.start();
        QByteArray reply = socket.readAll();
        QTRY_VERIFY((reply += socket.readAll()).contains("\r\n\r\n"));
        QVERIFY(reply.startsWith("HTTP/1.1 200"));
        QCOMPARE(reply.contains("Connection: close\r\n"), closeAfterReply);

        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 5000);
        const qint64 closedAfter = idle.elapsed();
        if (closeAfterReply)
            QVERIFY2(closedAfter < 1000, qPrintable(QStringLiteral("closed after %1 ms").arg(closedAfter)));
        else
            QVERIFY2(closedAfter >= timeoutMs * 9 / 10 && closedAfter < timeoutMs + 1000,
                     qPrintable(QStringLiteral("closed after %1 ms").arg(closedAfter)));
        QTRY_COMPARE(sim.openConnections(), std::uint64_t(0));
    }

    void closeAnswersNothing()
    {
        BridgeSimulator sim;
        QVERIFY(sim.start());
        Fault close;
        close.kind = Fault::Kind::Close;
        close.count = 1;
        sim.setFault(Endpoint::ConnectionDetails, close);

        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), sim.port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET /GetCurrentConnectionDetails HTTP/1.1\r\nHost: bridge\r\n\r\n");
        QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(socket.readAll(), QByteArray());
        QCOMPARE(sim.requestCount(), std::uint64_t(1));
        QTRY_COMPARE(sim.openConnections(), std::uint64_t(0));

        // The fault is used up; the next client gets an answer.
        QNetworkAccessManager nam;
        QCOMPARE(fetch(nam, sim.port(), "/GetCurrentConnectionDetails").status, 200);
    }

    // Answers that break HTTP's framing go on for as long as the client reads, never reach what
    // would end them, and stop when the client goes.
    void brokenFraming_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("head");   // how the answer starts
        QTest::addColumn<QByteArray>("absent"); // what never comes after it
        using Kind = Fault::Kind;
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        QTest::newRow("status line") << int(Kind::UnendingStatusLine) << QByteArray("HTTP/1.1 200 OK")
                                     << QByteArray("\n");
        QTest::newRow("header line") << int(Kind::UnendingHeaderLine) << ok + "X-Endless: " << QByteArray("\n");
        QTest::newRow("header fields") << int(Kind::EndlessHeaders) << ok << QByteArray("\r\n\r\n");
        QTest::newRow("chunk line") << int(Kind::UnendingChunkLine)
                                    << ok + "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n1;"
                                    << QByteArray("\n");
        QTest::newRow("100 Continue") << int(Kind::EndlessContinue) << QByteArray("HTTP/1.1 100 Continue\r\n\r\n")
                                      << QByteArray(" 200 ");
        QTest::newRow("gzip transfer coding")
            << int(Kind::GzipTransfer) << ok + "Transfer-Encoding: gzip, chunked\r\n\r\nxxxx"
            << QByteArray("\r\n0\r\n\r\n");
        QTest::newRow("unpaced endless body") << int(Kind::UnpacedEndlessBody) << ok << QByteArray("\r\n0\r\n\r\n");
    }
    void brokenFraming()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, absent);
        BridgeSimulator sim;
        QVERIFY(sim.start());
        sim.setFault(Endpoint::Value, Fault{Fault::Kind(kind), 500, {}, 1});

        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), sim.port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET " + valueTarget(2) + " HTTP/1.1\r\nHost: bridge\r\n\r\n");
        QByteArray got;
        const int enough = 1024 * 1024;
        while (got.size() < enough && socket.waitForReadyRead(5000))
            got += socket.readAll();
        QVERIFY(got.size() >= enough);
        QVERIFY2(got.startsWith(head), got.left(200).constData());
        QVERIFY(!got.mid(head.size()).contains(absent));
        socket.abort();
        QTRY_COMPARE(sim.openConnections(), std::uint64_t(0));

        // The fault is used up; the next client gets an answer.
        QNetworkAccessManager nam;
        QCOMPARE(fetch(nam, sim.port(), valueTarget(2)).status, 200);
    }

    // Stopping releases hung and idle connections at once and refuses new ones; starting again
    // listens on the same port.
    void stopRefusesAndStartAcceptsAgain()
    {
        BridgeSimulator sim;
        QVERIFY(sim.start());
        const quint16 port = sim.port();
        QVERIFY(port != 0);
        QNetworkAccessManager idle;
        QCOMPARE(fetch(idle, port, "/swagger/index.html", "HEAD").status, 200);
        Fault hang;
        hang.kind = Fault::Kind::Hang;
        sim.setFault(Endpoint::Value, hang);
        QNetworkAccessManager nam;
        std::unique_ptr<QNetworkReply> hung(send(nam, "GET", port, valueTarget(1)));
        QTRY_COMPARE(sim.requestCount(), std::uint64_t(2));
        QCOMPARE(sim.openConnections(), std::uint64_t(2));

        QElapsedTimer timer;
        timer.start();
        sim.stop();
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QStringLiteral("stop() took %1 ms").arg(timer.elapsed())));
        QVERIFY(!sim.isRunning());
        QCOMPARE(sim.openConnections(), std::uint64_t(0));
        QTRY_VERIFY(hung->isFinished());
        QVERIFY(hung->error() != QNetworkReply::NoError);
        sim.stop(); // harmless twice
        sim.clearFaults();
        QCOMPARE(sim.port(), port);
        QTcpSocket refused;
        QSignalSpy errors(&refused, &QAbstractSocket::errorOccurred);
        refused.connectToHost(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);

        // Same port again although the server side of the old connection may sit in TIME_WAIT.
        QVERIFY(sim.start());
        QVERIFY(sim.isRunning());
        QCOMPARE(sim.port(), port);
        QNetworkAccessManager other;
        QCOMPARE(fetch(other, port, "/swagger/index.html", "HEAD").status, 200);
        QCOMPARE(sim.acceptedConnections(), std::uint64_t(3));

        // A second listener on a taken port would get part of its connections: it must fail instead.
        BridgeSimulator second;
        QVERIFY(!second.start(port));
        QVERIFY(!second.isRunning());
    }

    void programServesUntilTerminated()
    {
        QProcess program;
        startBuiltProgram(program, QCoreApplication::applicationDirPath() + QStringLiteral("/lmn-bridge-sim"),
                          {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--meters"),
                           QStringLiteral("2"), QStringLiteral("--initialized"), QStringLiteral("--fault"),
                           QStringLiteral("details=status:503@1"), QStringLiteral("--keep-alive-timeout-ms"),
                           QStringLiteral("5000"), QStringLiteral("--connection-close")});
        QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
        QTRY_VERIFY(program.canReadLine());
        const QString line = QString::fromUtf8(program.readLine());
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)\\n$")).match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const quint16 port = match.captured(1).toUShort();
        QVERIFY(port != 0);

        QNetworkAccessManager nam;
        QCOMPARE(fetch(nam, port, "/GetCurrentConnectionDetails").status, 503);
        const QJsonObject selected = selectedPort(fetch(nam, port, "/GetCurrentConnectionDetails"), 3);
        QCOMPARE(selected.value(QStringLiteral("isInitialized")).toBool(), true);
        QCOMPARE(selected.value(QStringLiteral("abailableLMNMembers")).toArray().size(), 2);

        // SIGUSR1 reports the counts so far (the benchmark reads them) and the program serves on.
        QCOMPARE(::kill(static_cast<pid_t>(program.processId()), SIGUSR1), 0);
        QTRY_VERIFY(program.canReadLine());
        const QString statsLine = QString::fromUtf8(program.readLine());
        const QRegularExpressionMatch stats =
            QRegularExpression(QStringLiteral("^requests (\\d+) connections (\\d+)\\n$")).match(statsLine);
        QVERIFY2(stats.hasMatch(), qPrintable(statsLine));
        QCOMPARE(stats.captured(1).toInt(), 2);
        QCOMPARE(stats.captured(2).toInt(), 2); // --connection-close: one connection per request
        QCOMPARE(fetch(nam, port, "/swagger/index.html", "HEAD").status, 200);

        program.terminate();
        QVERIFY(program.waitForFinished(5000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    void programRejectsBadFlags_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown flag") << QStringList{QStringLiteral("--verbose")};
        QTest::newRow("missing value") << QStringList{QStringLiteral("--port")};
        QTest::newRow("port not a number") << QStringList{QStringLiteral("--port"), QStringLiteral("http")};
        QTest::newRow("unknown endpoint") << QStringList{QStringLiteral("--fault"), QStringLiteral("meters=hang")};
        QTest::newRow("unknown kind") << QStringList{QStringLiteral("--fault"), QStringLiteral("value=explode")};
        QTest::newRow("status without code") << QStringList{QStringLiteral("--fault"), QStringLiteral("value=status")};
        QTest::newRow("bad meter address") << QStringList{QStringLiteral("--meter-fault"), QStringLiteral("x=hang")};
        QTest::newRow("port over 65535") << QStringList{QStringLiteral("--port"), QStringLiteral("70000")};
        QTest::newRow("too many meters") << QStringList{QStringLiteral("--meters"), QStringLiteral("100001")};
        QTest::newRow("keep-alive of 0 ms")
            << QStringList{QStringLiteral("--keep-alive-timeout-ms"), QStringLiteral("0")};
        QTest::newRow("endless at a pace")
            << QStringList{QStringLiteral("--fault"), QStringLiteral("value=endless:fast")};
        QTest::newRow("close with a value") << QStringList{QStringLiteral("--connection-close=yes")};
    }

    void programRejectsBadFlags()
    {
        QFETCH(QStringList, arguments);
        QProcess program;
        startBuiltProgram(program, QCoreApplication::applicationDirPath() + QStringLiteral("/lmn-bridge-sim"),
                          arguments);
        QVERIFY(program.waitForFinished(5000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 2);
        QVERIFY(program.readAllStandardOutput().isEmpty());
        QVERIFY(!program.readAllStandardError().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBridgeSim)
#include "tst_bridgesim.moc"
