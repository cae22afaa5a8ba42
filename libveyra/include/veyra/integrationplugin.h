#pragma once

#include "global.h"
#include "hostrequests.h"
#include "plugintimer.h"
#include "thing.h"
#include "thingdescriptor.h"

#include <QObject>
#include <QPointer>

#include <functional>

// Base class of every integration plugin. The host drives it through the virtual operations
// below, in this order; a plugin overrides what it supports.
class LIBVEYRA_EXPORT IntegrationPlugin : public QObject
{
    Q_OBJECT
public:
    explicit IntegrationPlugin(QObject *parent = nullptr);
    ~IntegrationPlugin() override;

    virtual void init();
    virtual void startMonitoringAutoThings();
    virtual void discoverThings(ThingDiscoveryInfo *info);
    virtual void setupThing(ThingSetupInfo *info);
    virtual void postSetupThing(Thing *thing);
    virtual void thingRemoved(Thing *thing);
    virtual void startPairing(ThingPairingInfo *info);
    virtual void confirmPairing(ThingPairingInfo *info, const QString &username, const QString &secret);
    virtual void executeAction(ThingActionInfo *info);
    virtual void browseThing(BrowseResult *result);
    virtual void browserItem(BrowserItemResult *result);
    virtual void executeBrowserItem(BrowserActionInfo *info);
    virtual void executeBrowserItemAction(BrowserItemActionInfo *info);
    virtual QString serviceInformation() const;

    // The things of this plugin as the host holds them.
    Things myThings() const;
    HardwareManager *hardwareManager() const;

    // Called by the host when it takes the plugin into service.
    void setHostContext(HardwareManager *hardwareManager, std::function<Things()> myThings);

signals:
    // The plugin found things that the host should create without user action.
    void autoThingsAppeared(const ThingDescriptors &thingDescriptors);

private:
    QPointer<HardwareManager> m_hardwareManager;
    std::function<Things()> m_myThings;
};

Q_DECLARE_INTERFACE(IntegrationPlugin, VEYRA_INTEGRATION_PLUGIN_IID)
