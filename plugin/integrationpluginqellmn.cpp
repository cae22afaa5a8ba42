#include "integrationpluginqellmn.h"

#include "bridgewire.h"
#include "networkhandler.h"
#include "plugininfo.h"
#include "qellmnintervals.h"
#include "qellmnlogging.h"

#include <veyra/version.h>

#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

// The host API version this plugin is written against.
extern "C" Q_DECL_EXPORT QString libveyra_api_version()
{
    return QStringLiteral(VEYRA_API_VERSION);
}

namespace {

const QString slotAvailable = QStringLiteral("available");
const QString slotUsed = QStringLiteral("used");

const QString deviceIdName = QStringLiteral("deviceID");
const char *const totalNames[2] = {"totalEnergyConsumed", "totalEnergyProduced"};

// A total in kWh for the log: every digit a register can hold, and "nan" or "inf" as they are.
QByteArray kWhText(double wh)
{
    return QByteArray::number(wh / 1000, 'g', 12);
}

// The answers to NetworkHandler::checkPortInitialized().
enum PortCheck : uchar {
    portInitialized = 0,
    portNotInitialized = 1,
    portCheckFailed = 2, // the bridge client has reported the server unreachable already
};

constexpr int meterSlotCount = 32;

// Refused readings in a row after which a total is said to be locked out: twice what a reset
// register needs to be followed, an hour at the real update period.
constexpr int lockedOutReadings = 2 * restartReadings;

// The 32 meter slots, in slot order, with the param that carries each slot's device ID.
struct MeterSlot {
    const ThingClassId &thingClassId;
    const ParamTypeId &deviceIdParamTypeId;
};

const MeterSlot meterSlots[meterSlotCount] = {
    {qelLmnMeter1ThingClassId, qelLmnMeter1ThingDeviceIDParamTypeId},
    {qelLmnMeter2ThingClassId, qelLmnMeter2ThingDeviceIDParamTypeId},
    {qelLmnMeter3ThingClassId, qelLmnMeter3ThingDeviceIDParamTypeId},
    {qelLmnMeter4ThingClassId, qelLmnMeter4ThingDeviceIDParamTypeId},
    {qelLmnMeter5ThingClassId, qelLmnMeter5ThingDeviceIDParamTypeId},
    {qelLmnMeter6ThingClassId, qelLmnMeter6ThingDeviceIDParamTypeId},
    {qelLmnMeter7ThingClassId, qelLmnMeter7ThingDeviceIDParamTypeId},
    {qelLmnMeter8ThingClassId, qelLmnMeter8ThingDeviceIDParamTypeId},
    {qelLmnMeter9ThingClassId, qelLmnMeter9ThingDeviceIDParamTypeId},
    {qelLmnMeter10ThingClassId, qelLmnMeter10ThingDeviceIDParamTypeId},
    {qelLmnMeter11ThingClassId, qelLmnMeter11ThingDeviceIDParamTypeId},
    {qelLmnMeter12ThingClassId, qelLmnMeter12ThingDeviceIDParamTypeId},
    {qelLmnMeter13ThingClassId, qelLmnMeter13ThingDeviceIDParamTypeId},
    {qelLmnMeter14ThingClassId, qelLmnMeter14ThingDeviceIDParamTypeId},
    {qelLmnMeter15ThingClassId, qelLmnMeter15ThingDeviceIDParamTypeId},
    {qelLmnMeter16ThingClassId, qelLmnMeter16ThingDeviceIDParamTypeId},
    {qelLmnMeter17ThingClassId, qelLmnMeter17ThingDeviceIDParamTypeId},
    {qelLmnMeter18ThingClassId, qelLmnMeter18ThingDeviceIDParamTypeId},
    {qelLmnMeter19ThingClassId, qelLmnMeter19ThingDeviceIDParamTypeId},
    {qelLmnMeter20ThingClassId, qelLmnMeter20ThingDeviceIDParamTypeId},
    {qelLmnMeter21ThingClassId, qelLmnMeter21ThingDeviceIDParamTypeId},
    {qelLmnMeter22ThingClassId, qelLmnMeter22ThingDeviceIDParamTypeId},
    {qelLmnMeter23ThingClassId, qelLmnMeter23ThingDeviceIDParamTypeId},
    {qelLmnMeter24ThingClassId, qelLmnMeter24ThingDeviceIDParamTypeId},
    {qelLmnMeter25ThingClassId, qelLmnMeter25ThingDeviceIDParamTypeId},
    {qelLmnMeter26ThingClassId, qelLmnMeter26ThingDeviceIDParamTypeId},
    {qelLmnMeter27ThingClassId, qelLmnMeter27ThingDeviceIDParamTypeId},
    {qelLmnMeter28ThingClassId, qelLmnMeter28ThingDeviceIDParamTypeId},
    {qelLmnMeter29ThingClassId, qelLmnMeter29ThingDeviceIDParamTypeId},
    {qelLmnMeter30ThingClassId, qelLmnMeter30ThingDeviceIDParamTypeId},
    {qelLmnMeter31ThingClassId, qelLmnMeter31ThingDeviceIDParamTypeId},
    {qelLmnMeter32ThingClassId, qelLmnMeter32ThingDeviceIDParamTypeId},
};

} // namespace

IntegrationPluginQelLmn::IntegrationPluginQelLmn()
    : IntegrationPlugin(nullptr), m_valueCalls{BridgeWire::energyPlusCall, BridgeWire::energyMinusCall}
{
    m_clock.start();
}

IntegrationPluginQelLmn::~IntegrationPluginQelLmn()
{
    // A host that shuts down deletes the plugin without removing its things.
    delete m_networkHandler;
}

// ---- Meter slot tables ----

void IntegrationPluginQelLmn::init()
{
    qCDebug(dcQelLmn) << "Initialize plugin.";
    for (const MeterSlot &slot : meterSlots)
        m_deviceIdParamTypeIds.insert(slot.thingClassId, slot.deviceIdParamTypeId);
    initAvailableClassIds();
}

void IntegrationPluginQelLmn::initAvailableClassIds()
{
    for (const MeterSlot &slot : meterSlots)
        m_availableClassIds.insert(slot.thingClassId, slotAvailable);
}

ParamTypeId IntegrationPluginQelLmn::deviceIdParamTypeId(const ThingClassId &thingClassId) const
{
    return m_deviceIdParamTypeIds.value(thingClassId);
}

void IntegrationPluginQelLmn::markSlotUsed(const ThingClassId &thingClassId)
{
    m_availableClassIds.insert(thingClassId, slotUsed);
}

void IntegrationPluginQelLmn::markSlotAvailable(const ThingClassId &thingClassId)
{
    m_availableClassIds.insert(thingClassId, slotAvailable);
}

ThingClassId IntegrationPluginQelLmn::findFreeSlot() const
{
    // The lowest free slot, so that the same bus gives the same things at every start.
    for (const MeterSlot &slot : meterSlots) {
        if (isSlotAvailable(slot.thingClassId))
            return slot.thingClassId;
    }
    return ThingClassId();
}

bool IntegrationPluginQelLmn::isSlotAvailable(const ThingClassId &thingClassId) const
{
    return m_availableClassIds.value(thingClassId) == slotAvailable;
}

bool IntegrationPluginQelLmn::isMeterClass(const ThingClassId &thingClassId) const
{
    return m_deviceIdParamTypeIds.contains(thingClassId);
}

// ---- Thing setup and removal ----

void IntegrationPluginQelLmn::setupThing(ThingSetupInfo *info)
{
    Thing *thing = info->thing();
    qCDebug(dcQelLmn) << "Setup thing" << thing;
    if (thing->thingClassId() == lmnThingClassId)
        setupGateway(info);
    else
        setupMeter(info);
}

void IntegrationPluginQelLmn::setupGateway(ThingSetupInfo *info)
{
    qCDebug(dcQelLmn) << "Setting up QEL Lmn class.";
    Thing *gateway = info->thing();

    if (!m_networkHandler)
        m_networkHandler = new NetworkHandler();
    const QString serverPort = gateway->paramValue(lmnThingServerPortParamTypeId).toString();
    m_networkHandler->setUrl(serverPort);
    m_networkHandler->setPort(gateway->paramValue(lmnThingPortParamTypeId).toString());

    if (!m_connectionTimer)
        m_connectionTimer = new QTimer(this);
    if (!m_retryTimer) {
        m_retryTimer = new QTimer(this);
        connect(m_retryTimer, &QTimer::timeout, this, &IntegrationPluginQelLmn::onRetryTimeout);
    }
    m_retryTimer->setInterval(QelLmnIntervals::scaled(QelLmnIntervals::retryTimerMs));
    m_connectionTimer->setInterval(QelLmnIntervals::scaled(QelLmnIntervals::connectionTimerMs));
    m_connectionTimer->setSingleShot(true);

    if (!m_networkHandler->isUrlValid()) {
        // Nothing may go out to a host or path that a malformed port would name.
        m_connectionTimer->stop();
        // A retry wait under way ends on this timer: stopped, the wait would never end and no
        // later outage would be retried. It ends as usual and then sends nothing.
        if (!m_reconnecting)
            m_retryTimer->stop();
        m_gateway = gateway;
        // Last but the finish: the host may remove everything in its reaction to the state.
        gateway->setStateValue(lmnConnectedStateTypeId, false);
        info->finish(Thing::ThingErrorInvalidParameter,
                     QStringLiteral("The server port \"%1\" is not a number from 1 to 65535.").arg(serverPort));
        return;
    }

    m_connectionTimer->start();
    setupConnects(gateway);
    m_portCheckWaiters.append([this, setup = QPointer<ThingSetupInfo>(info), thing = QPointer<Thing>(gateway)](
                                  uchar initialized) { finishGatewaySetup(setup, thing, initialized); });
    m_networkHandler->checkPortInitialized();
}

void IntegrationPluginQelLmn::finishGatewaySetup(ThingSetupInfo *info, const Thing *gateway, uchar initialized)
{
    if (!info)
        return;
    // The thing, or everything, may have gone while the check was under way.
    if (!gateway || !m_networkHandler) {
        info->finish(Thing::ThingErrorHardwareNotAvailable, QStringLiteral("The gateway was removed during setup."));
        return;
    }
    if (initialized == portInitialized) {
        qCDebug(dcQelLmn) << "Handle reconfigure.";
        m_networkHandler->setupConnection(true);
    } else if (initialized == portNotInitialized) {
        qCDebug(dcQelLmn) << "Setup connection upon first connection.";
        m_networkHandler->setupConnection(false);
    }
    // portCheckFailed: the bridge client has reported the server unreachable, which reconnects.
    info->finish(Thing::ThingErrorNoError, QString());
}

void IntegrationPluginQelLmn::setupMeter(ThingSetupInfo *info)
{
    qCDebug(dcQelLmn) << "Setting up meters.";
    Thing *thing = info->thing();
    const QString deviceID = thing->paramValue(deviceIdName).toString();
    thing->setStateValue(deviceIdName, deviceID);
    m_meters.insert(deviceID, thing);
    // The totals the host kept for the thing are the reference the next readings must fit.
    MeterTotals &totals = m_totals[thing->id()];
    for (int total = 0; total < 2; ++total) {
        totals.guards[total].startFrom(thing->stateValue(QLatin1String(totalNames[total])).toDouble() * 1000);
        totals.refusing[total] = false;
    }
    // A meter restored by the host holds its slot, so that no new meter is put into it.
    if (isMeterClass(thing->thingClassId()))
        markSlotUsed(thing->thingClassId());
    info->finish(Thing::ThingErrorNoError, QString());
}

void IntegrationPluginQelLmn::postSetupThing(Thing *thing)
{
    Q_UNUSED(thing)
    qCDebug(dcQelLmn) << "Post setup thing";
    if (!m_updateTimer) {
        m_updateTimer = hardwareManager()->pluginTimerManager()->registerTimer(QelLmnIntervals::updateTimerPeriod);
        connect(m_updateTimer, &PluginTimer::timeout, this, &IntegrationPluginQelLmn::onUpdateTimer);
    }
    m_updateInProgress = false;
    m_updateTimer->start();
}

void IntegrationPluginQelLmn::thingRemoved(Thing *thing)
{
    qCDebug(dcQelLmn) << "Remove thing" << thing;
    m_totals.remove(thing->id());
    unregisterMeter(thing);
    if (myThings().isEmpty())
        releaseEverything();
}

void IntegrationPluginQelLmn::unregisterMeter(Thing *thing)
{
    for (auto it = m_meters.begin(); it != m_meters.end();) {
        if (it.value() == thing)
            it = m_meters.erase(it);
        else
            ++it;
    }
    if (isMeterClass(thing->thingClassId()) && !slotHeldByOtherThing(thing))
        markSlotAvailable(thing->thingClassId());
}

// A slot is used for as long as a meter thing of its class exists, polled or not: freed earlier,
// a new meter would share it with that thing once its meter came back.
bool IntegrationPluginQelLmn::slotHeldByOtherThing(const Thing *thing) const
{
    const Things things = myThings();
    return std::any_of(things.cbegin(), things.cend(), [thing](const Thing *other) {
        return other != thing && other->thingClassId() == thing->thingClassId();
    });
}

void IntegrationPluginQelLmn::releaseEverything()
{
    m_meters.clear();
    if (m_updateTimer) {
        qCDebug(dcQelLmn) << "Stopping update timer";
        hardwareManager()->pluginTimerManager()->unregisterTimer(m_updateTimer);
        m_updateTimer = nullptr;
    }
    if (m_connectionTimer) {
        qCDebug(dcQelLmn) << "Stopping connection timer.";
        m_connectionTimer->stop();
        delete m_connectionTimer;
        m_connectionTimer = nullptr;
    }
    if (m_retryTimer) {
        qCDebug(dcQelLmn) << "Stopping retry timer.";
        m_retryTimer->stop();
        delete m_retryTimer;
        m_retryTimer = nullptr;
    }
    if (m_networkHandler) {
        qCDebug(dcQelLmn) << "Deleting networkHandler";
        // From the event loop: this may run in a reaction to one of its replies, which must
        // outlive that reaction. Until then it sends and reports nothing, and a plugin deleted
        // first takes it along.
        m_networkHandler->retire();
        m_networkHandler->disconnect(this);
        m_networkHandler->setParent(this);
        std::exchange(m_networkHandler, nullptr)->deleteLater();
    }
    m_updateInProgress = false;
    m_reconnecting = false;
    m_autoCreateDue = false;
    m_cycleDevices.clear();
    initAvailableClassIds();
    // Whatever waited for a port check gives up, now that there is no bridge client.
    resumePortCheckWaiters(std::exchange(m_portCheckWaiters, {}), portCheckFailed);
    resumePortCheckWaiters(std::exchange(m_failedCheckWaiters, {}), portCheckFailed);
    resumePortCheckWaiters(std::exchange(m_afterRetryWaiters, {}), portCheckFailed);
}

// ---- Meter auto-creation ----

void IntegrationPluginQelLmn::checkAutoCreate(const ThingId &parentId)
{
    const QStringList deviceList = m_networkHandler->returnDeviceList();

    const QStringList known = m_meters.keys();
    for (const QString &deviceID : known) {
        // The meter left the bus: stop polling it. Its thing stays with the host, and keeps its
        // slot, and is taken up again should the meter come back.
        if (!deviceList.contains(deviceID))
            m_meters.remove(deviceID);
    }

    const QHash<QString, Thing *> existing = meterThingsByDeviceId();
    QStringList slotless;
    for (const QString &deviceID : deviceList) {
        if (m_meters.contains(deviceID))
            continue;
        if (Thing *thing = existing.value(deviceID)) {
            m_meters.insert(deviceID, thing);
            markSlotUsed(thing->thingClassId());
            continue;
        }
        const ThingClassId slot = findFreeSlot();
        if (slot.isNull()) {
            slotless.append(deviceID);
            continue;
        }
        markSlotUsed(slot);
        autoCreateMeterThing(deviceID, slot, parentId);
    }
    warnOfSlotlessMeters(deviceList, slotless);
}

// Said once per meter list, not at every fetch and not once per meter: a bus of thousands of
// members would flood the log.
void IntegrationPluginQelLmn::warnOfSlotlessMeters(const QStringList &deviceList, const QStringList &slotless)
{
    const bool changed = deviceList != m_checkedDevices || slotless.size() != m_slotlessCount;
    m_checkedDevices = deviceList;
    m_slotlessCount = int(slotless.size());
    if (!changed || slotless.isEmpty())
        return;
    qCWarning(dcQelLmn) << "All 32 meter slots are taken, no thing for meter" << slotless.first() << "-"
                        << slotless.size() << (slotless.size() == 1 ? "meter is" : "meters are") << "left out.";
}

QHash<QString, Thing *> IntegrationPluginQelLmn::meterThingsByDeviceId() const
{
    QHash<QString, Thing *> result;
    const Things things = myThings();
    for (Thing *thing : things) {
        if (isMeterClass(thing->thingClassId()))
            result.insert(thing->paramValue(deviceIdName).toString(), thing);
    }
    return result;
}

void IntegrationPluginQelLmn::autoCreateMeterThing(const QString &deviceID, const ThingClassId &thingClassId,
                                                   const ThingId &parentId)
{
    qCDebug(dcQelLmn) << "Setup meter thing for" << deviceID;
    ThingDescriptor descriptor(thingClassId, QString(), QString(), ThingId());
    descriptor.setParentId(parentId);
    descriptor.setTitle(deviceID);
    ParamList params;
    params.append(Param(deviceIdParamTypeId(descriptor.thingClassId()), deviceID));
    descriptor.setParams(params);
    emit autoThingsAppeared(ThingDescriptors{descriptor});
}

// ---- Signal wiring and polling cycle ----

void IntegrationPluginQelLmn::setupConnects(Thing *gateway)
{
    m_gateway = gateway;
    const auto unique = static_cast<Qt::ConnectionType>(Qt::DirectConnection | Qt::UniqueConnection);
    connect(m_networkHandler, &NetworkHandler::serverReachable, this, &IntegrationPluginQelLmn::onServerReachable,
            unique);
    connect(m_networkHandler, &NetworkHandler::portReachable, this, &IntegrationPluginQelLmn::onPortReachable, unique);
    connect(m_networkHandler, &NetworkHandler::deviceInfoReceived, this, &IntegrationPluginQelLmn::onDeviceInfoReceived,
            unique);
    connect(this, &IntegrationPluginQelLmn::update, this, &IntegrationPluginQelLmn::onCycleStart, unique);
    connect(m_networkHandler, &NetworkHandler::receivedValue, this, &IntegrationPluginQelLmn::onReceivedValue, unique);
    connect(m_networkHandler, &NetworkHandler::nextDeviceUpdate, this, &IntegrationPluginQelLmn::onNextDeviceUpdate,
            unique);
    connect(m_networkHandler, &NetworkHandler::valueCallFailed, this, &IntegrationPluginQelLmn::onValueCallFailed,
            unique);
    connect(m_networkHandler, &NetworkHandler::checkInitializedFinished, this, &IntegrationPluginQelLmn::onPortChecked,
            unique);
    connect(m_connectionTimer, &QTimer::timeout, m_networkHandler, &NetworkHandler::getConnectionDetails, unique);
}

void IntegrationPluginQelLmn::onServerReachable(bool reachable)
{
    if (reachable)
        return;
    qCCritical(dcQelLmn) << "Server is not reachable!";
    // The callers of a port check that failed go on once this reaction is over, retry wait
    // included, as they always have.
    QVector<PortCheckWaiter> waiters = std::exchange(m_failedCheckWaiters, {});
    if (m_gateway)
        m_gateway->setStateValue(lmnConnectedStateTypeId, false);
    // One reconnection at a time; a refused port is not worth retrying either. The host may also
    // have removed everything in its reaction to the state.
    if (m_reconnecting || !m_networkHandler || !m_networkHandler->isUrlValid()) {
        resumePortCheckWaiters(waiters, portCheckFailed);
        return;
    }
    m_reconnecting = true;
    m_connectionTimer->stop();
    m_afterRetryWaiters += waiters;
    // The retry wait: onRetryTimeout() ends it.
    m_retryTimer->start();
}

void IntegrationPluginQelLmn::onRetryTimeout()
{
    // Left running it would wake the host every 10 s for nothing.
    m_retryTimer->stop();
    m_reconnecting = false;
    QVector<PortCheckWaiter> waiters = std::exchange(m_afterRetryWaiters, {});
    // The gateway was given an unusable port meanwhile: its next setup starts over.
    if (m_networkHandler->isUrlValid()) {
        m_connectionTimer->start();
        m_networkHandler->setupConnection(false);
    }
    resumePortCheckWaiters(waiters, portCheckFailed);
}

void IntegrationPluginQelLmn::onPortChecked(uchar initialized)
{
    // One answer serves every caller waiting for one, whichever request it answers.
    QVector<PortCheckWaiter> waiters = std::exchange(m_portCheckWaiters, {});
    if (initialized == portCheckFailed) {
        // serverReachable(false) follows at once.
        m_failedCheckWaiters += waiters;
        return;
    }
    resumePortCheckWaiters(waiters, initialized);
}

void IntegrationPluginQelLmn::resumePortCheckWaiters(const QVector<PortCheckWaiter> &waiters, uchar initialized)
{
    // The latest caller first, as when each waited in a loop of its own inside the one before.
    for (auto it = waiters.crbegin(); it != waiters.crend(); ++it)
        (*it)(initialized);
}

void IntegrationPluginQelLmn::onPortReachable(bool reachable)
{
    if (!reachable) {
        qCCritical(dcQelLmn) << "Port is not reachable!";
        if (m_gateway)
            m_gateway->setStateValue(lmnConnectedStateTypeId, false);
        return;
    }
    if (m_gateway)
        m_gateway->setStateValue(lmnConnectedStateTypeId, true);
    // The host may have removed everything in its reaction to the state.
    if (m_networkHandler)
        m_networkHandler->getConnectionDetails();
}

void IntegrationPluginQelLmn::onDeviceInfoReceived()
{
    qCDebug(dcQelLmn) << "Call autoCreateMeterThing";
    if (m_updateInProgress) {
        // Taken up when the cycle ends: a cycle must not lose meters under its feet, and with
        // cycles that run long the list would otherwise never be taken up at all.
        m_autoCreateDue = true;
        // A cycle cut short by a reconnection goes on from here.
        m_networkHandler->nextDeviceUpdate();
        return;
    }
    m_autoCreateDue = false;
    if (m_gateway)
        checkAutoCreate(m_gateway->id());
}

void IntegrationPluginQelLmn::onUpdateTimer()
{
    qCDebug(dcQelLmn) << "Update timer";
    if (m_updateInProgress)
        return;
    // A cycle may have ended (or been reset by a setup) with calls still out, hung or slow.
    // A new one would ask for the same readings again, and of two answers to one reading the
    // older may arrive last and set the total back.
    if (m_networkHandler && m_networkHandler->valueCallsPending())
        return;
    // Without a usable server port every request would be refused; the next setup starts over.
    if (m_networkHandler && !m_networkHandler->isUrlValid())
        return;
    m_cycleDevices = m_meters.keys();
    m_cycleAnswered.clear();
    m_cycleFailed.clear();
    m_currentDevice = 0;
    m_currentValueCall = 0;
    emit update();
}

void IntegrationPluginQelLmn::onCycleStart()
{
    if (!m_networkHandler)
        return;
    m_updateInProgress = true;
    m_portCheckWaiters.append([this](uchar initialized) {
        if (!m_networkHandler)
            return;
        if (initialized == portNotInitialized)
            m_networkHandler->setupConnection(false);
        else
            m_networkHandler->nextDeviceUpdate();
    });
    m_networkHandler->checkPortInitialized();
}

void IntegrationPluginQelLmn::onNextDeviceUpdate()
{
    qCDebug(dcQelLmn) << "Next Device Update";
    m_updateInProgress = true;
    // The one place that keeps a second call off a bus that answers one at a time: whoever asks
    // for the next step (a meter list during a cycle, a cycle start after its port check) while a
    // call is out, the cycle goes on with that call's answer.
    if (m_networkHandler->valueCallsPending())
        return;
    // Meters removed since the cycle started are skipped, and so are those the bridge no longer
    // lists: the bridge client has said so, and the next meter check lets them go.
    while (m_currentDevice < m_cycleDevices.size() && !isPolled(m_cycleDevices.at(m_currentDevice))) {
        ++m_currentDevice;
        m_currentValueCall = 0;
    }
    if (m_currentDevice >= m_cycleDevices.size()) {
        endCycle();
        return;
    }
    if (m_currentValueCall < m_valueCalls.size()) {
        updateValues();
        ++m_currentValueCall;
        return;
    }
    m_currentValueCall = 0;
    ++m_currentDevice;
    if (m_currentDevice < m_cycleDevices.size())
        m_networkHandler->nextDeviceUpdate();
    else
        endCycle();
}

bool IntegrationPluginQelLmn::isPolled(const QString &deviceID) const
{
    return m_meters.contains(deviceID) && m_networkHandler->isListed(deviceID);
}

void IntegrationPluginQelLmn::endCycle()
{
    warnOfSilentMeters();
    qCDebug(dcQelLmn) << "All devices updated.";
    m_updateInProgress = false;
    // Started, not restarted: with cycles that follow each other faster than the connection
    // interval, a restart at every end would put the refresh off for ever. Nothing is scheduled
    // for an unusable server port.
    if (m_connectionTimer && !m_connectionTimer->isActive() && m_networkHandler && m_networkHandler->isUrlValid())
        m_connectionTimer->start();
    if (m_autoCreateDue && m_networkHandler && m_gateway) {
        m_autoCreateDue = false;
        checkAutoCreate(m_gateway->id());
    }
}

void IntegrationPluginQelLmn::updateValues()
{
    const QString &api = m_valueCalls.at(m_currentValueCall);
    const QString &deviceID = m_cycleDevices.at(m_currentDevice);
    qCDebug(dcQelLmn) << "Updating value " << api << " for " << deviceID;
    m_networkHandler->getValueCall(api, deviceID, 1);
}

void IntegrationPluginQelLmn::onValueCallFailed(const QString &api, const QString &deviceID, bool timedOut)
{
    m_cycleFailed.insert(deviceID);
    // A meter that let one call time out would most likely let the next hang as long: the
    // cycle goes on with the next meter, so that a hung meter costs one request timeout.
    if (!timedOut || !m_updateInProgress || m_cycleDevices.value(m_currentDevice) != deviceID
        || m_currentValueCall >= m_valueCalls.size())
        return;
    warningUnlessRepeated(m_networkHandler->failsAsBefore(deviceID))
        << "Meter" << deviceID << "did not answer" << api << "in time; its other calls are skipped in this cycle.";
    m_currentValueCall = int(m_valueCalls.size());
}

void IntegrationPluginQelLmn::onReceivedValue(const QString &api, const QString &deviceID, double value)
{
    m_cycleAnswered.insert(deviceID);
    // The failures in between were said in full only the first time: how many there were is said here.
    const int failed = m_networkHandler ? m_networkHandler->failedCalls(deviceID) : 0;
    if (m_silentMeters.remove(deviceID))
        qCInfo(dcQelLmn) << "Meter" << deviceID << "answers again," << failed << "calls failed meanwhile.";
    else if (failed > 1)
        qCInfo(dcQelLmn) << "Meter" << deviceID << "answered after" << failed << "failed calls.";
    Thing *thing = m_meters.value(deviceID);
    if (!thing) {
        // For instance a meter removed while its call was under way.
        qCDebug(dcQelLmn) << "Ignoring a value for" << deviceID << "which has no meter thing";
        return;
    }
    if (api == BridgeWire::energyPlusCall) {
        writeTotal(thing, deviceID, 0, value);
    } else if (api == BridgeWire::energyMinusCall) {
        writeTotal(thing, deviceID, 1, value);
    } else if (api == BridgeWire::activePowerCall) {
        // A power may be negative (feeding in) and jump; only a number that is none is held back.
        if (std::isfinite(value))
            thing->setStateValue(QStringLiteral("currentPower"), value);
        else
            qCWarning(dcQelLmn) << "Meter" << deviceID << "currentPower of" << value << "W not written.";
    }
}

void IntegrationPluginQelLmn::writeTotal(Thing *thing, const QString &deviceID, int total, double wh)
{
    MeterTotals &totals = m_totals[thing->id()];
    TotalGuard &guard = totals.guards[total];
    const double lastWh = guard.last();
    const double seconds = double(m_clock.elapsed()) / 1000 / QelLmnIntervals::timeScale();
    const TotalGuard::Verdict verdict = guard.check(wh, seconds);
    const char *const name = totalNames[total];
    const char *reason = nullptr;
    switch (verdict) {
    case TotalGuard::Verdict::Write:
        if (totals.refusing[total])
            qCInfo(dcQelLmn) << "Meter" << deviceID << name << "written again:" << kWhText(wh).constData() << "kWh.";
        break;
    case TotalGuard::Verdict::Restarted:
        qCWarning(dcQelLmn) << "Meter" << deviceID << name << "restarted at" << kWhText(wh).constData() << "kWh after"
                            << restartReadings
                            << "readings in a row that agree. Last written:" << kWhText(lastWh).constData() << "kWh.";
        break;
    case TotalGuard::Verdict::Invalid: reason = "negative, not finite or beyond any register."; break;
    case TotalGuard::Verdict::Lower: reason = "lower than the last written total."; break;
    case TotalGuard::Verdict::TooSteep: reason = "more than a meter can count in that time."; break;
    }
    if (reason) {
        // Once per episode: a bridge that keeps serving the bad value is not worth a line a cycle.
        if (!totals.refusing[total])
            qCWarning(dcQelLmn) << "Meter" << deviceID << name << "of" << kWhText(wh).constData()
                                << "kWh not written, as it is" << reason
                                << "Last written:" << kWhText(lastWh).constData() << "kWh.";
        // Longer than any restart takes to be followed: most likely a meter replaced under the
        // same ID, whose thing keeps the old total until it is removed.
        if (guard.refusedInARow() == lockedOutReadings)
            qCWarning(dcQelLmn) << "Meter" << deviceID << name << "has been refused for" << lockedOutReadings
                                << "readings in a row; if the meter was replaced, remove its thing.";
        totals.refusing[total] = true;
        return;
    }
    totals.refusing[total] = false;
    thing->setStateValue(QLatin1String(name), wh / 1000);
}

// A meter none of whose calls gave a value in a cycle in which the bridge answered for others is
// said once to be silent, and once when it answers again; its totals keep their last values.
// When nothing answered it is the bridge, whose own lines say so.
void IntegrationPluginQelLmn::warnOfSilentMeters()
{
    if (m_cycleAnswered.isEmpty())
        return;
    for (const QString &deviceID : qAsConst(m_cycleFailed)) {
        if (m_cycleAnswered.contains(deviceID) || !m_meters.contains(deviceID) || m_silentMeters.contains(deviceID))
            continue;
        m_silentMeters.insert(deviceID);
        qCWarning(dcQelLmn) << "Meter" << deviceID << "is not answering; its totals keep their last values.";
    }
    m_cycleAnswered.clear();
    m_cycleFailed.clear();
}
