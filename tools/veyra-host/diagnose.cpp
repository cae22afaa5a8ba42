#include "diagnosis.h"

#include <veyra/plugintimer.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace Diagnose {

Diagnosis::~Diagnosis()
{
    // The plugin goes first, while its lines still end here and not on the report's terminal.
    m_manager.reset();
    if (s_active == this) {
        qInstallMessageHandler(m_previousHandler);
        QLoggingCategory::installFilter(s_previousFilter);
        s_active = nullptr;
    }
}

bool Diagnosis::load(QString *error)
{
    QStringList errors;
    if (m_manager->loadPlugins(m_options.pluginDir, &errors) == 0) {
        *error = QStringLiteral("no plugin could be loaded from %1").arg(m_options.pluginDir);
        if (!errors.isEmpty())
            *error += QStringLiteral(" (%1)").arg(errors.join(QStringLiteral("; ")));
        return false;
    }
    if (!m_manager->findThingClass(QStringLiteral("lmn"))) {
        *error = QStringLiteral("no loaded plugin offers the thing class \"lmn\"");
        return false;
    }
    m_manager->hardwareManager()->pluginTimerManager()->setUnitMs(m_options.timerUnitMs);
    m_manager->setStorePath(m_options.storePath);
    // Locked like a normal run's store, so that a check never writes under a running host.
    return m_manager->claimStore(error) && m_manager->loadStore(error);
}

void Diagnosis::start()
{
    // The plugin's progress lines are debug lines: they are how the host learns what it saw,
    // whatever QT_LOGGING_RULES says.
    s_previousFilter = QLoggingCategory::installFilter(&Diagnosis::categoryFilter);
    s_active = this;
    const ThingClass *gatewayClass = m_manager->findThingClass(QStringLiteral("lmn"));
    m_gatewayClassId = gatewayClass->id();
    m_previousHandler = qInstallMessageHandler(&Diagnosis::messageHandler);

    connect(m_manager.get(), &ThingManager::thingStateChanged, this,
            [this](Thing *thing, const StateTypeId &, const QVariant &) {
                if (thing->thingClassId() == m_gatewayClassId && m_connectedMs < 0
                    && thing->stateValue(QStringLiteral("connected")).toBool()) {
                    m_connectedMs = m_clock.elapsed();
                    milestone(QStringLiteral("connected"));
                }
            });
    connect(m_manager.get(), &ThingManager::thingSetupFinished, this, [this](Thing *thing) {
        if (thing->thingClassId() != m_gatewayClassId && m_fireWanted)
            QTimer::singleShot(0, this, &Diagnosis::fireUpdateTimer);
    });
    QTimer::singleShot(qint64(m_options.timeoutSeconds * 1000), this, [this] {
        m_timedOut = true;
        finish(false);
    });

    for (Thing *thing : m_manager->things()) {
        if (thing->thingClassId() == gatewayClass->id())
            m_gateway = thing;
    }
    if (m_gateway) {
        // A stored gateway takes the ports given on the command line, as in a normal run.
        const ParamList changed = m_options.gatewayChanges(*m_gateway);
        if (!changed.isEmpty())
            m_manager->reconfigureThing(m_gateway->id(), changed);
        m_options.serverPort = m_gateway->paramValue(QStringLiteral("serverPort")).toString();
        m_options.serialPort = m_gateway->paramValue(QStringLiteral("port")).toString();
    }
    m_manager->setupStoredThings();
    if (m_gateway)
        return;
    // Its setup ends from the event loop; the plugin's log lines tell the check how it went.
    m_gateway = m_manager->addThing(gatewayClass->id(), gatewayClass->displayName(),
                                    m_options.gatewayParams(*gatewayClass));
}

void Diagnosis::milestone(const QString &name)
{
    m_milestones.append({name, m_clock.elapsed()});
}

MeterResult &Diagnosis::meter(const QString &deviceId)
{
    MeterResult &result = m_meters[deviceId];
    result.deviceId = deviceId;
    return result;
}

void Diagnosis::fireUpdateTimer()
{
    if (m_timerFired || m_finished)
        return;
    const QList<PluginTimer *> timers = m_manager->hardwareManager()->pluginTimerManager()->timers();
    if (timers.isEmpty())
        return; // again when the next meter thing is set up
    m_fireWanted = false;
    m_timerFired = true;
    milestone(QStringLiteral("meter things"));
    fireCycle();
}

void Diagnosis::fireCycle()
{
    if (m_finished)
        return;
    // The plugin's update period is long; a host may start a cycle early, as at its start-up.
    const QList<PluginTimer *> timers = m_manager->hardwareManager()->pluginTimerManager()->timers();
    for (PluginTimer *timer : timers)
        emit timer->timeout();
}

bool Diagnosis::refusalOpen() const
{
    return std::any_of(m_meters.cbegin(), m_meters.cend(),
                       [](const MeterResult &result) { return !result.refused.isEmpty() && !result.lockedOut; });
}

int run(const HostOptions &options)
{
    QTextStream err(stderr);
    QString error;
    if (!checkOptions(options, &error)) {
        err << "veyra-host: " << error << '\n';
        return BadOptions;
    }
    Diagnosis diagnosis(options);
    if (!diagnosis.load(&error)) {
        err << "veyra-host: " << error << '\n';
        return Failed;
    }
    // Started from the running event loop, so that every wait of the plugin can be ended.
    QTimer::singleShot(0, &diagnosis, [&diagnosis] { diagnosis.start(); });
    QCoreApplication::exec();
    diagnosis.stop();

    const QByteArray report = options.events
                                  ? QJsonDocument(diagnosis.jsonReport()).toJson(QJsonDocument::Compact) + '\n'
                                  : diagnosis.textReport().toUtf8();
    // Written whole, however slowly it is read; a stop asked for meanwhile ends the process at once,
    // by the signal's own action, rather than after the reader.
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, SIG_DFL);
    fwrite(report.constData(), 1, size_t(report.size()), stdout);
    fflush(stdout);
    return diagnosis.exitCode();
}

} // namespace Diagnose
