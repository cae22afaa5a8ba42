#include "hostrunner.h"

#include "hostoutput.h"

#include <bridgesimulator.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

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
    if (m_options.simulateMeters >= 0 && !startSimulator(&error)) {
        err << "veyra-host: " << error << '\n';
        return 1;
    }

    if (m_options.events) {
        err << summary();
        m_output = std::make_unique<EventOutput>(m_thingManager.get(), m_clock);
    } else {
        m_output = std::make_unique<TableOutput>(m_thingManager.get(), headline());
    }
    err.flush();

    m_thingManager->setStorePath(m_options.storePath);
    if (!m_thingManager->restoreThings(&error)) {
        err << "veyra-host: " << error << '\n';
        return 1;
    }
    createGateway();
    return -1;
}

quint16 HostRunner::storedGatewayPort() const
{
    QFile file(m_options.storePath);
    if (m_options.storePath.isEmpty() || !file.open(QIODevice::ReadOnly))
        return 0;
    const ThingClass *gatewayClass = m_thingManager->findThingClass(gatewayClassName);
    const int portIndex = gatewayClass->paramIndex(QStringLiteral("serverPort"));
    if (portIndex < 0)
        return 0;
    const QString portKey = gatewayClass->paramTypes().at(portIndex).id.toText();
    const QJsonArray things = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("things")).toArray();
    for (const QJsonValue &value : things) {
        const QJsonObject thing = value.toObject();
        if (thing.value(QStringLiteral("thingClassId")).toString() == gatewayClass->id().toText())
            return quint16(thing.value(QStringLiteral("params")).toObject().value(portKey).toVariant().toUInt());
    }
    return 0;
}

bool HostRunner::startSimulator(QString *error)
{
    lmnsim::Options simOptions;
    simOptions.serialPort = m_options.serialPort.toStdString();
    simOptions.meters = m_options.simulateMeters;
    // The host never reads the request record; kept, it would grow for as long as the host runs.
    simOptions.keepRecord = false;
    m_simulator = std::make_unique<lmnsim::BridgeSimulator>(simOptions);
    // A restored gateway keeps its port, so the simulator goes where the gateway looks.
    quint16 port = storedGatewayPort();
    if (port == 0 && m_options.serverPortGiven)
        port = quint16(m_options.serverPort.toUInt());
    if (!m_simulator->start(port)) {
        *error = QStringLiteral("the bridge simulator cannot listen on 127.0.0.1:%1").arg(port);
        return false;
    }
    m_options.serverPort = QString::number(m_simulator->port());
    QTextStream(stderr) << "veyra-host: bridge simulator with " << m_options.simulateMeters
                        << " meters listening on 127.0.0.1:" << m_simulator->port() << '\n';
    return true;
}

void HostRunner::createGateway()
{
    const ThingClass *gatewayClass = m_thingManager->findThingClass(gatewayClassName);
    for (Thing *thing : m_thingManager->things()) {
        if (thing->thingClassId() == gatewayClass->id())
            return;
    }
    ParamList params;
    for (const ParamType &paramType : gatewayClass->paramTypes()) {
        if (paramType.name == QLatin1String("port"))
            params.append(Param(paramType.id, m_options.serialPort));
        else if (paramType.name == QLatin1String("serverPort"))
            params.append(Param(paramType.id, m_options.serverPort));
    }
    m_thingManager->addThing(gatewayClass->id(), gatewayClass->displayName(), params);
}
