#include "soakrig.h"

#include <QThread>

#include <algorithm>
#include <atomic>

namespace soakrig {

std::unique_ptr<ThingManager> loadPlugin(const QString &dir, double unitMs, QString *error)
{
    auto manager = std::make_unique<ThingManager>();
    QStringList errors;
    if (manager->loadPlugins(dir, &errors) != 1) {
        *error = QStringLiteral("cannot load the plugin from %1: %2").arg(dir, errors.join(QLatin1Char(' ')));
        return nullptr;
    }
    manager->hardwareManager()->pluginTimerManager()->setUnitMs(unitMs);
    return manager;
}

ParamList gatewayParams(const ThingClass &gatewayClass, const QString &serverPort)
{
    const QVector<ParamType> &types = gatewayClass.paramTypes();
    return {Param(types.at(gatewayClass.paramIndex(QStringLiteral("port"))).id, QStringLiteral("/dev/ttymxc3")),
            Param(types.at(gatewayClass.paramIndex(QStringLiteral("serverPort"))).id, serverPort)};
}

StateTypeId stateTypeId(const ThingClass &thingClass, const QString &name)
{
    return thingClass.stateTypes().at(thingClass.stateIndex(name)).id;
}

QString deviceIdOf(const Thing *thing)
{
    return thing->paramValue(QStringLiteral("deviceID")).toString();
}

Things meterThings(const ThingManager &manager, const ThingClass &gatewayClass)
{
    Things meters;
    for (Thing *thing : manager.things()) {
        if (thing->thingClassId() != gatewayClass.id())
            meters.append(thing);
    }
    std::sort(meters.begin(), meters.end(), [](Thing *a, Thing *b) { return deviceIdOf(a) < deviceIdOf(b); });
    return meters;
}

namespace {

QtMessageHandler g_previousHandler = nullptr;
QObject *g_owner = nullptr;
std::function<void(QtMsgType, const QString &)> g_onLine;
std::atomic<int> g_foreignMessages{0};

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const bool plugin = context.category && qstrcmp(context.category, "QelLmn") == 0;
    if (plugin && g_owner && QThread::currentThread() == g_owner->thread()) {
        g_onLine(type, text);
        return;
    }
    if (!plugin)
        ++g_foreignMessages;
    g_previousHandler(type, context, text);
}

} // namespace

void enablePluginDebug()
{
    QByteArray rules = qgetenv("QT_LOGGING_RULES");
    rules += rules.isEmpty() ? "QelLmn.debug=true" : ";QelLmn.debug=true";
    qputenv("QT_LOGGING_RULES", rules);
}

void capturePluginLog(QObject *owner, std::function<void(QtMsgType, const QString &)> onLine)
{
    g_owner = owner;
    g_onLine = std::move(onLine);
    g_previousHandler = qInstallMessageHandler(handleMessage);
}

void releasePluginLog()
{
    qInstallMessageHandler(g_previousHandler);
    g_owner = nullptr;
}

int foreignMessages()
{
    return g_foreignMessages.load();
}

} // namespace soakrig
