#pragma once

#include "totalguard.h"

#include <veyra/integrationplugin.h>

#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVector>

#include <functional>

class NetworkHandler;
class QTimer;

// Reads the meters of a local LMN bus through the bridge server: one gateway thing (`lmn`) and
// one meter thing per meter on the bus, bound to one of 32 meter slots.
class IntegrationPluginQelLmn : public IntegrationPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "io.veyra.IntegrationPlugin" FILE "integrationpluginqellmn.json")
    Q_INTERFACES(IntegrationPlugin)

public:
    explicit IntegrationPluginQelLmn();
    ~IntegrationPluginQelLmn() override;

    void init() override;
    void setupThing(ThingSetupInfo *info) override;
    void postSetupThing(Thing *thing) override;
    void thingRemoved(Thing *thing) override;

signals:
    void update();

private slots:
    void onServerReachable(bool reachable);
    void onRetryTimeout();
    void onPortChecked(uchar initialized);
    void onPortReachable(bool reachable);
    void onDeviceInfoReceived();
    void onUpdateTimer();
    void onCycleStart();
    void onNextDeviceUpdate();
    void onReceivedValue(const QString &api, const QString &deviceID, double value);
    void onValueCallFailed(const QString &api, const QString &deviceID, bool timedOut);

private:
    // Goes on with what waited for a port check, given its answer.
    using PortCheckWaiter = std::function<void(uchar)>;

    // Meter slot tables.
    void initAvailableClassIds();
    ParamTypeId deviceIdParamTypeId(const ThingClassId &thingClassId) const;
    void markSlotUsed(const ThingClassId &thingClassId);
    void markSlotAvailable(const ThingClassId &thingClassId);
    ThingClassId findFreeSlot() const;
    bool isSlotAvailable(const ThingClassId &thingClassId) const;

    void setupGateway(ThingSetupInfo *info);
    void finishGatewaySetup(ThingSetupInfo *info, const Thing *gateway, uchar initialized);
    void setupMeter(ThingSetupInfo *info);
    void setupConnects(Thing *gateway);
    void checkAutoCreate(const ThingId &parentId);
    void autoCreateMeterThing(const QString &deviceID, const ThingClassId &thingClassId, const ThingId &parentId);
    QHash<QString, Thing *> meterThingsByDeviceId() const;
    void unregisterMeter(Thing *thing);
    bool slotHeldByOtherThing(const Thing *thing) const;
    void updateValues();
    bool isPolled(const QString &deviceID) const;
    void endCycle();
    void releaseEverything();
    void resumePortCheckWaiters(const QVector<PortCheckWaiter> &waiters, uchar initialized);
    bool isMeterClass(const ThingClassId &thingClassId) const;
    void writeTotal(Thing *thing, const QString &deviceID, int total, double wh);
    void warnOfSilentMeters();
    void warnOfSlotlessMeters(const QStringList &deviceList, const QStringList &slotless);

    PluginTimer *m_updateTimer = nullptr;
    QTimer *m_connectionTimer = nullptr;
    QTimer *m_retryTimer = nullptr;
    NetworkHandler *m_networkHandler = nullptr;
    bool m_updateInProgress = false;
    QHash<ThingClassId, ParamTypeId> m_deviceIdParamTypeIds;
    QHash<ThingClassId, QString> m_availableClassIds;
    QHash<QString, Thing *> m_meters;
    // The cycle walks the device IDs registered when it started; IDs gone meanwhile are skipped.
    QStringList m_cycleDevices;
    int m_currentDevice = 0;
    QStringList m_valueCalls;
    int m_currentValueCall = 0;
    QPointer<Thing> m_gateway;
    bool m_reconnecting = false;
    // What goes on once a port check has answered (a gateway setup, a cycle start), given the
    // answer: those waiting for the next answer; those whose check failed, until the
    // serverReachable(false) that follows; and those that go on after the retry wait.
    QVector<PortCheckWaiter> m_portCheckWaiters;
    QVector<PortCheckWaiter> m_failedCheckWaiters;
    QVector<PortCheckWaiter> m_afterRetryWaiters;
    // A meter list arrived during a cycle; the cycle's end takes it up.
    bool m_autoCreateDue = false;
    // The device list of the last meter check, and how many of its meters got no slot.
    QStringList m_checkedDevices;
    int m_slotlessCount = 0;

    // Per meter thing, for its two totals (consumed, produced): what may be written, and whether
    // a refusal has been logged since the last written value.
    struct MeterTotals {
        TotalGuard guards[2];
        bool refusing[2] = {false, false};
    };
    QHash<ThingId, MeterTotals> m_totals;
    QElapsedTimer m_clock;
    // This cycle's meters that answered and those with a call that ended without a value; the
    // meters said to be silent, until they answer again.
    QSet<QString> m_cycleAnswered;
    QSet<QString> m_cycleFailed;
    QSet<QString> m_silentMeters;
};
