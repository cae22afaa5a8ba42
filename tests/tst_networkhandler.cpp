// NetworkHandler against the in-process bridge simulator over loopback HTTP: the road to the
// bridge, the server port, the meter list, and the network access manager it uses.
#include "networkhandlertest.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkConfiguration>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QTcpServer>

class TestNetworkHandler : public NetworkHandlerSuite
{
    Q_OBJECT

private slots:
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
        QCOMPARE(got,
                 QStringList({"GET /%252Fdev%252Ftty%2520%25C3%2584_~.-3/InitializePort"
                              "?baudrate=921600&databits=8&parity=0&stopBits=1"_q,
                              "GET /a%25b%20c"_q, "GET /x"_q, "GET /x?baudrate=921600&databits=8&parity=0&stopBits=1"_q,
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
        QCOMPARE(g_log.lines.first(),
                 "Server port \""_q + port + "\" is not a whole number from 1 to 65535; no request will be sent."_q);
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
                                           "No valid server port is set, call \""_q + plus + "\" for device \""_q
                                               + id(0) + "\" not sent."_q}));
        QCOMPARE(r.sim.acceptedConnections(), 0_n);
    }

    void setupConnection_data()
    {
        QTest::addColumn<bool>("reinitialize");
        QTest::addColumn<QString>("second");
        QTest::newRow("first start") << false
                                     << "GET "_q + seg
                                            + "/InitializePort?baudrate=921600&databits=8&parity=0&stopBits=1"_q;
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
        const QString path = reinitialize ? "/%2Fdev%2Fttymxc3/ReinizializeLMNBus"_q
                                          : "/%2Fdev%2Fttymxc3/InitializePort"_q;
        QCOMPARE(g_log.lines,
                 QStringList({"Setting up server connection"_q, "Send Head Request \"/swagger/index.html\""_q,
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
        h.sendRequestGet(
            "/GetCurrentConnectionDetails"_q,
            [&](QNetworkReply *reply) {
                why = NetworkHandler::abortOf(reply);
                done = true;
            },
            QString());
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
            QVERIFY(target == "HEAD /swagger/index.html"_q
                    || (reached.size() == 2 && target.contains("/InitializePort?"_q)));
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
        QTest::newRow("usable") << p3
                                << QByteArray(R"([{},{},{},{"abailableLMNMembers":[{"serverID":"a","lmnAdress":5}]}])")
                                << 1 << R"(("a", 5))"_q << QString();
        // Polled at address 0 it would read whichever meter has it.
        QTest::newRow("no whole-number address")
            << p3 << QByteArray(R"([{},{},{},{"abailableLMNMembers":[{"serverID":"a","lmnAdress":3.5}]}])") << 1
            << QString() << "Meter \"a\" has no whole-number lmnAdress, so it is not polled."_q;
        // Counted in 16 bits, the 65536th member would make the list look empty.
        QTest::newRow("more members than the count holds")
            << p3 << QByteArray("[{},{},{},{\"abailableLMNMembers\":[") + QByteArray("1,").repeated(65535) + "1]}]"
            << 65535 << QString() << "Meter \"\" has no whole-number lmnAdress, so it is not polled."_q;
        // The operator would otherwise see no meters and no reason.
        QTest::newRow("unusable body")
            << p3 << QByteArray("<html>") << 0 << QString()
            << "The connection details are unusable, so no meter can be found: it is not JSON."_q;
        // A name whose meters can never be found is a configuration error.
        QTest::newRow("ends in a letter")
            << "/dev/ttymxcA"_q << QByteArray("[{}]") << 0 << QString()
            << "Serial port name \"/dev/ttymxcA\" does not end in a digit, so no meter can be found on it."_q;
        QTest::newRow("empty name") << QString() << QByteArray("[{}]") << 0 << QString()
                                    << "No serial port name is set, so no meter can be found."_q;
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
        const QString tooLarge =
            "Reply to \"/GetCurrentConnectionDetails\" is larger than the limit of 1048576 bytes, request aborted."_q;
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
        r.sim.setFault(Endpoint::ConnectionDetails,
                       Fault{Fault::Kind::Delay, 500, std::chrono::milliseconds(wait() / 2), 1});
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
        r.sim.setFault(Endpoint::ConnectionDetails,
                       Fault{Fault::Kind::Delay, 500, std::chrono::milliseconds(wait()), 1});
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
        QNetworkProxy::setApplicationProxy(QNetworkProxy(
            QNetworkProxy::HttpProxy, QHostAddress(QHostAddress::LocalHost).toString(), proxy.serverPort()));
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
};

int main(int argc, char **argv)
{
    return runNetworkHandlerSuite<TestNetworkHandler>(argc, argv);
}

#include "tst_networkhandler.moc"
