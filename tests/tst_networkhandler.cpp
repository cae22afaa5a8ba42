// NetworkHandler against the in-process bridge simulator over loopback HTTP. Intervals run
// shortened (QELLMN_TIME_SCALE, set in main); tst_networkhandler_realtime checks the real ones.
#include "bridgesimulator.h"
#include "networkhandler.h"
#include "qellmnintervals.h"
#include "testrig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkConfiguration>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using namespace lmnsim;
namespace I = QelLmnIntervals;

namespace {

QString operator""_q(const char *text, std::size_t size) { return QString::fromUtf8(text, int(size)); }
QString qs(const std::string &text) { return QString::fromStdString(text); }
constexpr std::uint64_t operator""_n(unsigned long long n) { return n; }
QList<QVariantList> args(const QSignalSpy &spy) { return spy; }
const QLatin1Char quote('"');

// Functions, not constants: the seam must not be read before main() has set it.
int wait() { return I::scaled(I::connectionDetailsWaitMs); }
int resend() { return I::scaled(I::valueResendDelayMs); }
const QString plus = "GeActiceEnergyPlusTotal"_q;
const QString seg = "/%252Fdev%252Fttymxc3"_q;

// Log lines of the category, captured instead of printed; a hook may react to one of them.
rig::LogCapture &g_log = rig::testLog();
int logged(const QString &text) { return g_log.countExact(text); }

QStringList targets(const BridgeSimulator &sim)
{
    QStringList out;
    for (const RecordedRequest &request : sim.requests())
        out << qs(request.method + ' ' + request.target);
    return out;
}

struct Rig {
    explicit Rig(Options options = {}, const QString &port = "/dev/ttymxc3"_q) : sim(options)
    {
        if (!sim.start(0))
            qFatal("the simulator cannot listen");
        h->setUrl(QString::number(sim.port()));
        h->setPort(port);
    }
    // The answer to a port check, -1 when none came.
    int checkPort()
    {
        QSignalSpy answer(h.get(), &NetworkHandler::checkInitializedFinished);
        h->checkPortInitialized();
        return answer.wait(5000) ? answer.first().first().toInt() : -1;
    }
    // The list the way the plugin gets it: one fetch, after the (shortened) wait.
    bool fetch()
    {
        QSignalSpy info(h.get(), &NetworkHandler::deviceInfoReceived);
        h->getConnectionDetails();
        return info.wait(5000);
    }
    BridgeSimulator sim;
    std::unique_ptr<NetworkHandler> h = std::make_unique<NetworkHandler>();
    QSignalSpy values{h.get(), &NetworkHandler::receivedValue};
    QSignalSpy next{h.get(), &NetworkHandler::nextDeviceUpdate};
    QSignalSpy failed{h.get(), &NetworkHandler::valueCallFailed};
};

QString id(int index) { return qs(BridgeSimulator::meterAt(index).serverId); }

} // namespace

class TestNetworkHandler : public rig::TestCase
{
    Q_OBJECT

public:
    TestNetworkHandler() : rig::TestCase(30000, "Test function hung in a nested wait"_q) {}

private slots:
    void initTestCase()
    {
        rig::TestCase::initTestCase();
        QCOMPARE(I::timeScale(), 0.02);
    }

    void wireFormat()
    {
        Rig r({}, "/dev/tty Ä_~.-3"_q);
        int done = 0;
        bool identity = true; // so that Qt never inflates a body
        auto note = [&](QNetworkReply *reply) {
            identity &= reply->request().rawHeader("Accept-Encoding") == "identity";
            // The reply must survive a nested loop inside its handler.
            QEventLoop loop;
            QTimer::singleShot(1, &loop, &QEventLoop::quit);
            loop.exec();
            ++done;
            reply->readAll();
        };
        r.h->sendRequestGet("/a%b c"_q, note, QString());
        r.h->sendRequestGet("/x"_q, note, ""_q);
        r.h->sendRequestGet("/x"_q, note, "baudrate=921600&databits=8&parity=0&stopBits=1"_q);
        r.h->sendRequestHead("/swagger/index.html"_q, note);
        r.h->initPort(false);
        QTRY_COMPARE_WITH_TIMEOUT(done, 4, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(r.sim.requestCount(), 5_n, 5000);
        QVERIFY(identity);
        QStringList got = targets(r.sim);
        got.sort();
        QCOMPARE(got, QStringList({"GET /%252Fdev%252Ftty%2520%25C3%2584_~.-3/InitializePort"
                                   "?baudrate=921600&databits=8&parity=0&stopBits=1"_q,
                                   "GET /a%25b%20c"_q, "GET /x"_q,
                                   "GET /x?baudrate=921600&databits=8&parity=0&stopBits=1"_q,
                                   "HEAD /swagger/index.html"_q}));
    }

    void serverPort_data()
    {
        QTest::addColumn<QString>("text"); // '$' stands for the simulator's port
        QTest::addColumn<bool>("valid");
        QTest::newRow("port") << "$"_q << true;
        QTest::newRow("leading zero") << "0$"_q << true;
        for (const char *bad : {"(empty)", "0", "65536", "99999999999999999999", "-1", "+$", " $", "$ ",
                                "$@example.org", "$/x", "$.0", "５０００"})
            QTest::newRow(bad) << (qstrcmp(bad, "(empty)") ? QString::fromUtf8(bad) : QString()) << false;
    }
    void serverPort()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        Rig r;
        const QString port = text.replace(QLatin1Char('$'), QString::number(r.sim.port()));
        r.h->setUrl(port); // replaces the good URL set by the rig
        QCOMPARE(r.h->isUrlValid(), valid);
        QSignalSpy reachable(r.h.get(), &NetworkHandler::serverReachable);
        QCOMPARE(r.checkPort(), valid ? 1 : 2);
        if (valid) {
            QCOMPARE(r.sim.requestCount(), 1_n);
            return;
        }
        QCOMPARE(g_log.lines.first(), "Server port \""_q + port
                                      + "\" is not a whole number from 1 to 65535; no request will be sent."_q);
        QVERIFY(g_log.lines.contains(
            "No valid server port is set, GET request \"/GetCurrentConnectionDetails\" not sent."_q));
        // The report carries the reason, not "Unknown error".
        QVERIFY(g_log.lines.contains("Error Reply:  \"No valid server port is set; the request was not sent\""_q));
        QCOMPARE(reachable.count(), 1);
        // Failure arrives from the event loop, never inside the call.
        bool ran = false;
        r.h->sendRequestHead("/swagger/index.html"_q, [&](QNetworkReply *) { ran = true; });
        QVERIFY(!ran);
        QTRY_VERIFY_WITH_TIMEOUT(ran, 5000);

        // A value call that can never succeed ends at once, with one line and no re-send.
        QSignalSpy next(r.h.get(), &NetworkHandler::nextDeviceUpdate);
        g_log.lines.clear();
        r.h->getValueCall(plus, id(0), 1);
        QVERIFY(next.wait(5000));
        QTest::qWait(3 * resend()); // and no re-send follows
        QCOMPARE(next.count(), 1);
        QCOMPARE(g_log.lines, QStringList({"Trying to get Value  \""_q + plus + "\" for device  \""_q + id(0) + quote,
                                       "No valid server port is set, call \""_q + plus + "\" for device \""_q + id(0)
                                           + "\" not sent."_q}));
        QCOMPARE(r.sim.acceptedConnections(), 0_n);
    }

    void setupConnection_data()
    {
        QTest::addColumn<bool>("reinitialize");
        QTest::addColumn<QString>("second");
        QTest::newRow("first start") << false << "GET "_q + seg + "/InitializePort?baudrate=921600&databits=8&parity=0&stopBits=1"_q;
        QTest::newRow("reconfigure") << true << "GET "_q + seg + "/ReinizializeLMNBus"_q;
    }
    void setupConnection()
    {
        QFETCH(bool, reinitialize);
        QFETCH(QString, second);
        Rig r;
        // The probe's page may be large: a HEAD reply announces its length, but brings no body.
        r.sim.setFault(Endpoint::Probe, Fault{Fault::Kind::OversizedBody, 500, {}, -1});
        QSignalSpy reachable(r.h.get(), &NetworkHandler::serverReachable);
        QSignalSpy port(r.h.get(), &NetworkHandler::portReachable);
        r.h->setupConnection(reinitialize);
        QVERIFY(port.wait(5000));
        QCOMPARE(args(reachable), QList<QVariantList>({{true}}));
        QCOMPARE(args(port), QList<QVariantList>({{true}}));
        QCOMPARE(targets(r.sim), QStringList({"HEAD /swagger/index.html"_q, second}));
        QCOMPARE(r.sim.acceptedConnections(), 1_n); // the probe keeps its connection for the next request
        const QString path = reinitialize ? "/%2Fdev%2Fttymxc3/ReinizializeLMNBus"_q : "/%2Fdev%2Fttymxc3/InitializePort"_q;
        QCOMPARE(g_log.lines, QStringList({"Setting up server connection"_q, "Send Head Request \"/swagger/index.html\""_q,
                                       "QNetworkReply::NoError"_q, "Server reached."_q, "Initialize the port."_q,
                                       "Send Get Request \""_q + path + quote, "Port initialized."_q}));
    }

    // An announced length over the limit ends the request before any of the body has come.
    void announcedLengthOverLimit()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, this, [&server] {
            QTcpSocket *socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->readAll();
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n\r\n"); // and then nothing
            });
        });
        NetworkHandler h;
        h.setUrl(QString::number(server.serverPort()));
        NetworkHandler::Abort why = NetworkHandler::Abort::None;
        bool done = false;
        QElapsedTimer clock;
        clock.start();
        h.sendRequestGet("/GetCurrentConnectionDetails"_q, [&](QNetworkReply *reply) {
            why = NetworkHandler::abortOf(reply);
            done = true;
        }, QString());
        QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
        QCOMPARE(why, NetworkHandler::Abort::TooLarge);
        QVERIFY2(clock.elapsed() < I::requestTimeout(), "ended by the deadline, not by the announced length");
    }

    // Any failure on the way up ends in serverReachable(false), with a headline and the report.
    void setupConnectionFailure_data()
    {
        QTest::addColumn<int>("endpoint");
        QTest::addColumn<int>("kind"); // Kind::None: listener stopped
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reached"); // serverReachable arguments, in order
        QTest::addColumn<QStringList>("report");
        const int probe = int(Endpoint::Probe), init = int(Endpoint::InitializePort);
        const auto report = [](const char *headline, const char *error, int code) {
            return QStringList({QString::fromUtf8(headline), "Error:  QNetworkReply::"_q + QString::fromUtf8(error),
                                "Error code:  "_q + QString::number(code)});
        };
        QTest::newRow("refused") << probe << int(Fault::Kind::None) << 0 << "f"_q
                                 << report("Could not reach server!", "ConnectionRefusedError", 0);
        QTest::newRow("probe 404") << probe << int(Fault::Kind::HttpStatus) << 404 << "f"_q
                                   << report("Could not reach server!", "ContentNotFoundError", 404);
        QTest::newRow("probe times out") << probe << int(Fault::Kind::Hang) << 0 << "f"_q
                                         << report("Could not reach server!", "OperationCanceledError", 0);
        QTest::newRow("init 500") << init << int(Fault::Kind::HttpStatus) << 500 << "tf"_q
                                  << report("Could not initialize port!", "InternalServerError", 500);
        QTest::newRow("init closed") << init << int(Fault::Kind::Close) << 0 << "tf"_q
                                     << report("Could not initialize port!", "RemoteHostClosedError", 0);
    }
    void setupConnectionFailure()
    {
        QFETCH(int, endpoint);
        QFETCH(int, kind);
        QFETCH(int, status);
        QFETCH(QString, reached);
        QFETCH(QStringList, report);
        Rig r;
        if (kind == int(Fault::Kind::None))
            r.sim.stop();
        else
            r.sim.setFault(Endpoint(endpoint), Fault{Fault::Kind(kind), status, {}, -1});
        QSignalSpy reachable(r.h.get(), &NetworkHandler::serverReachable);
        QSignalSpy port(r.h.get(), &NetworkHandler::portReachable);
        r.h->setupConnection(false);
        QTRY_COMPARE_WITH_TIMEOUT(reachable.count(), reached.size(), 5000);
        QTest::qWait(wait()); // nothing further may follow
        QCOMPARE(reachable.count(), reached.size());
        for (int i = 0; i < reached.size(); ++i)
            QCOMPARE(reachable.at(i).at(0).toBool(), reached.at(i) == QLatin1Char('t'));
        QCOMPARE(port.count(), 0);
        const int at = int(g_log.lines.indexOf(report.first()));
        QVERIFY2(at >= 0, qPrintable(g_log.lines.join(QLatin1Char('\n'))));
        QCOMPARE(g_log.lines.mid(at, 3), report);
        QVERIFY(g_log.lines.value(at + 3).startsWith("Error Reply:  \""_q));
        for (const QString &target : targets(r.sim)) // nothing beyond the failed step
            QVERIFY(target == "HEAD /swagger/index.html"_q || (reached.size() == 2 && target.contains("/InitializePort?"_q)));
    }

    // Which element is the port's, and how a body reads, is the parser's (tst_bridgereplies).
    void checkPortInitialized_data()
    {
        QTest::addColumn<bool>("initialized");
        QTest::addColumn<int>("kind"); // on the connection details; -1: listener stopped
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("error");
        QTest::newRow("initialised") << true << int(Fault::Kind::None) << 0 << QString();
        QTest::newRow("not initialised") << false << int(Fault::Kind::None) << 1 << QString();
        QTest::newRow("http 500") << true << int(Fault::Kind::HttpStatus) << 2 << "InternalServerError"_q;
        QTest::newRow("refused") << true << -1 << 2 << "ConnectionRefusedError"_q;
        QTest::newRow("times out") << true << int(Fault::Kind::Hang) << 2 << "OperationCanceledError"_q;
    }
    void checkPortInitialized()
    {
        QFETCH(bool, initialized);
        QFETCH(int, kind);
        QFETCH(int, expected);
        QFETCH(QString, error);
        Options options;
        options.initialized = initialized;
        Rig r(options);
        if (kind < 0)
            r.sim.stop();
        else
            r.sim.setFault(Endpoint::ConnectionDetails, Fault{Fault::Kind(kind), 500, {}, -1});
        QSignalSpy reachable(r.h.get(), &NetworkHandler::serverReachable);
        for (int call = 0; call < 2; ++call) { // the second call must not trip over the first
            QCOMPARE(r.checkPort(), expected);
            // Failure is reported right after the answer.
            QCOMPARE(reachable.count(), expected == 2 ? call + 1 : 0);
        }
        QCOMPARE(logged("Error:  QNetworkReply::"_q + error), error.isEmpty() ? 0 : 2);
    }

    // What the handler makes of a parsed list (the parse is tst_bridgereplies'): the list replaced
    // wholesale, the debug line, and each warning once however often the bridge sends the same.
    void saveDeviceList_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("entry"); // the one entry as logged, or empty for none
        QTest::addColumn<QString>("warning");
        const QString p3 = "/dev/ttymxc3"_q;
        QTest::newRow("usable") << p3 << QByteArray(R"([{},{},{},{"abailableLMNMembers":[{"serverID":"a","lmnAdress":5}]}])")
                                << 1 << R"(("a", 5))"_q << QString();
        // Polled at address 0 it would read whichever meter has it.
        QTest::newRow("no whole-number address") << p3 << QByteArray(R"([{},{},{},{"abailableLMNMembers":[{"serverID":"a","lmnAdress":3.5}]}])")
                                                 << 1 << QString() << "Meter \"a\" has no whole-number lmnAdress, so it is not polled."_q;
        // Counted in 16 bits, the 65536th member would make the list look empty.
        QTest::newRow("more members than the count holds")
            << p3 << QByteArray("[{},{},{},{\"abailableLMNMembers\":[") + QByteArray("1,").repeated(65535) + "1]}]" << 65535
            << QString() << "Meter \"\" has no whole-number lmnAdress, so it is not polled."_q;
        // The operator would otherwise see no meters and no reason.
        QTest::newRow("unusable body") << p3 << QByteArray("<html>") << 0 << QString()
                                       << "The connection details are unusable, so no meter can be found: it is not JSON."_q;
        // A name whose meters can never be found is a configuration error.
        QTest::newRow("ends in a letter") << "/dev/ttymxcA"_q << QByteArray("[{}]") << 0 << QString()
                                          << "Serial port name \"/dev/ttymxcA\" does not end in a digit, so no meter can be found on it."_q;
        QTest::newRow("empty name") << QString() << QByteArray("[{}]") << 0 << QString() << "No serial port name is set, so no meter can be found."_q;
    }
    void saveDeviceList()
    {
        QFETCH(QString, port);
        QFETCH(QByteArray, body);
        QFETCH(int, count);
        QFETCH(QString, entry);
        QFETCH(QString, warning);
        NetworkHandler h;
        QVERIFY(h.returnDeviceList().isEmpty());
        h.setPort("/dev/ttymxc1"_q); // an earlier list, which every body replaces wholesale
        QCOMPARE(h.saveDeviceList(R"([{},{"abailableLMNMembers":[{"serverID":"old","lmnAdress":1}]}])"), quint16(1));
        h.setPort(port);
        for (int fetch = 0; fetch < 2; ++fetch) {
            QCOMPARE(int(h.saveDeviceList(body)), count);
            QCOMPARE(g_log.lines.last(), "QHash("_q + entry + QLatin1Char(')'));
        }
        QCOMPARE(h.returnDeviceList(), entry.isEmpty() ? QStringList() : QStringList(entry.section(quote, 1, 1)));
        QCOMPARE(g_log.count("no meter can be found"_q) + g_log.count("is not polled"_q), warning.isNull() ? 0 : 1);
        QCOMPARE(logged(warning), warning.isNull() ? 0 : 1);
    }

    void fetchWaitsAndRetriesWhileEmpty()
    {
        Rig r;
        r.sim.setMeters({BridgeSimulator::meterAt(2), BridgeSimulator::meterAt(0), BridgeSimulator::meterAt(3),
                         BridgeSimulator::meterAt(1)});
        r.sim.setFault(Endpoint::ConnectionDetails, Fault{Fault::Kind::EmptyArray, 500, {}, 1});
        QSignalSpy info(r.h.get(), &NetworkHandler::deviceInfoReceived);
        std::uint64_t duringWait = 99;
        QTimer::singleShot(wait() / 2, [&] { duringWait = r.sim.requestCount(); });
        QElapsedTimer clock;
        clock.start();
        r.h->getConnectionDetails();
        QTRY_COMPARE_WITH_TIMEOUT(r.sim.requestCount(), 1_n, 5000);
        QVERIFY(clock.elapsed() >= wait() * 9 / 10); // coarse timers may fire up to 5 % early
        QCOMPARE(duringWait, 0_n);
        QVERIFY(info.wait(5000));
        QVERIFY(clock.elapsed() >= 2 * wait() * 9 / 10); // the retry waited too
        QCOMPARE(r.sim.requestCount(), 2_n);
        QCOMPARE(logged("No devices found, retrying."_q), 1);
        QVERIFY(!r.h->findChild<QTimer *>()->isActive()); // no wake-ups once the fetch is done
        // In the bridge's member order, so that the same bus gives the same slots.
        QCOMPARE(r.h->returnDeviceList(), QStringList({id(2), id(0), id(3), id(1)}));
    }

    void fetchFailureKeepsList_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("line"); // logged once
        QTest::newRow("500") << int(Fault::Kind::HttpStatus) << "Error code:  500"_q;
        const QString tooLarge = "Reply to \"/GetCurrentConnectionDetails\" is larger than the limit of 1048576 bytes, request aborted."_q;
        QTest::newRow("endless") << int(Fault::Kind::EndlessBody) << tooLarge;
        // Read in shares per pass of the event loop, and ended by the limit all the same.
        QTest::newRow("unpaced endless") << int(Fault::Kind::UnpacedEndlessBody) << tooLarge;
        QTest::newRow("oversized") << int(Fault::Kind::OversizedBody) << tooLarge;
        QTest::newRow("header fields") << int(Fault::Kind::EndlessHeaders)
                                       << "Error Reply:  \"The reply's header block exceeds 16384 bytes\""_q;
    }
    void fetchFailureKeepsList()
    {
        QFETCH(int, kind);
        QFETCH(QString, line);
        Rig r;
        QVERIFY(r.fetch());
        r.sim.setFault(Endpoint::ConnectionDetails, Fault{Fault::Kind(kind), 500, {}, -1});
        QSignalSpy reachable(r.h.get(), &NetworkHandler::serverReachable);
        r.h->getConnectionDetails();
        QVERIFY(reachable.wait(5000));
        QCOMPARE(reachable.first().first().toBool(), false);
        QCOMPARE(r.h->returnDeviceList().size(), 4);
        QCOMPARE(logged("Could not get connection details!"_q), 1);
        QCOMPARE(logged(line), 1);
        QTest::qWait(2 * wait()); // no retry follows
        QCOMPARE(r.sim.requestCount(), 2_n);
    }

    // Found by the soak: each caller of a fetch (connection timer, reconnection, setup) used to
    // start a retry chain of its own that ran for as long as the bus stayed empty, so the
    // requests grew with every update period. One fetch at a time, whoever asks; a caller that
    // asks while the request is under way gets one more fetch after it.
    void fetchesDoNotMultiplyWhileEmpty()
    {
        Options options;
        options.meters = 0;
        Rig r(options);
        QSignalSpy info(r.h.get(), &NetworkHandler::deviceInfoReceived);
        QElapsedTimer clock;
        clock.start();
        // The first caller waits; the others ask during its wait and during a request.
        r.sim.setFault(Endpoint::ConnectionDetails, Fault{Fault::Kind::Delay, 500, std::chrono::milliseconds(wait() / 2), 1});
        QTimer::singleShot(wait() / 2, [&] { r.h->getConnectionDetails(); });
        QTimer::singleShot(wait() * 3 / 2, [&] { r.h->getConnectionDetails(); });
        QTimer::singleShot(wait() * 5, [&] { r.h->getConnectionDetails(); });
        r.h->getConnectionDetails();
        QTest::qWait(wait() * 10); // the requests are counted over a fixed time
        const double waits = double(clock.elapsed()) / wait();
        QVERIFY2(double(r.sim.requestCount()) <= waits / 0.95 + 1,
                 qPrintable(QStringLiteral("%1 requests in %2 waits").arg(r.sim.requestCount()).arg(waits)));
        QVERIFY(r.sim.requestCount() >= 5_n);
        QCOMPARE(info.count(), 0);

        // Meters appear: one answer ends the fetch, and the retries with it.
        r.sim.setMeterCount(2);
        QVERIFY(info.wait(5000));
        QTest::qWait(wait() * 3); // nothing further may follow
        QCOMPARE(info.count(), 1);
        const std::uint64_t settled = r.sim.requestCount();
        QTest::qWait(wait() * 3);
        QCOMPARE(r.sim.requestCount(), settled);
    }

    // Asked again while its request is under way: the answer may predate what the caller just
    // did (a port initialisation), so a second fetch, with its full wait, follows the first.
    void fetchAskedDuringItsRequestFetchesOnceMore()
    {
        Rig r;
        r.sim.setFault(Endpoint::ConnectionDetails, Fault{Fault::Kind::Delay, 500, std::chrono::milliseconds(wait()), 1});
        QSignalSpy info(r.h.get(), &NetworkHandler::deviceInfoReceived);
        QTimer::singleShot(wait() * 3 / 2, [&] { r.h->getConnectionDetails(); });
        r.h->getConnectionDetails();
        QVERIFY(info.wait(5000));
        QVERIFY(info.wait(5000));
        QTest::qWait(wait() * 3); // and no third
        QCOMPARE(info.count(), 2);
        QCOMPARE(r.sim.requestCount(), 2_n);
    }

    // A gateway's environment may name proxies; the bridge on the loopback address is always
    // reached directly, and no network session can abort a reply.
    void managerIgnoresProxiesAndSessions()
    {
        QTcpServer proxy; // takes what a proxy would be sent, and answers nothing
        QVERIFY(proxy.listen(QHostAddress::LocalHost, 0));
        const QByteArray proxyUrl = "http://" + QHostAddress(QHostAddress::LocalHost).toString().toLatin1() + ':'
            + QByteArray::number(proxy.serverPort());
        const QList<QByteArray> variables({"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"});
        for (const QByteArray &name : variables)
            qputenv(name.constData(), proxyUrl);
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QHostAddress(QHostAddress::LocalHost).toString(), proxy.serverPort()));
        const auto restore = qScopeGuard([&] {
            for (const QByteArray &name : variables)
                qunsetenv(name.constData());
            QNetworkProxyFactory::setUseSystemConfiguration(false);
            QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::DefaultProxy));
        });

        Rig r;
        const QNetworkAccessManager *manager = r.h->networkAccessManager();
        QCOMPARE(manager->proxy().type(), QNetworkProxy::NoProxy);
        QSignalSpy port(r.h.get(), &NetworkHandler::portReachable);
        r.h->setupConnection(false);
        QVERIFY(port.wait(5000));
        QVERIFY(r.fetch());
        r.h->getValueCall(plus, id(0), 1);
        QVERIFY(r.values.wait(5000));
        QVERIFY(!proxy.hasPendingConnections());
        // Given the empty configuration, and so no session, the manager cannot tell whether the
        // network is there; with its default one it would say.
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        QCOMPARE(manager->networkAccessible(), QNetworkAccessManager::UnknownAccessibility);
        QT_WARNING_POP
    }

    // The manager's replies are read in this thread: no request starts a thread, and one ended by
    // its caller finishes from the event loop, never inside the call that ended it.
    void managerReadsInThisThread()
    {
        Rig r;
        auto *manager = const_cast<QNetworkAccessManager *>(r.h->networkAccessManager());
        const QUrl url("http://127.0.0.1:"_q + QString::number(r.sim.port()) + seg + "/1/"_q + plus);
        // Named threads: Qt's are, the simulator's (one per connection) carry the program's name.
        const auto threads = [] {
            auto comm = [](const QString &path) {
                QFile file(path);
                return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            };
            const QByteArray program = comm("/proc/self/comm"_q);
            int named = 0;
            for (const QString &task : QDir("/proc/self/task"_q).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                named += comm("/proc/self/task/"_q + task + "/comm"_q) != program;
            return named;
        };
        const int before = threads();
        std::unique_ptr<QNetworkReply> read(manager->get(QNetworkRequest(url)));
        QSignalSpy readFinished(read.get(), &QNetworkReply::finished);
        QVERIFY(readFinished.wait(5000));
        QCOMPARE(read->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(read->header(QNetworkRequest::ContentLengthHeader).toLongLong(), read->bytesAvailable());
        QCOMPARE(threads(), before);

        std::unique_ptr<QNetworkReply> ended(manager->get(QNetworkRequest(url)));
        QSignalSpy finished(ended.get(), &QNetworkReply::finished);
        ended->abort();
        QVERIFY(ended->isFinished());
        QCOMPARE(finished.count(), 0);
        QVERIFY(finished.wait(5000));
        QCOMPARE(ended->error(), QNetworkReply::OperationCanceledError);
    }

    // A reply without a numeric "value" must not be written as a reading of 0.
    void valueUnreadable_data()
    {
        QTest::addColumn<int>("kind");
        // Which bodies hold no value is the parser's (tst_bridgereplies). Gzip: never inflated, since
        // the client asks for no encoding.
        QTest::newRow("not JSON") << int(Fault::Kind::NotJson);
        QTest::newRow("gzip") << int(Fault::Kind::GzipBody);
    }
    void valueUnreadable()
    {
        QFETCH(int, kind);
        Rig r;
        QVERIFY(r.fetch());
        r.sim.setMeterFault(1, Fault{Fault::Kind(kind), 500, {}, -1});
        r.h->getValueCall(plus, id(0), 1);
        QVERIFY(r.next.wait(5000));
        QCOMPARE(r.values.count(), 0);
        QCOMPARE(logged("Reply to \""_q + plus + "\" from device \""_q + id(0) + "\" holds no numeric value, nothing reported."_q), 1);
        QCOMPARE(args(r.failed), QList<QVariantList>({{plus, id(0), false}}));
        QCOMPARE(r.sim.requestCount(), 2_n);
    }

    void valueRefused()
    {
        Rig r;
        QVERIFY(r.fetch());
        r.sim.stop();
        QSignalSpy reachable(r.h.get(), &NetworkHandler::serverReachable);
        r.h->getValueCall(plus, id(0), 1);
        r.h->getValueCall(plus, id(1), 1);
        QVERIFY(reachable.wait(5000));
        QTest::qWait(5 * resend()); // no re-send, and only the last refusal reports the server gone
        QCOMPARE(args(reachable), QList<QVariantList>({{false}}));
        QCOMPARE(logged("Could not get value!"_q), 2);
        QCOMPARE(logged("Error:  QNetworkReply::ConnectionRefusedError"_q), 2);
        QCOMPARE(r.values.count() + r.next.count(), 0);
        QCOMPARE(r.failed.count(), 2);
    }

    void valueResend_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("status");   // or the trickle's interval
        QTest::addColumn<int>("count");    // requests the fault lasts for, -1 for ever
        QTest::addColumn<int>("failures"); // attempts that fail
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("aborted"); // the handler's own warning on each failure, if any
        const QString none, tooLarge = "is larger than the limit of 4096 bytes, request aborted."_q,
                            late = "within 1000 ms, request aborted."_q;
        const int hang = int(Fault::Kind::Hang);
        QTest::newRow("404 for ever") << int(Fault::Kind::HttpStatus) << 404 << -1 << 3 << "ContentNotFoundError"_q << none;
        QTest::newRow("500 once") << int(Fault::Kind::HttpStatus) << 500 << 1 << 1 << "InternalServerError"_q << none;
        QTest::newRow("closed for ever") << int(Fault::Kind::Close) << 0 << -1 << 3 << "RemoteHostClosedError"_q << none;
        QTest::newRow("endless for ever") << int(Fault::Kind::EndlessBody) << 0 << -1 << 3 << "OperationCanceledError"_q << tooLarge;
        QTest::newRow("oversized once") << int(Fault::Kind::OversizedBody) << 0 << 1 << 1 << "OperationCanceledError"_q << tooLarge;
        // Timed out: not sent again, it would hang as long once more.
        QTest::newRow("times out once") << hang << 0 << 1 << 1 << "OperationCanceledError"_q << late;
        QTest::newRow("trickles") << int(Fault::Kind::Trickle) << 100 << 1 << 1 << "OperationCanceledError"_q << late;
        // Broken framing ends at the bound the error names, long before the deadline.
        const QString line = "status line or a header line exceeds 102400 bytes"_q,
                      block = "header block exceeds 16384 bytes"_q, chunk = "chunk lines exceed its body by more than 16384 bytes"_q;
        QTest::newRow("unpaced endless") << int(Fault::Kind::UnpacedEndlessBody) << 0 << -1 << 3 << "OperationCanceledError"_q << tooLarge;
        QTest::newRow("status line") << int(Fault::Kind::UnendingStatusLine) << 0 << -1 << 3 << "ProtocolFailure"_q << line;
        QTest::newRow("header line") << int(Fault::Kind::UnendingHeaderLine) << 0 << -1 << 3 << "ProtocolFailure"_q << line;
        QTest::newRow("header fields") << int(Fault::Kind::EndlessHeaders) << 0 << -1 << 3 << "ProtocolFailure"_q << block;
        QTest::newRow("100 Continue") << int(Fault::Kind::EndlessContinue) << 0 << -1 << 3 << "ProtocolFailure"_q << block;
        QTest::newRow("chunk line") << int(Fault::Kind::UnendingChunkLine) << 0 << -1 << 3 << "ProtocolFailure"_q << chunk;
    }
    void valueResend()
    {
        QFETCH(int, kind);
        QFETCH(int, status);
        QFETCH(int, count);
        QFETCH(int, failures);
        QFETCH(QString, error);
        QFETCH(QString, aborted);
        Rig r;
        QVERIFY(r.fetch());
        r.sim.setMeterFault(2, Fault{Fault::Kind(kind), status, std::chrono::milliseconds(status), count});
        QElapsedTimer clock;
        clock.start();
        r.h->getValueCall(plus, id(1), 1);
        QVERIFY(r.next.wait(10000));
        const bool timedOut = aborted.startsWith("within"_q);
        const bool givenUp = failures == I::valueCallAttempts || timedOut;
        const int sends = failures + (givenUp ? 0 : 1);
        QVERIFY(clock.elapsed() >= (sends - 1) * resend() * 9 / 10);
        if (timedOut) // the deadline holds for a reply that trickles, too
            QVERIFY2(clock.elapsed() >= 950 && clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(5 * resend()); // and then nothing more
        QCOMPARE(r.next.count(), 1);
        QCOMPARE(r.values.count(), givenUp ? 0 : 1);
        QCOMPARE(args(r.failed), givenUp ? QList<QVariantList>({{plus, id(1), timedOut}}) : QList<QVariantList>());
        QCOMPARE(logged("Error in  \""_q + plus + "\" for  \""_q + id(1) + quote), failures);
        QCOMPARE(logged("Server likely still running. Call simply did not go through"_q), timedOut ? 0 : failures);
        QCOMPARE(logged("Error:  QNetworkReply::"_q + error), failures);
        QCOMPARE(aborted.isNull() ? 0 : g_log.count(aborted), aborted.isNull() ? 0 : failures);
        QCOMPARE(logged("Giving up on \""_q + plus + "\" for device \""_q + id(1) + "\" after 3 attempts."_q),
                 givenUp && !timedOut ? 1 : 0);
        if (kind != int(Fault::Kind::Close)) // a GET may be repeated once on a closed kept connection
            QCOMPARE(int(r.sim.requestCount()), 1 + sends);
    }

    void valueUnknownDevice()
    {
        Rig r;
        QVERIFY(r.fetch());
        r.h->getValueCall(plus, "gone"_q, 1);
        QCOMPARE(r.next.count(), 0); // the caller advances first
        QVERIFY(r.next.wait(5000));
        // Counted alongside a real call: one nextDeviceUpdate once both are done.
        r.h->getValueCall(plus, id(0), 1);
        r.h->getValueCall(plus, "gone"_q, 1);
        QVERIFY(r.values.wait(5000));
        QTRY_COMPARE_WITH_TIMEOUT(r.next.count(), 2, 5000);
        QTest::qWait(5 * resend()); // nothing further may follow
        QCOMPARE(r.next.count(), 2);
        QCOMPARE(r.values.count(), 1);
        QCOMPARE(args(r.failed), QList<QVariantList>({{plus, "gone"_q, false}, {plus, "gone"_q, false}}));
        QCOMPARE(r.sim.requestCount(), 2_n);
        QVERIFY(!r.h->returnDeviceList().contains("gone"_q));
        QCOMPARE(logged("Device \"gone\" is not in the device list, call \""_q + plus + "\" not sent."_q), 2);
    }

    // As the plugin calls: each call from the nextDeviceUpdate() that follows the previous call's
    // value. Every value reaches its meter, and all calls share one connection.
    void valueCallsShareOneConnection()
    {
        Options options;
        options.meters = 32;
        Rig r(options);
        QVERIFY(r.fetch());
        // A new cookie with every reply: kept, they would grow every request without bound.
        r.sim.setFault(Endpoint::Value, Fault{Fault::Kind::NewCookie, 500, {}, -1});
        r.sim.clearRequests();
        QHash<QString, int> addresses;
        for (const Meter &meter : r.sim.meters())
            addresses.insert(qs(meter.serverId), meter.lmnAddress);
        const QStringList ids = r.h->returnDeviceList();
        const QStringList calls({plus, "GeActiceEnergyMinusTotal"_q});
        int sent = 0, received = 0, misplaced = 0;
        bool valueFirst = true;
        connect(r.h.get(), &NetworkHandler::receivedValue, this, [&](const QString &, const QString &device, double value) {
            ++received;
            misplaced += BridgeSimulator::addressOfValue(value) != addresses.value(device);
        });
        auto step = [&] {
            valueFirst &= received == sent;
            if (sent < 64) {
                const int i = sent++;
                r.h->getValueCall(QString(calls.at(i % 2)), ids.at(i / 2), 1); // the caller's strings may vanish at once
            }
        };
        connect(r.h.get(), &NetworkHandler::nextDeviceUpdate, this, step);
        step();
        QTRY_COMPARE_WITH_TIMEOUT(received, 64, 30000);
        QVERIFY(valueFirst);
        QCOMPARE(misplaced, 0);
        QCOMPARE(targets(r.sim).at(8), "GET "_q + seg + "/5/"_q + plus);
        QCOMPARE(logged("Trying to get Value  \""_q + plus + "\" for device  \""_q + id(4) + quote), 1);
        QCOMPARE(logged("Call  \""_q + plus + "\" to device  \""_q + id(4) + "\" successful."_q), 1);
        QCOMPARE(r.sim.requestCount(), 64_n);
        QCOMPARE(r.sim.acceptedConnections(), 1_n);
        const QUrl bridge("http://127.0.0.1:"_q + QString::number(r.sim.port()) + seg);
        QVERIFY(r.h->networkAccessManager()->cookieJar()->cookiesForUrl(bridge).isEmpty());
    }

    // Deleting the handler at awkward moments: nothing may run on it afterwards and no wait may
    // hang. The last rows delete it in the slot of serverReachable(false) that follows a request
    // the handler itself ended (deadline, size limit): Qt is still inside that request's abort().
    void deletion_data()
    {
        QTest::addColumn<int>("when");
        QTest::addColumn<int>("endpoint"); // with `fault`, for the rows that end a request
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("reached"); // serverReachable emissions
        QTest::addColumn<int>("sent");    // at most this many requests
        const int none = int(Fault::Kind::None), details = int(Endpoint::ConnectionDetails);
        QTest::newRow("request in flight") << 0 << 0 << none << 0 << 1;
        QTest::newRow("fetch wait") << 1 << 0 << none << 0 << 0;
        QTest::newRow("retry wait inside a reply") << 2 << 0 << none << 0 << 1;
        QTest::newRow("port check under way") << 3 << 0 << none << 0 << 1;
        QTest::newRow("slot of serverReachable(true)") << 4 << 0 << none << 1 << 1;
        QTest::newRow("slot of receivedValue") << 5 << 0 << none << 0 << 1;
        QTest::newRow("slot of serverReachable(false) after refusal") << 6 << 0 << none << 1 << 1;
        QTest::newRow("slot of checkInitializedFinished(2)") << 7 << 0 << none << 0 << 0;
        const int hang = int(Fault::Kind::Hang);
        QTest::newRow("deadline: probe") << 8 << int(Endpoint::Probe) << hang << 1 << 1;
        QTest::newRow("deadline: port initialisation") << 8 << int(Endpoint::InitializePort) << hang << 2 << 2;
        QTest::newRow("deadline: connection details") << 8 << details << hang << 1 << 1;
        QTest::newRow("deadline: port check") << 9 << details << hang << 1 << 1;
        QTest::newRow("size limit: announced") << 8 << details << int(Fault::Kind::OversizedBody) << 1 << 1;
        QTest::newRow("size limit: body") << 8 << details << int(Fault::Kind::EndlessBody) << 1 << 1;
        // The plugin's way: retired, then deleted later, as the probe's reply finishes.
        QTest::newRow("retired before its handler runs") << 10 << 0 << none << 0 << 1;
    }
    void deletion()
    {
        QFETCH(int, when);
        QFETCH(int, endpoint);
        QFETCH(int, fault);
        QFETCH(int, reached);
        QFETCH(int, sent);
        Rig r;
        if (when == 5 || when == 6)
            QVERIFY(r.fetch());
        r.sim.clearRequests();
        NetworkHandler *h = r.h.get();
        auto kill = [&] { r.h.reset(); };
        QSignalSpy next(h, &NetworkHandler::nextDeviceUpdate);
        QSignalSpy reachable(h, &NetworkHandler::serverReachable);
        bool handlerRan = false;
        if (fault != int(Fault::Kind::None)) {
            r.sim.setFault(Endpoint(endpoint), Fault{Fault::Kind(fault), 500, {}, -1});
            connect(h, &NetworkHandler::serverReachable, [&](bool up) {
                if (!up)
                    kill();
            });
        }
        switch (when) {
        case 0:
            r.sim.setFault(Endpoint::ConnectionDetails, Fault{Fault::Kind::Delay, 500, std::chrono::milliseconds(wait()), -1});
            h->sendRequestGet("/GetCurrentConnectionDetails"_q, [&](QNetworkReply *) { handlerRan = true; }, QString());
            QTRY_COMPARE_WITH_TIMEOUT(r.sim.requestCount(), 1_n, 5000);
            kill();
            break;
        case 1:
            QTimer::singleShot(wait() / 2, kill);
            h->getConnectionDetails();
            break;
        case 2:
            r.sim.setFault(Endpoint::ConnectionDetails, Fault{Fault::Kind::EmptyArray, 500, {}, -1});
            g_log.onLine = [&](QtMsgType, const QString &line) {
                if (line == "No devices found, retrying."_q)
                    QTimer::singleShot(wait() / 2, kill);
            };
            h->getConnectionDetails();
            break;
        case 3:
            r.sim.setFault(Endpoint::ConnectionDetails, Fault{Fault::Kind::Hang, 500, {}, -1});
            QTimer::singleShot(wait() / 2, kill);
            h->checkPortInitialized();
            break;
        case 4:
            connect(h, &NetworkHandler::serverReachable, kill);
            h->setupConnection(false);
            break;
        case 5:
            connect(h, &NetworkHandler::receivedValue, kill);
            h->getValueCall(plus, id(0), 1);
            break;
        case 6:
            r.sim.stop();
            connect(h, &NetworkHandler::serverReachable, kill);
            h->getValueCall(plus, id(0), 1);
            break;
        case 7:
            r.sim.stop();
            connect(h, &NetworkHandler::checkInitializedFinished, kill);
            h->checkPortInitialized();
            break;
        case 8:
            if (endpoint == int(Endpoint::ConnectionDetails))
                h->getConnectionDetails();
            else
                h->setupConnection(false);
            break;
        case 9: h->checkPortInitialized(); break;
        case 10:
            // Queued from here, it runs after the reply has finished and before its handler.
            connect(h->networkAccessManager(), &QNetworkAccessManager::finished, [&] {
                QMetaObject::invokeMethod(
                    h,
                    [&] {
                        h->retire();
                        r.h.release()->deleteLater();
                    },
                    Qt::QueuedConnection);
            });
            h->setupConnection(false);
            break;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!r.h, 5000);
        QTest::qWait(2 * wait()); // nothing may run on it in this time
        QVERIFY(!handlerRan);
        QCOMPARE(next.count(), 0);
        QCOMPARE(reachable.count(), reached);
        // A deleted handler sends nothing more: at most the request that was under way.
        QVERIFY(r.sim.requestCount() <= std::uint64_t(sent));
    }
};

int main(int argc, char **argv)
{
    // Read once per process, so before anything asks for an interval.
    qputenv("QELLMN_TIME_SCALE", "0.02");
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules("QelLmn.debug=true"_q);
    TestNetworkHandler test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_networkhandler.moc"
