// The host-side pieces the soak needs around the plugin: loading it, the gateway's params by
// name, meter things by device ID, and the capture of the plugin's log. Kept together here so
// that a shared test rig can take their place.
#pragma once

#include <veyra/thingmanager.h>

#include <functional>
#include <memory>

namespace soakrig {

// A host with the one plugin file of `dir` loaded and its timer unit set; null with a reason.
std::unique_ptr<ThingManager> loadPlugin(const QString &dir, double unitMs, QString *error);
ParamList gatewayParams(const ThingClass &gatewayClass, const QString &serverPort);
StateTypeId stateTypeId(const ThingClass &thingClass, const QString &name);
QString deviceIdOf(const Thing *thing);
// The things not of `gatewayClass`, by device ID: a pick names the same thing for the same set.
Things meterThings(const ThingManager &manager, const ThingClass &gatewayClass);

// Turns the plugin's debug lines on; call before anything logs, as it goes into the environment
// (rules from there would override rules set in code).
void enablePluginDebug();
// The plugin's lines logged on the thread of `owner` go to `onLine` instead of the output; other
// categories' messages are counted and go on.
void capturePluginLog(QObject *owner, std::function<void(QtMsgType, const QString &)> onLine);
void releasePluginLog();
int foreignMessages();

} // namespace soakrig
