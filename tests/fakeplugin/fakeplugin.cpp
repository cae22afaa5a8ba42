// A plugin just big enough for the host library's tests: a box refuses a setup without retries,
// and a part's setup copies its serial param into its state, so that a test can see which
// params reached the plugin. A part whose serial begins with "wait" waits for its hardware in an
// event loop of its own before it finishes, as a plugin may.
#include "libveyratest.h"

#include <veyra/integrationplugin.h>

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

extern "C" Q_DECL_EXPORT QString libveyra_api_version()
{
    return QStringLiteral(VEYRA_API_VERSION);
}

class FakePlugin : public IntegrationPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "io.veyra.IntegrationPlugin" FILE "fakeplugin.json")
    Q_INTERFACES(IntegrationPlugin)

public:
    void setupThing(ThingSetupInfo *info) override
    {
        Thing *thing = info->thing();
        const bool isPart = thing->thingClass().name() == QLatin1String("part");
        if (isPart)
            thing->setStateValue(QStringLiteral("serial"), thing->paramValue(QStringLiteral("serial")));
        if (isPart && thing->paramValue(QStringLiteral("serial")).toString().startsWith(QLatin1String("wait"))) {
            QPointer<Thing> guard(thing);
            QEventLoop wait;
            QTimer::singleShot(0, &wait, &QEventLoop::quit);
            wait.exec();
            if (!guard)
                return;
        }
        if (!isPart && thing->paramValue(QStringLiteral("retries")).toUInt() == 0)
            info->finish(Thing::ThingErrorInvalidParameter, QStringLiteral("A box needs a retry."));
        else
            info->finish(Thing::ThingErrorNoError);
    }
};

#include "fakeplugin.moc"
