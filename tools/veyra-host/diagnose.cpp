#include "diagnose.h"

#include "terminaltext.h"

#include <veyra/plugintimer.h>
#include <veyra/thingmanager.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMap>
#include <QPointer>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

const QString consumedState = QStringLiteral("totalEnergyConsumed");
const QString producedState = QStringLiteral("totalEnergyProduced");
const QString plusCall = QStringLiteral("GeActiceEnergyPlusTotal");
const QString minusCall = QStringLiteral("GeActiceEnergyMinusTotal");

struct Problem
{
    QString text;
    QString hint;
};

struct MeterResult
{
    QString deviceId;
    int address = -1;         // -1: the bridge's list was not seen
    int slot = 0;             // 0: no meter thing
    bool slotsFull = false;   // the plugin had no slot left for it
    bool consumedRead = false;
    bool producedRead = false;
    double consumed = 0;
    double produced = 0;
    qint64 firstCallMs = -1;
    qint64 lastAnswerMs = -1;
    QStringList failedCalls;  // the value calls the plugin gave up on
    QString failure;          // why, as the request layer said
    int failureStatus = 0;
    bool noNumber = false;    // answered, but without a number
    QStringList refused;      // totals the plugin did not write, as they cannot be right
    bool lockedOut = false;   // the plugin said it keeps refusing one
};

// A text as the message stream quoted it, read back: \" \\ \b \f \n \r \t, \uXXXX and
// \UXXXXXXXX for other characters it does not print (controls, lone surrogates, zero-width
// ones), \xHH for bytes.
QString unquoted(const QString &quoted)
{
    if (!quoted.contains(QLatin1Char('\\')))
        return quoted;
    QString text;
    text.reserve(quoted.size());
    for (int i = 0; i < quoted.size(); ++i) {
        const QChar c = quoted.at(i);
        if (c != QLatin1Char('\\') || i + 1 == quoted.size()) {
            text += c;
            continue;
        }
        const char escape = quoted.at(++i).toLatin1();
        switch (escape) {
        case 'b': text += QLatin1Char('\b'); break;
        case 'f': text += QLatin1Char('\f'); break;
        case 'n': text += QLatin1Char('\n'); break;
        case 'r': text += QLatin1Char('\r'); break;
        case 't': text += QLatin1Char('\t'); break;
        case 'u':
        case 'U':
        case 'x': {
            const int digits = escape == 'u' ? 4 : escape == 'U' ? 8 : 2;
            const QString hex = quoted.mid(i + 1, digits);
            bool ok = false;
            const uint code = hex.toUInt(&ok, 16);
            if (!ok || hex.size() != digits || code > 0x10FFFF) {
                text += quoted.at(i);
                break;
            }
            const char32_t ucs4 = code;
            text += code > 0xFFFF ? QString::fromUcs4(&ucs4, 1) : QString(QChar(ushort(code)));
            i += digits;
            break;
        }
        default: // \" and \\ stand for themselves
            text += quoted.at(i);
        }
    }
    return text;
}

// The closing quote of the quoted text that opens at `open`, -1 when it is not closed.
int closingQuote(const QString &line, int open)
{
    int at = open + 1;
    while (at < line.size() && line.at(at) != QLatin1Char('"'))
        at += line.at(at) == QLatin1Char('\\') ? 2 : 1;
    return at < line.size() ? at : -1;
}

// Texts in double quotes of one log line, as the message stream writes them.
QStringList quotedTexts(const QString &line)
{
    // Scanned by hand: a regular expression runs out of stack on a long text (a device ID of
    // hundreds of kB) and then finds nothing, so a listed meter would be taken for a gone one.
    QStringList texts;
    for (int open = line.indexOf(QLatin1Char('"')); open >= 0; open = line.indexOf(QLatin1Char('"'), open)) {
        const int close = closingQuote(line, open);
        if (close < 0)
            break;
        texts.append(unquoted(line.mid(open + 1, close - open - 1)));
        open = close + 1;
    }
    return texts;
}

// The request layer's text names the whole URL; what the bridge said is the part worth reading.
QString shortReason(const QString &reason, int httpStatus)
{
    const int replied = reason.indexOf(QLatin1String("server replied: "));
    if (replied < 0)
        return reason;
    const QString said = reason.mid(replied + 16);
    return httpStatus > 0 ? QStringLiteral("HTTP %1 %2").arg(httpStatus).arg(said) : said;
}

// A path as a shell takes it when pasted: quoted unless it is plain.
QString shellWord(const QString &text)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:+,=@%-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
}

// The plugin's warning about a meter list it cannot use; the reason follows, with a full stop.
const QString unusableListLine = QStringLiteral("The connection details are unusable, so no meter can be found: ");

QString seconds(qint64 ms)
{
    return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 3);
}

int slotOf(const Thing *thing)
{
    static const QRegularExpression slotPattern(QStringLiteral("^qelLmnMeter(\\d+)$"));
    const auto match = slotPattern.match(thing->thingClass().name());
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

// Cycles a check runs at most while a total is refused: beyond the plugin's 6 readings.
constexpr int followRefusedCycles = 8;

int portIndex(const QString &serialPort)
{
    return serialPort.isEmpty() || !serialPort.back().isDigit() ? -1 : serialPort.back().digitValue();
}

class Diagnosis : public QObject
{
public:
    explicit Diagnosis(const HostOptions &options) : m_options(options) { m_clock.start(); }
    ~Diagnosis() override;

    bool load(QString *error);
    void start();
    // Ends a check that was stopped from outside (a signal) with what it has seen.
    void stop() { finish(false); }
    int exitCode() const { return m_problems.isEmpty() && m_finished ? Diagnose::AllRead : Diagnose::Failed; }
    QString textReport() const;
    QJsonObject jsonReport() const;

private:
    static void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    static void categoryFilter(QLoggingCategory *category);
    static QLoggingCategory::CategoryFilter s_previousFilter;
    void onPluginLine(const QString &line);
    void onRequestFailure(const QString &line);
    void onValueLine(const QString &line);
    void onMeterWarning(const QString &line);
    void milestone(const QString &name);
    void fireUpdateTimer();
    void fireCycle();
    bool refusalOpen() const;
    QString removeThingHint(const QString &deviceId) const;
    void finish(bool cycleEnded);
    void collectMeters();
    void addBridgeProblem();
    void addMeterProblems();
    QString bridgeAddress() const;
    MeterResult &meter(const QString &deviceId);

    HostOptions m_options;
    QElapsedTimer m_clock;
    std::unique_ptr<ThingManager> m_manager = std::make_unique<ThingManager>();
    Thing *m_gateway = nullptr;
    ThingClassId m_gatewayClassId;
    QtMessageHandler m_previousHandler = nullptr;
    static Diagnosis *s_active;

    // What the plugin's lines told so far.
    QList<QPair<QString, qint64>> m_milestones; // name, ms since the start
    QString m_portStep;                         // "initialised" or "re-initialised"
    qint64 m_connectedMs = -1;
    bool m_bridgeAnswered = false;
    QString m_failedStep;                       // the request that failed, as the plugin names it
    QString m_failureReason;
    int m_httpStatus = 0;
    bool m_unreachable = false;
    bool m_noMeters = false;
    QString m_unusableList;                     // what the plugin found wrong with the meter list
    bool m_listSeen = false;
    bool m_timerFired = false;
    int m_cyclesRun = 0;
    int m_slotlessCount = 0; // meters the plugin said it has no slot for
    bool m_fireWanted = false;
    bool m_finished = false;
    bool m_timedOut = false;
    QString m_valueErrorDevice;                 // device of the value call whose error report runs
    QMap<QString, MeterResult> m_meters;        // by device ID
    QList<Problem> m_problems;
};

Diagnosis *Diagnosis::s_active = nullptr;
QLoggingCategory::CategoryFilter Diagnosis::s_previousFilter = nullptr;

void Diagnosis::categoryFilter(QLoggingCategory *category)
{
    if (s_previousFilter)
        s_previousFilter(category);
    if (qstrcmp(category->categoryName(), "QelLmn") == 0) {
        for (QtMsgType type : {QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg})
            category->setEnabled(type, true);
    }
}

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

void Diagnosis::messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (s_active && qstrcmp(context.category, "QelLmn") == 0) {
        s_active->onPluginLine(message);
        return;
    }
    if (s_active && s_active->m_previousHandler)
        s_active->m_previousHandler(type, context, message);
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
                if (thing->thingClassId() == m_gatewayClassId && m_connectedMs < 0 && thing->stateValue(QStringLiteral("connected")).toBool()) {
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
    // Set up from within addThing(): a bridge that is down is known before it returns.
    m_gateway = m_manager->addThing(gatewayClass->id(), gatewayClass->displayName(), m_options.gatewayParams(*gatewayClass));
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

void Diagnosis::onPluginLine(const QString &line)
{
    if (m_finished)
        return;
    if (line == QLatin1String("Handle reconfigure.")) {
        m_portStep = QStringLiteral("re-initialised");
    } else if (line == QLatin1String("Setup connection upon first connection.")) {
        m_portStep = QStringLiteral("initialised");
    } else if (line == QLatin1String("Server reached.")) {
        m_bridgeAnswered = true;
        milestone(QStringLiteral("bridge answered"));
    } else if (line == QLatin1String("Port initialized.")) {
        milestone(m_portStep == QLatin1String("re-initialised") ? QStringLiteral("bus re-initialised")
                                                                 : QStringLiteral("port initialised"));
    } else if (line.startsWith(QLatin1String("QHash("))) {
        // ("id", address) entries; the IDs are scanned by hand for the reason given at quotedTexts.
        static const QRegularExpression address(QStringLiteral(", (-?\\d+)\\)"));
        const QLatin1String entry("(\"");
        for (int open = line.indexOf(entry); open >= 0; open = line.indexOf(entry, open)) {
            const int close = closingQuote(line, open + 1);
            if (close < 0)
                break;
            const auto match = address.match(line, close + 1, QRegularExpression::NormalMatch,
                                             QRegularExpression::AnchoredMatchOption);
            if (match.hasMatch())
                meter(unquoted(line.mid(open + 2, close - open - 2))).address = match.captured(1).toInt();
            open = close + 1;
        }
        m_listSeen = true;
    } else if (line == QLatin1String("Device information received.")) {
        if (!m_fireWanted && !m_timerFired) {
            milestone(QStringLiteral("meter list"));
            m_fireWanted = true;
            // After the plugin has announced its meters and the host has set them up.
            QTimer::singleShot(0, this, &Diagnosis::fireUpdateTimer);
        }
    } else if (line == QLatin1String("No devices found, retrying.")) {
        m_noMeters = true;
        finish(false);
    } else if (line.startsWith(unusableListLine)) {
        // Said just before "No devices found": the answer was there, but of no use.
        m_unusableList = line.mid(unusableListLine.size()).chopped(1);
    } else if (line == QLatin1String("All devices updated.")) {
        if (m_timerFired) {
            if (m_cyclesRun++ == 0)
                milestone(QStringLiteral("first polling cycle"));
            // A refused total is followed until the plugin says it keeps refusing it (after 6
            // readings), which a meter replaced under the same ID does for ever.
            if (m_cyclesRun < followRefusedCycles && refusalOpen()) {
                QTimer::singleShot(0, this, &Diagnosis::fireCycle);
                return;
            }
            finish(true);
        }
    } else if (line == QLatin1String("Server is not reachable!") || line == QLatin1String("Port is not reachable!")) {
        m_unreachable = true;
        finish(false);
    } else if (line.startsWith(QLatin1String("Could not "))) {
        m_failedStep = line;
        m_failureReason.clear();
        m_httpStatus = 0;
    } else if (line.startsWith(QLatin1String("Error code: ")) || line.startsWith(QLatin1String("Error Reply: "))) {
        onRequestFailure(line);
    } else if (line.endsWith(QLatin1String("has no whole-number lmnAdress, so it is not polled."))) {
        const QStringList texts = quotedTexts(line);
        m_problems.append({QStringLiteral("The bridge lists meter %1 without a usable LMN address; it is not polled.")
                               .arg(texts.isEmpty() ? QString() : texts.first()),
                           QStringLiteral("Check the meter's address on the bridge: it must be a whole number.")});
    } else if (line.startsWith(QLatin1String("Meter ")) || line.startsWith(QLatin1String("Meters "))) {
        onMeterWarning(line);
    } else if (line.startsWith(QLatin1String("All 32 meter slots are taken"))) {
        const QStringList texts = quotedTexts(line);
        if (!texts.isEmpty())
            meter(texts.last()).slotsFull = true;
        // One line for all of them, named by the first.
        static const QRegularExpression leftOut(QStringLiteral(" - (\\d+) meters? (?:is|are) left out\\.$"));
        if (const auto match = leftOut.match(line); match.hasMatch())
            m_slotlessCount = match.captured(1).toInt();
    } else {
        onValueLine(line);
    }
}

void Diagnosis::onRequestFailure(const QString &line)
{
    if (line.startsWith(QLatin1String("Error code: "))) {
        (m_valueErrorDevice.isEmpty() ? m_httpStatus : meter(m_valueErrorDevice).failureStatus) = line.mid(12).trimmed().toInt();
        return;
    }
    const QStringList texts = quotedTexts(line);
    const QString reason = texts.isEmpty() ? line.mid(13).trimmed() : texts.last();
    if (!m_valueErrorDevice.isEmpty()) {
        MeterResult &result = meter(m_valueErrorDevice);
        result.failure = shortReason(reason, result.failureStatus);
        m_valueErrorDevice.clear();
        return;
    }
    m_failureReason = shortReason(reason, m_httpStatus);
}

void Diagnosis::onValueLine(const QString &line)
{
    const QStringList texts = quotedTexts(line);
    if (texts.size() < 2)
        return;
    const QString &api = texts.at(0);
    const QString &deviceId = texts.at(1);
    if (line.startsWith(QLatin1String("Updating value"))) {
        MeterResult &result = meter(deviceId);
        if (result.firstCallMs < 0)
            result.firstCallMs = m_clock.elapsed();
    } else if (line.startsWith(QLatin1String("Call ")) && line.endsWith(QLatin1String("successful."))) {
        MeterResult &result = meter(deviceId);
        (api == plusCall ? result.consumedRead : result.producedRead) = true;
        result.lastAnswerMs = m_clock.elapsed();
    } else if (line.startsWith(QLatin1String("Reply to"))) {
        // Answered, but the plugin found no number in it and reported nothing.
        MeterResult &result = meter(deviceId);
        (api == plusCall ? result.consumedRead : result.producedRead) = false;
        result.noNumber = true;
        result.failedCalls.append(api);
    } else if (line.startsWith(QLatin1String("Error in "))) {
        m_valueErrorDevice = deviceId;
    } else if (line.startsWith(QLatin1String("Giving up on"))) {
        MeterResult &result = meter(deviceId);
        result.failedCalls.append(api);
        result.lastAnswerMs = m_clock.elapsed();
    } else if (line.startsWith(QLatin1String("Device")) && line.endsWith(QLatin1String("not sent."))) {
        MeterResult &result = meter(texts.at(0));
        result.failedCalls.append(texts.at(1));
        result.failure = QStringLiteral("the bridge no longer lists it");
    }
}

// The plugin's warnings about the bridge's member list and about readings it did not write.
void Diagnosis::onMeterWarning(const QString &line)
{
    static const QRegularExpression listedTwice(QStringLiteral("is listed at LMN addresses (.+) - only address (-?\\d+) is polled\\.$"));
    static const QRegularExpression shared(QStringLiteral("share LMN address (-?\\d+) - "));
    static const QRegularExpression refused(QStringLiteral("\" (total\\w+) of (\\S+) kWh not written, as it is (.+) Last written: (\\S+) kWh\\.$"));
    static const QRegularExpression lockedOut(
        QStringLiteral("\" (total\\w+) has been refused for (\\d+) readings in a row; "));
    const QStringList texts = quotedTexts(line);
    if (texts.isEmpty())
        return;
    const QString &deviceId = texts.first();
    if (const auto match = listedTwice.match(line); match.hasMatch()) {
        m_problems.append({QStringLiteral("The bridge lists meter %1 at more than one LMN address (%2); only address %3 is read.")
                               .arg(deviceId, match.captured(1), match.captured(2)),
                           QStringLiteral("Two meters answer with one server ID, or the bridge's list is out of date: "
                                          "check the IDs on the meters' displays and let the bridge scan the bus again.")});
    } else if (const auto sharedMatch = shared.match(line); sharedMatch.hasMatch()) {
        m_problems.append({QStringLiteral("The bridge lists meters %1 at one LMN address %2; none of them is read until it lists them apart.")
                               .arg(texts.join(QStringLiteral(", ")), sharedMatch.captured(1)),
                           QStringLiteral("Every meter on the bus needs an LMN address of its own: check the meters' "
                                          "addresses, then let the bridge scan the bus again.")});
    } else if (const auto refusedMatch = refused.match(line); refusedMatch.hasMatch()) {
        meter(deviceId).refused.append(refusedMatch.captured(1));
        m_problems.append({QStringLiteral("Meter %1 reads %2 = %3 kWh, which was not written: %4 The last written total is %5 kWh.")
                               .arg(deviceId, refusedMatch.captured(1), refusedMatch.captured(2), refusedMatch.captured(3),
                                    refusedMatch.captured(4)),
                           QStringLiteral("The bridge serves a total that cannot be right: compare it with the meter's "
                                          "display. A meter that was replaced under the same ID needs its thing removed, "
                                          "so that its totals start afresh.")});
    } else if (const auto lockedMatch = lockedOut.match(line); lockedMatch.hasMatch()) {
        meter(deviceId).lockedOut = true;
        m_problems.append(
            {QStringLiteral("Meter %1's %2 has been refused for %3 readings in a row; its thing keeps the total "
                            "of the meter it was made for.")
                 .arg(deviceId, lockedMatch.captured(1), lockedMatch.captured(2)),
             removeThingHint(deviceId)});
    } else if (line.endsWith(QLatin1String("is not answering; its totals keep their last values."))) {
        MeterResult &result = meter(deviceId);
        if (result.failure.isEmpty())
            result.failure = QStringLiteral("it does not answer while the others do");
    }
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
        m_problems.append({QStringLiteral("The first polling cycle did not end within %1 s.").arg(m_options.timeoutSeconds),
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
            m_problems.append({QStringLiteral("Meter thing %1 in slot %2 belongs to meter %3, which the bridge no longer "
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
        m_problems.append({QStringLiteral("The bridge's answer to the meter list (/GetCurrentConnectionDetails) is unusable: "
                                          "%1; the plugin finds no meters in it.")
                               .arg(m_unusableList),
                           QStringLiteral("The bus and the meters are not to blame: check that the program on %1 is the LMN "
                                          "bridge server, and read its log.")
                               .arg(bridgeAddress())});
        return;
    }
    if (m_noMeters) {
        const int index = portIndex(m_options.serialPort);
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
    const bool refused = m_failureReason.contains(QLatin1String("refused"), Qt::CaseInsensitive);
    if (refused && m_bridgeAnswered) {
        m_problems.append({QStringLiteral("The bridge at %1 stopped answering during the check (%2).").arg(bridgeAddress(), m_failureReason),
                           QStringLiteral("Check whether the bridge server restarts or crashes; its log says more.")});
        return;
    }
    if (refused) {
        m_problems.append({QStringLiteral("Nothing listens on %1 (%2).").arg(bridgeAddress(), m_failureReason),
                           QStringLiteral("Start the bridge server, or give the port it listens on with --server-port.")});
        return;
    }
    if (m_failedStep == QLatin1String("Could not initialize port!")) {
        m_problems.append({QStringLiteral("The bridge could not %1 the serial port %2 (%3).")
                               .arg(m_portStep == QLatin1String("re-initialised") ? QStringLiteral("re-initialise the bus on")
                                                                                    : QStringLiteral("initialise"),
                                    m_options.serialPort, m_failureReason),
                           QStringLiteral("Check that %1 exists on the bridge's machine and that no other program "
                                          "holds it; the bridge's own log says more.")
                               .arg(m_options.serialPort)});
        return;
    }
    const QString request = m_failedStep == QLatin1String("Could not reach server!")         ? QStringLiteral("the probe")
                            : m_failedStep == QLatin1String("Could not get connection details!") ? QStringLiteral("the connection details")
                            : m_failedStep == QLatin1String("Could not get value!")            ? QStringLiteral("a value call")
                                                                                             : QString();
    const QString what = request.isEmpty() ? QStringLiteral("The bridge at %1 did not answer as expected").arg(bridgeAddress())
                                           : QStringLiteral("The bridge at %1 failed %2 (%3)").arg(bridgeAddress(), request, m_failureReason);
    m_problems.append({what + QLatin1Char('.'),
                       QStringLiteral("Check that the program on this port is the LMN bridge server, and read its log.")});
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
        const QString address = result.address >= 0 ? QStringLiteral(" (LMN address %1)").arg(result.address) : QString();
        if (result.slot == 0) {
            m_problems.append({QStringLiteral("Meter %1%2 has no meter thing.").arg(result.deviceId, address),
                               QStringLiteral("Run the check again; the host did not set up the thing the plugin announced.")});
        } else if (result.noNumber) {
            m_problems.append({QStringLiteral("Meter %1%2 answers %3 without a number.").arg(result.deviceId, address, result.failedCalls.join(QStringLiteral(", "))),
                               QStringLiteral("The bridge reaches the meter but cannot read it; check the meter's type and firmware.")});
        } else if (!result.failedCalls.isEmpty()) {
            m_problems.append({QStringLiteral("Meter %1%2 never answers %3 (%4).")
                                   .arg(result.deviceId, address, result.failedCalls.join(QStringLiteral(", ")),
                                        result.failure.isEmpty() ? QStringLiteral("no reason given") : result.failure),
                               QStringLiteral("Check the meter's bus wiring and power, and that its LMN address is unique on the bus.")});
        } else if (result.firstCallMs >= 0) {
            m_problems.append({QStringLiteral("Meter %1%2 was asked but had not answered when the check ended.").arg(result.deviceId, address),
                               QStringLiteral("A meter that does not answer holds the polling cycle up; give more time with "
                                              "--timeout to see whether it answers at all.")});
        } else {
            m_problems.append({QStringLiteral("Meter %1%2 was not read.").arg(result.deviceId, address),
                               QStringLiteral("The polling cycle did not reach it in time; give more time with --timeout.")});
        }
    }
    full = std::max(full, m_slotlessCount);
    if (full > 0) {
        m_problems.append({QStringLiteral("%1 meter(s) over 32 get no meter thing and are not read.").arg(full),
                           QStringLiteral("One gateway holds 32 meters; move the others to a bus on another serial port.")});
    }
}

QString Diagnosis::textReport() const
{
    QString text;
    QTextStream out(&text);
    // What came from outside is made safe before it is placed, so that a line break in it
    // cannot split a line either.
    out << "veyra-host diagnose: bridge " << bridgeAddress() << ", serial port " << TerminalText::safe(m_options.serialPort) << "\n\n";

    out << "Bridge\n";
    out << QStringLiteral("  %1 %2\n").arg(QStringLiteral("reachable"), -16)
               .arg(m_bridgeAnswered ? QStringLiteral("yes")
                                     : QStringLiteral("no") + (m_failureReason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(TerminalText::safe(m_failureReason))));
    const bool portUp = std::any_of(m_milestones.cbegin(), m_milestones.cend(),
                                    [](const auto &m) { return m.first.endsWith(QLatin1String("initialised")); });
    out << QStringLiteral("  %1 %2\n").arg(QStringLiteral("serial port"), -16)
               .arg(portUp ? m_portStep : m_portStep.isEmpty() ? QStringLiteral("not initialised")
                                                               : QStringLiteral("not %1").arg(m_portStep));
    out << QStringLiteral("  %1 %2\n").arg(QStringLiteral("connected after"), -16)
               .arg(m_connectedMs < 0 ? QStringLiteral("never") : seconds(m_connectedMs));

    out << "\nSteps\n";
    qint64 previous = 0;
    for (const auto &step : m_milestones) {
        if (step.first == QLatin1String("end") || step.first == QLatin1String("connected"))
            continue;
        out << QStringLiteral("  %1 %2").arg(step.first, -22).arg(seconds(step.second - previous), 10);
        if (step.first == QLatin1String("meter list"))
            out << "  (the plugin waits 10 s before it asks)";
        out << '\n';
        previous = step.second;
    }
    out << QStringLiteral("  %1 %2\n").arg(QStringLiteral("total"), -22).arg(seconds(m_milestones.last().second), 10);

    out << "\nMeters (" << m_meters.size() << " listed for port index " << portIndex(m_options.serialPort) << ")\n";
    if (!m_meters.isEmpty()) {
        out << QStringLiteral("  %1  %2  %3  %4  %5  %6\n")
                   .arg(QStringLiteral("slot"), 4)
                   .arg(QStringLiteral("device ID"), -18)
                   .arg(QStringLiteral("address"), 7)
                   .arg(QStringLiteral("consumed kWh"), 12)
                   .arg(QStringLiteral("produced kWh"), 12)
                   .arg(QStringLiteral("read"));
    }
    QList<MeterResult> rows = m_meters.values();
    std::stable_sort(rows.begin(), rows.end(), [](const MeterResult &a, const MeterResult &b) {
        return (a.slot == 0 ? 99 : a.slot) < (b.slot == 0 ? 99 : b.slot);
    });
    for (const MeterResult &row : qAsConst(rows)) {
        auto reading = [](bool read, double value) {
            return read ? QString::number(value, 'f', 3) : QStringLiteral("-");
        };
        QString read;
        if (row.slotsFull)
            read = QStringLiteral("not created (all 32 slots taken)");
        else if (!row.refused.isEmpty())
            read = QStringLiteral("refused %1").arg(row.refused.join(QStringLiteral(", ")));
        else if (row.consumedRead && row.producedRead)
            read = QStringLiteral("yes, in %1 ms").arg(row.lastAnswerMs - row.firstCallMs);
        else if (!row.failedCalls.isEmpty())
            read = QStringLiteral("no answer to %1").arg(TerminalText::safe(row.failedCalls.join(QStringLiteral(", "))));
        else
            read = QStringLiteral("no");
        out << QStringLiteral("  %1  %2  %3  %4  %5  %6\n")
                   .arg(row.slot == 0 ? QStringLiteral("-") : QString::number(row.slot), 4)
                   .arg(TerminalText::padded(TerminalText::safe(row.deviceId), 18))
                   .arg(row.address < 0 ? QStringLiteral("?") : QString::number(row.address), 7)
                   .arg(reading(row.consumedRead && !row.refused.contains(consumedState), row.consumed), 12)
                   .arg(reading(row.producedRead && !row.refused.contains(producedState), row.produced), 12)
                   .arg(read);
    }

    if (!m_problems.isEmpty()) {
        out << "\nProblems\n";
        for (const Problem &problem : m_problems) {
            out << "  - " << TerminalText::safe(problem.text) << '\n';
            if (!problem.hint.isEmpty())
                out << "    Hint: " << TerminalText::safe(problem.hint) << '\n';
        }
    }
    const int readCount = int(std::count_if(rows.cbegin(), rows.cend(),
                                            [](const MeterResult &m) { return m.consumedRead && m.producedRead && m.refused.isEmpty(); }));
    out << "\nVerdict: " << (exitCode() == Diagnose::AllRead ? "OK" : "FAILED") << ": bridge "
        << (m_bridgeAnswered ? "reached" : "not reached") << ", " << readCount << " of " << rows.size()
        << " meters read, " << m_problems.size() << " problem(s).\n";
    out.flush();
    // Device IDs, names and reasons come from the bridge: each line is shown, never executed.
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = TerminalText::safe(line);
    return lines.join(QLatin1Char('\n'));
}

QJsonObject Diagnosis::jsonReport() const
{
    QJsonObject bridge{
        {QStringLiteral("address"), bridgeAddress()},
        {QStringLiteral("serialPort"), m_options.serialPort},
        {QStringLiteral("reachable"), m_bridgeAnswered},
        {QStringLiteral("reason"), m_bridgeAnswered ? QString() : m_failureReason},
        {QStringLiteral("port"), m_portStep},
        {QStringLiteral("connectedMs"), m_connectedMs < 0 ? QJsonValue() : QJsonValue(m_connectedMs)},
    };
    QJsonArray steps;
    qint64 previous = 0;
    for (const auto &step : m_milestones) {
        steps.append(QJsonObject{{QStringLiteral("step"), step.first},
                                 {QStringLiteral("atMs"), step.second},
                                 {QStringLiteral("durationMs"), step.second - previous}});
        previous = step.second;
    }
    QJsonArray meters;
    for (const MeterResult &row : m_meters) {
        meters.append(QJsonObject{
            {QStringLiteral("deviceId"), row.deviceId},
            {QStringLiteral("slot"), row.slot == 0 ? QJsonValue() : QJsonValue(row.slot)},
            {QStringLiteral("lmnAddress"), row.address < 0 ? QJsonValue() : QJsonValue(row.address)},
            {QStringLiteral("created"), row.slot != 0},
            {QStringLiteral("consumedKWh"), row.consumedRead && !row.refused.contains(consumedState) ? QJsonValue(row.consumed) : QJsonValue()},
            {QStringLiteral("producedKWh"), row.producedRead && !row.refused.contains(producedState) ? QJsonValue(row.produced) : QJsonValue()},
            {QStringLiteral("read"), row.consumedRead && row.producedRead},
            {QStringLiteral("refused"), QJsonArray::fromStringList(row.refused)},
            {QStringLiteral("readMs"), row.consumedRead && row.producedRead ? QJsonValue(row.lastAnswerMs - row.firstCallMs) : QJsonValue()},
        });
    }
    QJsonArray problems;
    for (const Problem &problem : m_problems)
        problems.append(QJsonObject{{QStringLiteral("problem"), problem.text}, {QStringLiteral("hint"), problem.hint}});
    return QJsonObject{
        {QStringLiteral("event"), QStringLiteral("diagnosis")},
        {QStringLiteral("verdict"), exitCode() == Diagnose::AllRead ? QStringLiteral("ok") : QStringLiteral("failed")},
        {QStringLiteral("exitCode"), exitCode()},
        {QStringLiteral("bridge"), bridge},
        {QStringLiteral("steps"), steps},
        {QStringLiteral("meters"), meters},
        {QStringLiteral("problems"), problems},
        {QStringLiteral("totalMs"), m_milestones.isEmpty() ? 0 : m_milestones.last().second},
    };
}

} // namespace

namespace Diagnose {

bool checkOptions(const HostOptions &options, QString *error)
{
    const QString &port = options.serverPort;
    const bool digitsOnly = !port.isEmpty() && port.size() <= 5
        && std::all_of(port.cbegin(), port.cend(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    if (!digitsOnly || port.toUInt() < 1 || port.toUInt() > 65535) {
        *error = QStringLiteral("--server-port takes a port number from 1 to 65535, not \"%1\"").arg(port);
        return false;
    }
    if (portIndex(options.serialPort) < 0) {
        *error = QStringLiteral("the serial port name \"%1\" does not end in a digit; its last digit selects the "
                                "bridge's port (for example /dev/ttymxc3)")
                     .arg(options.serialPort);
        return false;
    }
    if (options.simulateMeters >= 0 || options.runForSeconds >= 0 || options.infoOnly) {
        *error = QStringLiteral("--diagnose checks a running bridge and ends by itself; it takes no --simulate, "
                                "--run-for or --info (start lmn-bridge-sim for a simulated bus)");
        return false;
    }
    return true;
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
    fwrite(report.constData(), 1, size_t(report.size()), stdout);
    fflush(stdout);
    return diagnosis.exitCode();
}

} // namespace Diagnose
