// The real intervals, without the time-scale seam: the wait before a connection-details
// request and the deadline of every request.
#include "bridgesimulator.h"
#include "networkhandler.h"
#include "qellmnintervals.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

class TestNetworkHandlerRealtime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCOMPARE(QelLmnIntervals::timeScale(), 1.0);
        QVERIFY(m_sim.start(0));
        m_handler.setUrl(QString::number(m_sim.port()));
        m_handler.setPort(QStringLiteral("/dev/ttymxc3"));
    }

    void fetchWaitsTenSeconds()
    {
        QSignalSpy info(&m_handler, &NetworkHandler::deviceInfoReceived);
        std::uint64_t sentBefore = 99;
        QTimer::singleShot(8500, [&] { sentBefore = m_sim.requestCount(); });
        QElapsedTimer clock;
        clock.start();
        m_handler.getConnectionDetails();
        QVERIFY(info.wait(15000));
        const qint64 waited = clock.elapsed();
        // A coarse timer may fire up to 5 % either side.
        QVERIFY2(waited >= 9400 && waited < 12000, qPrintable(QString::number(waited)));
        QCOMPARE(sentBefore, std::uint64_t(0));
        QCOMPARE(m_sim.requestCount(), std::uint64_t(1));
    }

    // An overall deadline, not one of inactivity only: a reply that trickles ends in time too.
    void requestsTimeOutAfterThirtySeconds()
    {
        using lmnsim::Fault;
        m_sim.setFault(lmnsim::Endpoint::ConnectionDetails,
                       Fault{Fault::Kind::Trickle, 0, std::chrono::milliseconds(500), -1});
        m_sim.setFault(lmnsim::Endpoint::Probe, Fault{Fault::Kind::Hang, 0, {}, -1});
        QList<qint64> ended;
        QElapsedTimer clock;
        clock.start();
        auto note = [&](QNetworkReply *reply) {
            QCOMPARE(NetworkHandler::abortOf(reply), NetworkHandler::Abort::TimedOut);
            ended << clock.elapsed();
        };
        m_handler.sendRequestGet(QStringLiteral("/GetCurrentConnectionDetails"), note, QString());
        m_handler.sendRequestHead(QStringLiteral("/swagger/index.html"), note);
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 40000);
        for (const qint64 ms : qAsConst(ended))
            QVERIFY2(ms >= 29500 && ms < 33000, qPrintable(QString::number(ms)));
        m_sim.clearFaults();
    }

private:
    lmnsim::BridgeSimulator m_sim;
    NetworkHandler m_handler;
};

int main(int argc, char **argv)
{
    qunsetenv("QELLMN_TIME_SCALE");
    QCoreApplication app(argc, argv);
    TestNetworkHandlerRealtime test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_networkhandler_realtime.moc"
