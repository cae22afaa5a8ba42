// Plugin timers and the requests the host hands a plugin, on their own.

#include "libveyratest.h"

#include <veyra/hostrequests.h>
#include <veyra/integrationplugin.h>
#include <veyra/plugintimer.h>

#include <QPointer>
#include <QtTest>

#include <limits>

class TestLibVeyraTimers : public QObject
{
    Q_OBJECT

private slots:
    void timerIntervalIsPeriodTimesUnit()
    {
        PluginTimerManager manager;
        QCOMPARE(manager.unitMs(), 1000.0);
        PluginTimer *timer = manager.registerTimer(600);
        QCOMPARE(timer->period(), 600);
        QCOMPARE(timer->intervalMs(), 600000);
        QVERIFY(!timer->isRunning());

        // The unit applies to timers registered before and after it is set.
        manager.setUnitMs(5);
        QCOMPARE(timer->intervalMs(), 3000);
        PluginTimer *later = manager.registerTimer(3);
        QCOMPARE(later->intervalMs(), 15);
        QCOMPARE(manager.timers(), (QList<PluginTimer *>{timer, later}));

        // Fractions of a millisecond add up over a period; an interval is never below 1 ms.
        manager.setUnitMs(0.5);
        QCOMPARE(timer->intervalMs(), 300);
        QCOMPARE(later->intervalMs(), 2);
        manager.setUnitMs(0.01);
        QCOMPARE(timer->intervalMs(), 6);
        QCOMPARE(later->intervalMs(), 1);

        // A long unit times a long period stays a long positive interval, not an overflow.
        manager.setUnitMs(10000000);
        QCOMPARE(timer->intervalMs(), std::numeric_limits<int>::max());

        // A unit that is no length gives the default second back.
        for (double unit : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN()}) {
            manager.setUnitMs(5);
            manager.setUnitMs(unit);
            QCOMPARE(manager.unitMs(), 1000.0);
            QCOMPARE(timer->intervalMs(), 600000);
        }
    }

    void unregisteredTimerNeverFiresAgain()
    {
        PluginTimerManager manager;
        manager.setUnitMs(1);
        QPointer<PluginTimer> gone = manager.registerTimer(5);
        PluginTimer *kept = manager.registerTimer(5);
        QSignalSpy goneSpy(gone.data(), &PluginTimer::timeout);
        QSignalSpy keptSpy(kept, &PluginTimer::timeout);
        gone->start();
        kept->start();
        QTRY_VERIFY(goneSpy.count() >= 2);

        manager.unregisterTimer(gone);
        QVERIFY(!manager.timers().contains(gone.data()));
        const int firedBefore = goneSpy.count();
        const int keptBefore = keptSpy.count();
        // The timer still registered goes on firing meanwhile, so the event loop ran long enough.
        QTRY_VERIFY(keptSpy.count() >= keptBefore + 3);
        QTRY_VERIFY(gone.isNull());
        QCOMPARE(goneSpy.count(), firedBefore);

        manager.unregisterTimer(kept);
        QVERIFY(manager.timers().isEmpty());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not registered")));
        manager.unregisterTimer(kept);
    }

    void requestFinishedTwiceKeepsTheFirstResult()
    {
        const ThingClass box = boxClass();
        Thing thing(box, ThingId::createId());
        ThingSetupInfo info(&thing);
        QCOMPARE(info.thing(), &thing);
        QVERIFY(!info.isFinished());
        QSignalSpy spy(&info, &HostRequest::finished);

        info.finish(Thing::ThingErrorHardwareNotAvailable, QStringLiteral("first"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("finished twice")));
        info.finish(Thing::ThingErrorNoError, QStringLiteral("second"));
        QVERIFY(info.isFinished());
        QCOMPARE(spy.count(), 1);
        QCOMPARE(info.status(), Thing::ThingErrorHardwareNotAvailable);
        QCOMPARE(info.displayMessage(), QStringLiteral("first"));
    }

    void basePluginAnswersEveryRequest()
    {
        // A plugin that overrides nothing must still finish what the host hands it, or the host
        // would wait for ever.
        IntegrationPlugin plugin;
        QVERIFY(plugin.myThings().isEmpty());
        QVERIFY(!plugin.hardwareManager());

        const ThingClass box = boxClass();
        Thing thing(box, ThingId::createId());
        ThingSetupInfo setup(&thing);
        plugin.setupThing(&setup);
        QVERIFY(setup.isFinished());
        QCOMPARE(setup.status(), Thing::ThingErrorNoError);

        ThingDiscoveryInfo discovery;
        plugin.discoverThings(&discovery);
        ThingActionInfo action;
        plugin.executeAction(&action);
        ThingPairingInfo pairing;
        plugin.confirmPairing(&pairing, QStringLiteral("user"), QStringLiteral("secret"));
        for (HostRequest *request : std::initializer_list<HostRequest *>{&discovery, &action, &pairing}) {
            QVERIFY(request->isFinished());
            QCOMPARE(request->status(), Thing::ThingErrorUnsupportedFeature);
        }

        HardwareManager hardware;
        Things things{&thing};
        plugin.setHostContext(&hardware, [&things] { return things; });
        QCOMPARE(plugin.hardwareManager(), &hardware);
        QCOMPARE(plugin.myThings(), things);
    }
};

QTEST_GUILESS_MAIN(TestLibVeyraTimers)

#include "tst_libveyra_timers.moc"
