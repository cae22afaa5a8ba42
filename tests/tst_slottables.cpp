// The meter slot tables of the plugin object and the guard on its energy totals, tested on the
// classes themselves.
#include "integrationpluginqellmn.h"
#include "plugininfo.h"
#include "totalguard.h"

#include <QSet>

#include <functional>
#include <QtTest>

namespace {
// References: the constants are initialised at load time, after this file's own statics may be.
using ClassRef = std::reference_wrapper<const ThingClassId>;
using ParamRef = std::reference_wrapper<const ParamTypeId>;
const ClassRef meterClasses[] = {
    qelLmnMeter1ThingClassId,  qelLmnMeter2ThingClassId,  qelLmnMeter3ThingClassId,  qelLmnMeter4ThingClassId,
    qelLmnMeter5ThingClassId,  qelLmnMeter6ThingClassId,  qelLmnMeter7ThingClassId,  qelLmnMeter8ThingClassId,
    qelLmnMeter9ThingClassId,  qelLmnMeter10ThingClassId, qelLmnMeter11ThingClassId, qelLmnMeter12ThingClassId,
    qelLmnMeter13ThingClassId, qelLmnMeter14ThingClassId, qelLmnMeter15ThingClassId, qelLmnMeter16ThingClassId,
    qelLmnMeter17ThingClassId, qelLmnMeter18ThingClassId, qelLmnMeter19ThingClassId, qelLmnMeter20ThingClassId,
    qelLmnMeter21ThingClassId, qelLmnMeter22ThingClassId, qelLmnMeter23ThingClassId, qelLmnMeter24ThingClassId,
    qelLmnMeter25ThingClassId, qelLmnMeter26ThingClassId, qelLmnMeter27ThingClassId, qelLmnMeter28ThingClassId,
    qelLmnMeter29ThingClassId, qelLmnMeter30ThingClassId, qelLmnMeter31ThingClassId, qelLmnMeter32ThingClassId,
};
const ParamRef deviceIdParams[] = {
    qelLmnMeter1ThingDeviceIDParamTypeId,  qelLmnMeter2ThingDeviceIDParamTypeId,  qelLmnMeter3ThingDeviceIDParamTypeId,
    qelLmnMeter4ThingDeviceIDParamTypeId,  qelLmnMeter5ThingDeviceIDParamTypeId,  qelLmnMeter6ThingDeviceIDParamTypeId,
    qelLmnMeter7ThingDeviceIDParamTypeId,  qelLmnMeter8ThingDeviceIDParamTypeId,  qelLmnMeter9ThingDeviceIDParamTypeId,
    qelLmnMeter10ThingDeviceIDParamTypeId, qelLmnMeter11ThingDeviceIDParamTypeId, qelLmnMeter12ThingDeviceIDParamTypeId,
    qelLmnMeter13ThingDeviceIDParamTypeId, qelLmnMeter14ThingDeviceIDParamTypeId, qelLmnMeter15ThingDeviceIDParamTypeId,
    qelLmnMeter16ThingDeviceIDParamTypeId, qelLmnMeter17ThingDeviceIDParamTypeId, qelLmnMeter18ThingDeviceIDParamTypeId,
    qelLmnMeter19ThingDeviceIDParamTypeId, qelLmnMeter20ThingDeviceIDParamTypeId, qelLmnMeter21ThingDeviceIDParamTypeId,
    qelLmnMeter22ThingDeviceIDParamTypeId, qelLmnMeter23ThingDeviceIDParamTypeId, qelLmnMeter24ThingDeviceIDParamTypeId,
    qelLmnMeter25ThingDeviceIDParamTypeId, qelLmnMeter26ThingDeviceIDParamTypeId, qelLmnMeter27ThingDeviceIDParamTypeId,
    qelLmnMeter28ThingDeviceIDParamTypeId, qelLmnMeter29ThingDeviceIDParamTypeId, qelLmnMeter30ThingDeviceIDParamTypeId,
    qelLmnMeter31ThingDeviceIDParamTypeId, qelLmnMeter32ThingDeviceIDParamTypeId,
};
} // namespace

class TestSlotTables : public QObject
{
    Q_OBJECT

private slots:
    void emptyBeforeInit()
    {
        IntegrationPluginQelLmn plugin;
        QVERIFY(plugin.deviceIdParamTypeId(qelLmnMeter1ThingClassId).isNull());
        QVERIFY(plugin.findFreeSlot().isNull());
    }

    void initFillsBothTables()
    {
        IntegrationPluginQelLmn plugin;
        plugin.init();
        for (int slot = 0; slot < 32; ++slot) {
            QCOMPARE(plugin.deviceIdParamTypeId(meterClasses[slot]), deviceIdParams[slot].get());
            QVERIFY(plugin.isSlotAvailable(meterClasses[slot]));
        }
        QVERIFY(plugin.deviceIdParamTypeId(lmnThingClassId).isNull());
        QVERIFY(!plugin.isSlotAvailable(lmnThingClassId));

        // A second init changes nothing.
        plugin.markSlotUsed(meterClasses[4]);
        plugin.init();
        for (int slot = 0; slot < 32; ++slot) {
            QCOMPARE(plugin.deviceIdParamTypeId(meterClasses[slot]), deviceIdParams[slot].get());
            QVERIFY(plugin.isSlotAvailable(meterClasses[slot]));
        }
    }

    void freeSlotsAreTakenOnceEach()
    {
        IntegrationPluginQelLmn plugin;
        plugin.init();
        QSet<ThingClassId> taken;
        for (int i = 0; i < 32; ++i) {
            const ThingClassId slot = plugin.findFreeSlot();
            QVERIFY2(!slot.isNull(), "a free slot must be found while any is available");
            QVERIFY2(!taken.contains(slot), "a used slot was offered again");
            QVERIFY(plugin.isSlotAvailable(slot));
            plugin.markSlotUsed(slot);
            taken.insert(slot);
        }
        QSet<ThingClassId> all;
        for (const ThingClassId &slot : meterClasses)
            all.insert(slot);
        QCOMPARE(taken, all);
        QVERIFY(plugin.findFreeSlot().isNull());

        plugin.markSlotAvailable(meterClasses[20]);
        QCOMPARE(plugin.findFreeSlot(), meterClasses[20].get());
    }

    void resetFreesUsedSlots()
    {
        IntegrationPluginQelLmn plugin;
        plugin.init();
        plugin.markSlotUsed(meterClasses[2]);
        plugin.markSlotUsed(meterClasses[6]);
        QVERIFY(!plugin.isSlotAvailable(meterClasses[2]));
        plugin.initAvailableClassIds();
        for (const ThingClassId &slot : meterClasses)
            QVERIFY(plugin.isSlotAvailable(slot));
    }

    // One reading per update period (600 s) unless a time is given. Verdicts: W written,
    // R restarted, I invalid, L lower, S too steep.
    void totalGuard_data()
    {
        QTest::addColumn<double>("stored");
        QTest::addColumn<QList<double>>("readings");
        QTest::addColumn<QList<double>>("seconds");
        QTest::addColumn<QString>("verdicts");
        const double nan = qQNaN();
        const double inf = qInf();
        const QList<double> periods;
        // The largest meter, running flat out for a period, counts 1.67e8 Wh.
        const double fullPeriodWh = maxMeterPowerW * 600 / 3600;
        QTest::newRow("never negative, not finite or beyond a register")
            << 0.0 << QList<double>{1000, -1, nan, inf, -inf, totalCeilingWh, 1e308, 1001} << periods << "WIIIIIIW";
        QTest::newRow("0 and dips are refused, then the total goes on")
            << 0.0 << QList<double>{2000, 0, 1999, 0, 2001} << periods << "WLLLW";
        QTest::newRow("zeros never restart the total")
            << 0.0 << QList<double>{2000, 0, 0, 0, 0, 0} << periods << "WLLLLL";
        QTest::newRow("a spike is refused, the largest meter's period is not")
            << 0.0 << QList<double>{1e6, 1e6 + 1e13, 1e6 + fullPeriodWh, 1e6 + 3 * fullPeriodWh} << periods << "WSWS";
        QTest::newRow("the allowed rise grows with the time since the last written total")
            << 0.0 << QList<double>{1e6, 1e6 + 2 * fullPeriodWh, 1e6 + 2 * fullPeriodWh} << QList<double>{0, 600, 1200} << "WSW";
        QTest::newRow("a reset register is taken on the third agreeing reading")
            << 0.0 << QList<double>{5e6, 100, 200, 300, 400, 350} << periods << "WLLRWL";
        QTest::newRow("a lower total that stands still is never taken, once it counts it is")
            << 0.0 << QList<double>{5e6, 100, 100, 100, 100, 101} << periods << "WLLLLR";
        QTest::newRow("a frozen total is written")
            << 0.0 << QList<double>{5e6, 5e6, 5e6} << periods << "WWW";
        QTest::newRow("readings that disagree start the row again")
            << 0.0 << QList<double>{5e6, 300, 200, 250, 1e14, 1e14 + 10, 1e14 + 20} << periods << "WLLLSSR";
        QTest::newRow("garbage breaks the row")
            << 0.0 << QList<double>{5e6, 100, -1, 200, 300, 400} << periods << "WLILLR";
        QTest::newRow("a good reading ends the row")
            << 0.0 << QList<double>{5e6, 100, 200, 5e6 + 1, 300, 400, 500} << periods << "WLLWLLR";
        QTest::newRow("after a stored total: lower refused, any rise below the ceiling once")
            << 1e6 << QList<double>{5e5, 1e14, 1e14 + 1e12} << QList<double>{0, 0, 1} << "LWS";
        QTest::newRow("a stored 0 is no total") << 0.0 << QList<double>{1e14, 1e14} << periods << "WW";
        QTest::newRow("a stored garbage total is none") << 1e300 << QList<double>{5} << periods << "W";
    }
    void totalGuard()
    {
        QFETCH(double, stored);
        QFETCH(QList<double>, readings);
        QFETCH(QList<double>, seconds);
        QFETCH(QString, verdicts);
        TotalGuard guard;
        guard.startFrom(stored);
        QString got;
        for (int i = 0; i < readings.size(); ++i) {
            const double before = guard.last();
            const TotalGuard::Verdict verdict = guard.check(readings.at(i), seconds.isEmpty() ? 600.0 * i : seconds.at(i));
            const bool written = verdict == TotalGuard::Verdict::Write || verdict == TotalGuard::Verdict::Restarted;
            QCOMPARE(guard.last(), written ? readings.at(i) : before);
            got += QLatin1Char("WRILS"[int(verdict)]);
        }
        QCOMPARE(got, verdicts);
    }
};

QTEST_GUILESS_MAIN(TestSlotTables)
#include "tst_slottables.moc"
