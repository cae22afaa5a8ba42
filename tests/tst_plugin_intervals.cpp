// The plugin's intervals as the product runs them, without the test seam.
#include <bridgesimulator.h>
#include <testrig.h>

#include <QTimer>
#include <QtTest>

class TestPluginIntervals : public QObject
{
    Q_OBJECT

private slots:
    void realIntervals()
    {
        QVERIFY(qEnvironmentVariableIsEmpty("QELLMN_TIME_SCALE"));
        lmnsim::BridgeSimulator sim;
        QVERIFY(sim.start(0));
        rig::PluginHost host;
        QString error;
        QVERIFY2(host.load(QStringLiteral(VEYRA_PLUGIN_DIR), &error), qPrintable(error));
        QVERIFY(host.addGateway(QString::number(sim.port())));

        const QList<QTimer *> timers = host.pluginTimers();
        QCOMPARE(timers.size(), 2);
        QTimer *connectionTimer = timers.at(0)->isSingleShot() ? timers.at(0) : timers.at(1);
        QTimer *retryTimer = timers.at(0)->isSingleShot() ? timers.at(1) : timers.at(0);
        QCOMPARE(connectionTimer->interval(), 480000);
        QVERIFY(connectionTimer->isSingleShot());
        QVERIFY(connectionTimer->isActive());
        QCOMPARE(retryTimer->interval(), 10000);
        QVERIFY(!retryTimer->isSingleShot());

        // The update timer: 600 units of the host's timer manager, one second each by default,
        // there once the setup has finished.
        PluginTimerManager *timerManager = host.manager->hardwareManager()->pluginTimerManager();
        QTRY_COMPARE(timerManager->timers().size(), 1);
        const QList<PluginTimer *> pluginTimers = timerManager->timers();
        QCOMPARE(pluginTimers.first()->period(), 600);
        QCOMPARE(pluginTimers.first()->intervalMs(), 600000);
        QVERIFY(pluginTimers.first()->isRunning());
    }
};

QTEST_GUILESS_MAIN(TestPluginIntervals)
#include "tst_plugin_intervals.moc"
