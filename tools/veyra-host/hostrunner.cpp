#include "hostrunner.h"

#include "hostoutput.h"
#include "terminaltext.h"

#include <bridgesimulator.h>
#include <qellmnports.h>

#include <QCoreApplication>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {
const QString gatewayClassName = QStringLiteral("lmn");
}

HostRunner::HostRunner(const HostOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_thingManager(std::make_unique<ThingManager>())
{
    m_clock.start();
}

HostRunner::~HostRunner()
{
    // The plugin goes before the simulator, so that it sees no bridge vanish under it.
    m_output.reset();
    m_log.reset();
    m_thingManager.reset();
    m_simulator.reset();
}

QString HostRunner::summary() const
{
    QString text;
    for (const LoadedPlugin &loaded : m_thingManager->plugins()) {
        const PluginMetadata &meta = loaded.metadata;
        text += QStringLiteral("Plugin %1 (%2), vendor %3 (%4), API version %5\n  from %6\n  %7 thing classes:")
                    .arg(meta.displayName, meta.id.toString(QUuid::WithoutBraces), meta.vendorDisplayName,
                         meta.vendorName, loaded.apiVersion.isEmpty() ? QStringLiteral("unknown") : loaded.apiVersion,
                         loaded.fileName)
                    .arg(meta.thingClasses.size());
        for (int i = 0; i < meta.thingClasses.size(); ++i)
            text += (i % 8 == 0 ? QStringLiteral("\n    ") : QStringLiteral(" ")) + meta.thingClasses.at(i).name();
        text += QLatin1Char('\n');
    }
    return text;
}

QString HostRunner::headline() const
{
    QStringList lines;
    for (const LoadedPlugin &loaded : m_thingManager->plugins()) {
        lines.append(QStringLiteral("veyra-host: plugin %1 by %2, API %3, %4 thing classes")
                         .arg(loaded.metadata.displayName, loaded.metadata.vendorDisplayName, loaded.apiVersion)
                         .arg(loaded.metadata.thingClasses.size()));
    }
    if (m_simulator)
        lines.append(QStringLiteral("bridge simulator: %1 meters on 127.0.0.1:%2")
                         .arg(m_options.simulateMeters)
                         .arg(m_simulator->port()));
    return lines.join(QLatin1Char('\n'));
}

int HostRunner::start()
{
    QTextStream err(stderr);
    QStringList errors;
    const int loaded = m_thingManager->loadPlugins(m_options.pluginDir, &errors);
    for (const QString &error : qAsConst(errors))
        err << "veyra-host: " << error << '\n';
    if (loaded == 0) {
        err << "veyra-host: no plugin could be loaded from " << m_options.pluginDir << '\n';
        return 1;
    }
    if (m_options.infoOnly) {
        QTextStream(stdout) << summary();
        return 0;
    }
    if (!m_thingManager->findThingClass(gatewayClassName)) {
        err << "veyra-host: no loaded plugin offers the thing class \"" << gatewayClassName << "\"\n";
        return 1;
    }
    m_thingManager->hardwareManager()->pluginTimerManager()->setUnitMs(m_options.timerUnitMs);

    QString error;
    if (!startStore(&error)) {
        err << "veyra-host: " << error << '\n';
        return 1;
    }
    if (!m_options.removeThingId.isEmpty())
        return removeStoredThing();
    Thing *gateway = storedGateway();
    if (gateway)
        applyCommandLine(gateway);
    if (m_options.simulateMeters >= 0 && !startSimulator(gateway, &error)) {
        err << "veyra-host: " << error << '\n';
        return 1;
    }
    if (m_options.events) {
        err << summary();
        err.flush();
    }
    m_log = std::make_unique<LogOutput>();
    if (m_options.events) {
        m_output = std::make_unique<EventOutput>(m_thingManager.get(), m_clock);
    } else {
        m_output = std::make_unique<TableOutput>(m_thingManager.get(), headline());
    }
    // Queued: a stop decided while the output is being written must not cut into the plugin's code.
    connect(m_output.get(), &HostOutput::outputClosed, this, &HostRunner::stop, Qt::QueuedConnection);

    // Run from the event loop, so that a stop signal or the end of --run-for reaches a plugin's
    // setup there, even one that waits in a nested event loop.
    QMetaObject::invokeMethod(this, &HostRunner::startThings, Qt::QueuedConnection);
    scheduleRunFor();
    return -1;
}

bool HostRunner::startStore(QString *error)
{
    m_thingManager->setStorePath(m_options.storePath);
    m_thingManager->setStoreInterval(qint64(m_options.storeIntervalSeconds * 1000));
    return m_thingManager->claimStore(error) && m_thingManager->loadStore(error);
}

// As a user removes a thing in a host's interface: the plugin is told, the children go too, and
// the store keeps the rest. Nothing is set up.
int HostRunner::removeStoredThing()
{
    const ThingId id(m_options.removeThingId);
    Thing *thing = m_thingManager->findThing(id);
    if (!thing) {
        QTextStream(stderr) << "veyra-host: the store " << m_options.storePath << " holds no thing " << id.toText()
                            << " that a loaded plugin knows\n";
        return 1;
    }
    QStringList removed;
    connect(m_thingManager.get(), &ThingManager::thingRemoved, this, [&removed](Thing *gone) {
        removed.append(QStringLiteral("%1 (%2, %3)").arg(gone->name(), gone->thingClass().name(), gone->id().toText()));
    });
    m_thingManager->removeThing(id);
    if (!finish())
        return 1;
    QTextStream out(stdout);
    for (const QString &line : qAsConst(removed))
        out << "removed " << TerminalText::safe(line) << '\n';
    return 0;
}

Thing *HostRunner::storedGateway() const
{
    const ThingClass *gatewayClass = m_thingManager->findThingClass(gatewayClassName);
    for (Thing *thing : m_thingManager->things()) {
        if (thing->thingClassId() == gatewayClass->id())
            return thing;
    }
    return nullptr;
}

// Params given on the command line win over the stored ones, as if the user had edited them.
void HostRunner::applyCommandLine(Thing *gateway)
{
    const ParamList changed = m_options.gatewayChanges(*gateway);
    if (changed.isEmpty())
        return;
    // What the gateway ends up with: a port not given keeps its stored value.
    const QString serialPort = m_options.serialPortGiven ? m_options.serialPort
                                                         : gateway->paramValue(QStringLiteral("port")).toString();
    const QString serverPort = m_options.serverPortGiven ? m_options.serverPort
                                                         : gateway->paramValue(QStringLiteral("serverPort")).toString();
    QTextStream(stderr) << "veyra-host: the stored gateway takes the ports given on the command line: " << serialPort
                        << ", server port " << serverPort << '\n';
    m_thingManager->reconfigureThing(gateway->id(), changed);
}

bool HostRunner::startSimulator(Thing *gateway, QString *error)
{
    // The simulator serves the serial port and listens on the server port the gateway will use, or
    // on a free one for a new gateway without --server-port.
    QString serialPort = m_options.serialPort;
    QString serverPort = m_options.serverPortGiven ? m_options.serverPort : QString();
    if (gateway) {
        serialPort = gateway->paramValue(QStringLiteral("port")).toString();
        serverPort = gateway->paramValue(QStringLiteral("serverPort")).toString();
    }
    const quint16 port = serverPort.isNull() ? 0 : QelLmnPorts::serverPort(serverPort);
    if (!serverPort.isNull() && port == 0) {
        *error = QStringLiteral("the stored gateway's server port \"%1\" is no port for the bridge simulator; "
                                "give --server-port")
                     .arg(serverPort);
        return false;
    }
    lmnsim::Options simOptions;
    simOptions.serialPort = serialPort.toStdString();
    simOptions.meters = m_options.simulateMeters;
    // The host never reads the request record; kept, it would grow for as long as the host runs.
    simOptions.keepRecord = false;
    m_simulator = std::make_unique<lmnsim::BridgeSimulator>(simOptions);
    if (!m_simulator->start(port)) {
        *error = port == 0 ? QStringLiteral("the bridge simulator cannot listen on 127.0.0.1")
                           : QStringLiteral("the bridge simulator cannot listen on 127.0.0.1:%1: the port is in use "
                                            "or not allowed")
                                 .arg(port);
        m_simulator.reset();
        return false;
    }
    // A real bus keeps counting while the host is off: the stored meters' totals go on from where
    // they were, rather than restarting below them (which the plugin would take for a fault).
    for (const Thing *thing : m_thingManager->things()) {
        const QVariant consumed = thing->stateValue(QStringLiteral("totalEnergyConsumed"));
        const QVariant produced = thing->stateValue(QStringLiteral("totalEnergyProduced"));
        if (thing->parentId().isNull() || !consumed.isValid() || !produced.isValid())
            continue;
        m_simulator->continueFrom(consumed.toDouble() * 1000, produced.toDouble() * 1000);
    }
    m_options.serverPort = QString::number(m_simulator->port());
    QTextStream(stderr) << "veyra-host: bridge simulator with " << m_options.simulateMeters
                        << " meters listening on 127.0.0.1:" << m_simulator->port() << '\n';
    return true;
}

void HostRunner::startThings()
{
    m_thingManager->setupStoredThings();
    createGateway();
}

void HostRunner::createGateway()
{
    if (storedGateway())
        return;
    const ThingClass *gatewayClass = m_thingManager->findThingClass(gatewayClassName);
    m_thingManager->addThing(gatewayClass->id(), gatewayClass->displayName(), m_options.gatewayParams(*gatewayClass));
}

// A QTimer counts in int milliseconds; a long run goes in steps of at most a day.
void HostRunner::scheduleRunFor()
{
    if (m_options.runForSeconds < 0)
        return;
    if (!m_runFor) {
        m_runFor = new QTimer(this);
        m_runFor->setSingleShot(true);
        m_runFor->setTimerType(Qt::PreciseTimer);
        connect(m_runFor, &QTimer::timeout, this, &HostRunner::scheduleRunFor);
    }
    constexpr double dayMs = 24 * 3600 * 1000.0;
    const double remainingMs = m_options.runForSeconds * 1000 - double(m_clock.elapsed());
    if (remainingMs <= 0) {
        stop();
        return;
    }
    m_runFor->start(int(std::ceil(std::min(remainingMs, dayMs))));
}

void HostRunner::stop()
{
    switch (QThread::currentThread()->loopLevel()) {
    case 0: // not running yet: the event loop takes it up
        QMetaObject::invokeMethod(this, &HostRunner::stop, Qt::QueuedConnection);
        return;
    case 1: QCoreApplication::quit(); return;
    default:
        // A plugin waits in a nested event loop of its own. Ending those loops early would run
        // its code on as if the wait were over, and a loop it enters next would end at once; the
        // store already holds every change, so the host ends here.
        exitNow();
    }
}

void HostRunner::exitNow()
{
    const bool saved = finish();
    m_simulator.reset();
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(saved ? 0 : 1);
}

bool HostRunner::finish()
{
    m_output.reset(); // a pipe or file gets its last table, and warnings go to stderr again
    if (m_thingManager->storeOutdated())
        m_thingManager->saveStore();
    const QString error = m_thingManager->lastSaveError();
    // Through the log's channel while it is there: a stalled stderr must not hold the stop up.
    if (!error.isEmpty() && m_log)
        m_log->writeLine(QStringLiteral("veyra-host: ") + error);
    else if (!error.isEmpty())
        QTextStream(stderr) << "veyra-host: " << error << '\n';
    m_log.reset();
    m_thingManager->releaseStore();
    return error.isEmpty();
}
