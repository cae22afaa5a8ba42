#include "veyra/integrationplugin.h"

IntegrationPlugin::IntegrationPlugin(QObject *parent) : QObject(parent) {}

IntegrationPlugin::~IntegrationPlugin() = default;

void IntegrationPlugin::init() {}

void IntegrationPlugin::startMonitoringAutoThings() {}

void IntegrationPlugin::discoverThings(ThingDiscoveryInfo *info)
{
    info->finish(Thing::ThingErrorUnsupportedFeature);
}

void IntegrationPlugin::setupThing(ThingSetupInfo *info)
{
    info->finish(Thing::ThingErrorNoError);
}

void IntegrationPlugin::postSetupThing(Thing *thing)
{
    Q_UNUSED(thing)
}

void IntegrationPlugin::thingRemoved(Thing *thing)
{
    Q_UNUSED(thing)
}

void IntegrationPlugin::startPairing(ThingPairingInfo *info)
{
    info->finish(Thing::ThingErrorUnsupportedFeature);
}

void IntegrationPlugin::confirmPairing(ThingPairingInfo *info, const QString &username, const QString &secret)
{
    Q_UNUSED(username)
    Q_UNUSED(secret)
    info->finish(Thing::ThingErrorUnsupportedFeature);
}

void IntegrationPlugin::executeAction(ThingActionInfo *info)
{
    info->finish(Thing::ThingErrorUnsupportedFeature);
}

void IntegrationPlugin::browseThing(BrowseResult *result)
{
    result->finish(Thing::ThingErrorUnsupportedFeature);
}

void IntegrationPlugin::browserItem(BrowserItemResult *result)
{
    result->finish(Thing::ThingErrorUnsupportedFeature);
}

void IntegrationPlugin::executeBrowserItem(BrowserActionInfo *info)
{
    info->finish(Thing::ThingErrorUnsupportedFeature);
}

void IntegrationPlugin::executeBrowserItemAction(BrowserItemActionInfo *info)
{
    info->finish(Thing::ThingErrorUnsupportedFeature);
}

QString IntegrationPlugin::serviceInformation() const
{
    return QString();
}

Things IntegrationPlugin::myThings() const
{
    return m_myThings ? m_myThings() : Things();
}

HardwareManager *IntegrationPlugin::hardwareManager() const
{
    return m_hardwareManager;
}

void IntegrationPlugin::setHostContext(HardwareManager *hardwareManager, std::function<Things()> myThings)
{
    m_hardwareManager = hardwareManager;
    m_myThings = std::move(myThings);
}
