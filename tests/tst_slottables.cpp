// The meter slot tables of the plugin object, tested on the class itself.
#include "integrationpluginqellmn.h"
#include "plugininfo.h"

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
};

QTEST_GUILESS_MAIN(TestSlotTables)
#include "tst_slottables.moc"
