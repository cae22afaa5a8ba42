#include "testrig.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QThread>

#include <algorithm>

namespace rig {

QString pluginFile(const QString &directory)
{
    const QDir dir(directory);
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        if (QLibrary::isLibrary(name))
            return dir.absoluteFilePath(name);
    }
    return QString();
}

ParamList paramsByName(const ThingClass &thingClass, const QVariantMap &values)
{
    ParamList params;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        const int index = thingClass.paramIndex(it.key());
        if (index >= 0)
            params.append(Param(thingClass.paramTypes().at(index).id, it.value()));
    }
    return params;
}

StateTypeId stateTypeId(const ThingClass &thingClass, const QString &name)
{
    return thingClass.stateTypes().at(thingClass.stateIndex(name)).id;
}

QString deviceIdOf(const Thing *thing)
{
    return thing->paramValue(QStringLiteral("deviceID")).toString();
}

std::unique_ptr<ThingManager> loadHost(const QString &path, QString *error)
{
    auto manager = std::make_unique<ThingManager>();
    if (QFileInfo(path).isDir()) {
        QStringList errors;
        if (manager->loadPlugins(path, &errors) != 1) {
            *error = QStringLiteral("cannot load the plugin from %1: %2").arg(path, errors.join(QLatin1Char(' ')));
            return nullptr;
        }
    } else if (!manager->loadPlugin(path, error)) {
        return nullptr;
    }
    return manager;
}

bool PluginHost::load(const QString &path, QString *error)
{
    manager = loadHost(path, error);
    if (!manager)
        return false;
    plugin = manager->plugins().first().plugin;
    gatewayClass = manager->findThingClass(QStringLiteral("lmn"));
    if (!gatewayClass)
        *error = QStringLiteral("the plugin offers no thing class \"lmn\"");
    return gatewayClass;
}

ParamList PluginHost::gatewayParams(const QString &serverPort, const QString &serialPort) const
{
    return paramsByName(*gatewayClass,
                        {{QStringLiteral("port"), serialPort}, {QStringLiteral("serverPort"), serverPort}});
}

Thing *PluginHost::addGateway(const QString &serverPort, QString *error)
{
    gateway = manager->addThing(gatewayClass->id(), QStringLiteral("Gateway"), gatewayParams(serverPort), ThingId(),
                                error);
    return gateway;
}

Things PluginHost::meters() const
{
    Things result;
    for (Thing *thing : manager->things()) {
        if (thing->thingClass().name().startsWith(QLatin1String("qelLmnMeter")))
            result.append(thing);
    }
    std::sort(result.begin(), result.end(), [](Thing *a, Thing *b) { return deviceIdOf(a) < deviceIdOf(b); });
    return result;
}

Thing *PluginHost::meter(const QString &deviceId) const
{
    for (Thing *thing : meters()) {
        if (deviceIdOf(thing) == deviceId)
            return thing;
    }
    return nullptr;
}

QList<QTimer *> PluginHost::pluginTimers() const
{
    return plugin->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
}

namespace {
// A message handler is a plain function: it reaches the capture through this.
LogCapture *g_capture = nullptr;
} // namespace

void LogCapture::install()
{
    Q_ASSERT(!g_capture);
    g_capture = this;
    m_installed = true;
    m_thread = QThread::currentThreadId();
    m_previous = qInstallMessageHandler(handle);
}

void LogCapture::uninstall()
{
    if (!m_installed)
        return;
    qInstallMessageHandler(m_previous);
    g_capture = nullptr;
    m_installed = false;
}

int LogCapture::count(const QString &part) const
{
    int result = 0;
    for (const QString &line : lines)
        result += line.contains(part) ? 1 : 0;
    return result;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    LogCapture *self = g_capture;
    const bool plugin = context.category && qstrcmp(context.category, "QelLmn") == 0;
    if (plugin && QThread::currentThreadId() == self->m_thread) {
        if (self->m_record)
            self->lines.append(text);
        if (self->onLine)
            self->onLine(type, text);
        return;
    }
    if (!plugin)
        ++self->m_foreign;
    if (self->m_previous)
        self->m_previous(type, context, text);
}

Watchdog::Watchdog(std::function<void()> onHang) : m_onHang(std::move(onHang))
{
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        if (m_onHang)
            m_onHang();
        else
            qFatal("%s", qPrintable(m_what));
    });
}

void Watchdog::arm(int ms, const QString &what)
{
    m_what = what;
    m_timer.start(ms);
}

LogCapture &testLog()
{
    static LogCapture capture;
    return capture;
}

TestCase::TestCase(int watchdogMs, const QString &hang) : m_watchdogMs(watchdogMs), m_hang(hang) {}

void TestCase::initTestCase()
{
    // After QtTest has installed its own handler, so that failures still reach its output.
    testLog().install();
}

void TestCase::cleanupTestCase()
{
    testLog().uninstall();
}

void TestCase::init()
{
    testLog().lines.clear();
    m_watchdog.arm(m_watchdogMs, m_hang);
}

void TestCase::cleanup()
{
    m_watchdog.stop();
    testLog().onLine = nullptr;
}

} // namespace rig
