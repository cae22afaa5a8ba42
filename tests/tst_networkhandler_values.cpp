// NetworkHandler against the in-process bridge simulator over loopback HTTP: value calls, their
// failures and re-sends, and the handler deleted while requests are under way.
#include "networkhandlertest.h"

#include <QElapsedTimer>
#include <QNetworkCookieJar>
#include <QNetworkReply>

class TestNetworkHandlerValues : public NetworkHandlerSuite
{
    Q_OBJECT

private slots:
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
        QCOMPARE(logged("Reply to \""_q + plus + "\" from device \""_q + id(0)
                        + "\" holds no numeric value, nothing reported."_q),
                 1);
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
        QTest::newRow("404 for ever") << int(Fault::Kind::HttpStatus) << 404 << -1 << 3 << "ContentNotFoundError"_q
                                      << none;
        QTest::newRow("500 once") << int(Fault::Kind::HttpStatus) << 500 << 1 << 1 << "InternalServerError"_q << none;
        QTest::newRow("closed for ever") << int(Fault::Kind::Close) << 0 << -1 << 3 << "RemoteHostClosedError"_q
                                         << none;
        QTest::newRow("endless for ever")
            << int(Fault::Kind::EndlessBody) << 0 << -1 << 3 << "OperationCanceledError"_q << tooLarge;
        QTest::newRow("oversized once") << int(Fault::Kind::OversizedBody) << 0 << 1 << 1 << "OperationCanceledError"_q
                                        << tooLarge;
        // Timed out: not sent again, it would hang as long once more.
        QTest::newRow("times out once") << hang << 0 << 1 << 1 << "OperationCanceledError"_q << late;
        QTest::newRow("trickles") << int(Fault::Kind::Trickle) << 100 << 1 << 1 << "OperationCanceledError"_q << late;
        // Broken framing ends at the bound the error names, long before the deadline.
        const QString line = "status line or a header line exceeds 102400 bytes"_q,
                      block = "header block exceeds 16384 bytes"_q,
                      chunk = "chunk lines exceed its body by more than 16384 bytes"_q;
        QTest::newRow("unpaced endless") << int(Fault::Kind::UnpacedEndlessBody) << 0 << -1 << 3
                                         << "OperationCanceledError"_q << tooLarge;
        QTest::newRow("status line") << int(Fault::Kind::UnendingStatusLine) << 0 << -1 << 3 << "ProtocolFailure"_q
                                     << line;
        QTest::newRow("header line") << int(Fault::Kind::UnendingHeaderLine) << 0 << -1 << 3 << "ProtocolFailure"_q
                                     << line;
        QTest::newRow("header fields") << int(Fault::Kind::EndlessHeaders) << 0 << -1 << 3 << "ProtocolFailure"_q
                                       << block;
        QTest::newRow("100 Continue") << int(Fault::Kind::EndlessContinue) << 0 << -1 << 3 << "ProtocolFailure"_q
                                      << block;
        QTest::newRow("chunk line") << int(Fault::Kind::UnendingChunkLine) << 0 << -1 << 3 << "ProtocolFailure"_q
                                    << chunk;
        QTest::newRow("gzip transfer coding") << int(Fault::Kind::GzipTransfer) << 0 << -1 << 3 << "ProtocolFailure"_q
                                              << "gzip, chunked\\\" is not supported, only chunked"_q;
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
        // The deadline holds for a reply that trickles, too; its coarse timer may fire 5 % early,
        // and the clocks round to whole milliseconds.
        if (timedOut)
            QVERIFY2(clock.elapsed() >= 940 && clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
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
        connect(r.h.get(), &NetworkHandler::receivedValue, this,
                [&](const QString &, const QString &device, double value) {
                    ++received;
                    misplaced += BridgeSimulator::addressOfValue(value) != addresses.value(device);
                });
        auto step = [&] {
            valueFirst &= received == sent;
            if (sent < 64) {
                const int i = sent++;
                r.h->getValueCall(QString(calls.at(i % 2)), ids.at(i / 2),
                                  1); // the caller's strings may vanish at once
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
            r.sim.setFault(Endpoint::ConnectionDetails,
                           Fault{Fault::Kind::Delay, 500, std::chrono::milliseconds(wait()), -1});
            h->sendRequestGet(
                "/GetCurrentConnectionDetails"_q, [&](QNetworkReply *) { handlerRan = true; }, QString());
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
    return runNetworkHandlerSuite<TestNetworkHandlerValues>(argc, argv);
}

#include "tst_networkhandler_values.moc"
