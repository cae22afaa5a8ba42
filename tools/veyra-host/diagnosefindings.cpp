#include "diagnosis.h"

#include <qellmnports.h>

#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>

namespace Diagnose {

namespace {

// A path as a shell takes it when pasted: quoted unless it is plain.
QString shellWord(const QString &text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:+,=@%-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
}

int slotOf(const Thing *thing)
{
    static const QRegularExpression slotPattern(QStringLiteral("^qelLmnMeter(\\d+)$"));
    const auto match = slotPattern.match(thing->thingClass().name());
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

} // namespace

QString Diagnosis::removeThingHint(const QString &deviceId) const
{
    const QString check = QStringLiteral(
        "Compare the total with the meter's display. If the meter was replaced under the same ID, ");
    for (const Thing *thing : m_manager->things()) {
        if (!m_options.storePath.isEmpty() && thing->thingClassId() != m_gatewayClassId
            && thing->paramValue(QStringLiteral("deviceID")).toString() == deviceId)
            return check
                   + QStringLiteral(
                         "remove its thing, so that its totals start afresh: veyra-host --store %1 --remove-thing %2")
                         .arg(shellWord(m_options.storePath), thing->id().toText());
    }
    return check + QStringLiteral("remove its thing in the host, so that its totals start afresh.");
}

void Diagnosis::finish(bool cycleEnded)
{
    if (m_finished)
        return;
    m_finished = true;
    collectMeters();
    if (!m_bridgeAnswered || m_unreachable || m_noMeters)
        addBridgeProblem();
    if (cycleEnded || m_timedOut)
        addMeterProblems();
    if (m_timedOut && !cycleEnded && !m_unreachable && !m_noMeters) {
        m_problems.append(
            {QStringLiteral("The first polling cycle did not end within %1 s.").arg(m_options.timeoutSeconds),
             QStringLiteral("Give more time with --timeout; the plugin waits 10 s before it asks "
                            "the bridge for its meters, and a meter that does not answer costs a few seconds.")});
    }
    if (!cycleEnded && !m_timedOut && m_problems.isEmpty())
        m_problems.append({QStringLiteral("The check was stopped before the first polling cycle ended."), QString()});
    milestone(QStringLiteral("end"));
    // Ends every wait the plugin is in; its pending requests go with it.
    QCoreApplication::quit();
}

void Diagnosis::collectMeters()
{
    for (Thing *thing : m_manager->things()) {
        if (thing->thingClassId() == m_gatewayClassId)
            continue;
        const QString deviceId = thing->paramValue(QStringLiteral("deviceID")).toString();
        // A stored thing whose meter left the bus still holds its slot: on a full bus a new meter
        // gets none until the thing is removed.
        if (m_listSeen && !m_meters.contains(deviceId)) {
            m_problems.append(
                {QStringLiteral("Meter thing %1 in slot %2 belongs to meter %3, which the bridge no longer "
                                "lists; it keeps its slot.")
                     .arg(thing->name())
                     .arg(slotOf(thing))
                     .arg(deviceId),
                 QStringLiteral("If the meter is gone for good, remove its thing: veyra-host --store %1 "
                                "--remove-thing %2")
                     .arg(shellWord(m_options.storePath), thing->id().toText())});
            continue;
        }
        MeterResult &result = meter(deviceId);
        result.slot = slotOf(thing);
        result.consumed = thing->stateValue(consumedState).toDouble();
        result.produced = thing->stateValue(producedState).toDouble();
    }
}

QString Diagnosis::bridgeAddress() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_options.serverPort);
}

void Diagnosis::addBridgeProblem()
{
    if (m_noMeters && !m_unusableList.isEmpty()) {
        m_problems.append(
            {QStringLiteral("The bridge's answer to the meter list (/GetCurrentConnectionDetails) is unusable: "
                            "%1; the plugin finds no meters in it.")
                 .arg(m_unusableList),
             QStringLiteral("The bus and the meters are not to blame: check that the program on %1 is the LMN "
                            "bridge server, and read its log.")
                 .arg(bridgeAddress())});
        return;
    }
    if (m_noMeters) {
        const int index = QelLmnPorts::serialPortIndex(m_options.serialPort);
        m_problems.append(
            {QStringLiteral("The bridge lists no meters for port index %1 (the last digit of %2): its answer has no "
                            "entry at that index, or the entry lists none.")
                 .arg(index)
                 .arg(m_options.serialPort),
             QStringLiteral("Check that %1 is the serial port the meters hang on (its last digit selects the "
                            "bridge's port), then the bus wiring and the meters' power. A bridge that has just "
                            "started may need a minute to find its meters.")
                 .arg(m_options.serialPort)});
        return;
    }
    if (m_failedStep.isEmpty()) {
        // Nothing failed: the check ended while a request was still under way.
        m_problems.append(
            {m_stopped ? QStringLiteral("The check was stopped while it waited for the bridge at %1 to answer.")
                             .arg(bridgeAddress())
                       : QStringLiteral("The bridge at %1 had not answered when the check ended after %2 s.")
                             .arg(bridgeAddress())
                             .arg(m_options.timeoutSeconds),
             QStringLiteral("A bridge that takes connections but does not answer holds each request up to its "
                            "30 s deadline; read the bridge server's log, or restart it.")});
        return;
    }
    const bool refused = m_failureReason.contains(QLatin1String("refused"), Qt::CaseInsensitive);
    if (refused && m_bridgeAnswered) {
        m_problems.append({QStringLiteral("The bridge at %1 stopped answering during the check (%2).")
                               .arg(bridgeAddress(), m_failureReason),
                           QStringLiteral("Check whether the bridge server restarts or crashes; its log says more.")});
        return;
    }
    if (refused) {
        m_problems.append(
            {QStringLiteral("Nothing listens on %1 (%2).").arg(bridgeAddress(), m_failureReason),
             QStringLiteral("Start the bridge server, or give the port it listens on with --server-port.")});
        return;
    }
    if (m_failedStep == QLatin1String("Could not initialize port!")) {
        m_problems.append(
            {QStringLiteral("The bridge could not %1 the serial port %2 (%3).")
                 .arg(m_portStep == QLatin1String("re-initialised") ? QStringLiteral("re-initialise the bus on")
                                                                    : QStringLiteral("initialise"),
                      m_options.serialPort, m_failureReason),
             QStringLiteral("Check that %1 exists on the bridge's machine and that no other program "
                            "holds it; the bridge's own log says more.")
                 .arg(m_options.serialPort)});
        return;
    }
    const QString request = m_failedStep == QLatin1String("Could not reach server!") ? QStringLiteral("the probe")
                            : m_failedStep == QLatin1String("Could not get connection details!")
                                ? QStringLiteral("the connection details")
                            : m_failedStep == QLatin1String("Could not get value!") ? QStringLiteral("a value call")
                                                                                    : QString();
    const QString what =
        request.isEmpty()
            ? QStringLiteral("The bridge at %1 did not answer as expected").arg(bridgeAddress())
            : QStringLiteral("The bridge at %1 failed %2 (%3)").arg(bridgeAddress(), request, m_failureReason);
    m_problems.append({what + QLatin1Char('.'), QStringLiteral("Check that the program on this port is the LMN bridge "
                                                               "server, and read its log.")});
}

void Diagnosis::addMeterProblems()
{
    int full = 0;
    for (const MeterResult &result : qAsConst(m_meters)) {
        if (result.slotsFull) {
            ++full;
            continue;
        }
        // Said with what was refused.
        if (!result.refused.isEmpty())
            continue;
        if (result.consumedRead && result.producedRead)
            continue;
        const QString address = result.address >= 0 ? QStringLiteral(" (LMN address %1)").arg(result.address)
                                                    : QString();
        if (result.slot == 0) {
            m_problems.append(
                {QStringLiteral("Meter %1%2 has no meter thing.").arg(result.deviceId, address),
                 QStringLiteral("Run the check again; the host did not set up the thing the plugin announced.")});
        } else if (result.noNumber) {
            m_problems.append({QStringLiteral("Meter %1%2 answers %3 without a number.")
                                   .arg(result.deviceId, address, result.failedCalls.join(QStringLiteral(", "))),
                               QStringLiteral("The bridge reaches the meter but cannot read it; check the meter's type "
                                              "and firmware.")});
        } else if (!result.failedCalls.isEmpty()) {
            m_problems.append({QStringLiteral("Meter %1%2 never answers %3 (%4).")
                                   .arg(result.deviceId, address, result.failedCalls.join(QStringLiteral(", ")),
                                        result.failure.isEmpty() ? QStringLiteral("no reason given") : result.failure),
                               QStringLiteral("Check the meter's bus wiring and power, and that its LMN address is "
                                              "unique on the bus.")});
        } else if (result.firstCallMs >= 0) {
            m_problems.append(
                {QStringLiteral("Meter %1%2 was asked but had not answered when the check ended.")
                     .arg(result.deviceId, address),
                 QStringLiteral("A meter that does not answer holds the polling cycle up; give more time with "
                                "--timeout to see whether it answers at all.")});
        } else {
            m_problems.append(
                {QStringLiteral("Meter %1%2 was not read.").arg(result.deviceId, address),
                 QStringLiteral("The polling cycle did not reach it in time; give more time with --timeout.")});
        }
    }
    full = std::max(full, m_slotlessCount);
    if (full > 0) {
        m_problems.append(
            {QStringLiteral("%1 meter(s) over 32 get no meter thing and are not read.").arg(full),
             QStringLiteral("One gateway holds 32 meters; move the others to a bus on another serial port.")});
    }
}

} // namespace Diagnose
