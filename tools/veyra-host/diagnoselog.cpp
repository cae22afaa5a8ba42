#include "diagnosis.h"

#include <QRegularExpression>
#include <QTimer>

#include <utility>

namespace Diagnose {

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

// The plugin's warning about a meter list it cannot use; the reason follows, with a full stop.
const QString unusableListLine = QStringLiteral("The connection details are unusable, so no meter can be found: ");

// Cycles a check runs at most while a total is refused: beyond the plugin's 6 readings.
constexpr int followRefusedCycles = 8;

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

void Diagnosis::messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (s_active && qstrcmp(context.category, "QelLmn") == 0) {
        s_active->onPluginLine(message);
        return;
    }
    if (s_active && s_active->m_previousHandler)
        s_active->m_previousHandler(type, context, message);
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
    } else if (line.startsWith(QLatin1String("No complete reply to"))) {
        // The request layer gave up at its deadline; the error that follows only says "canceled".
        static const QRegularExpression within(QStringLiteral(" within (\\d+) ms"));
        const auto match = within.match(line);
        m_deadlineReason = QStringLiteral("no complete answer within %1 s")
                               .arg(match.hasMatch() ? match.captured(1).toDouble() / 1000 : 30.0);
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
        (m_valueErrorDevice.isEmpty() ? m_httpStatus
                                      : meter(m_valueErrorDevice).failureStatus) = line.mid(12).trimmed().toInt();
        return;
    }
    const QStringList texts = quotedTexts(line);
    const QString reason = texts.isEmpty() ? line.mid(13).trimmed() : texts.last();
    const QString deadline = std::exchange(m_deadlineReason, QString());
    if (!m_valueErrorDevice.isEmpty()) {
        MeterResult &result = meter(m_valueErrorDevice);
        result.failure = deadline.isEmpty() ? shortReason(reason, result.failureStatus) : deadline;
        m_valueErrorDevice.clear();
        return;
    }
    m_failureReason = deadline.isEmpty() ? shortReason(reason, m_httpStatus) : deadline;
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
    static const QRegularExpression listedTwice(
        QStringLiteral("is listed at LMN addresses (.+) - only address (-?\\d+) is polled\\.$"));
    static const QRegularExpression shared(QStringLiteral("share LMN address (-?\\d+) - "));
    static const QRegularExpression refused(
        QStringLiteral("\" (total\\w+) of (\\S+) kWh not written, as it is (.+) Last written: (\\S+) kWh\\.$"));
    static const QRegularExpression lockedOut(
        QStringLiteral("\" (total\\w+) has been refused for (\\d+) readings in a row; "));
    static const QRegularExpression restarted(
        QStringLiteral("\" (total\\w+) restarted at (\\S+) kWh after (\\d+) readings in a row that agree\\. Last "
                       "written: (\\S+) kWh\\.$"));
    static const QRegularExpression writtenAgain(QStringLiteral("\" (total\\w+) written again: "));
    const QStringList texts = quotedTexts(line);
    if (texts.isEmpty())
        return;
    const QString &deviceId = texts.first();
    if (const auto match = listedTwice.match(line); match.hasMatch()) {
        m_problems.append(
            {QStringLiteral("The bridge lists meter %1 at more than one LMN address (%2); only address %3 is read.")
                 .arg(deviceId, match.captured(1), match.captured(2)),
             QStringLiteral("Two meters answer with one server ID, or the bridge's list is out of date: "
                            "check the IDs on the meters' displays and let the bridge scan the bus again.")});
    } else if (const auto sharedMatch = shared.match(line); sharedMatch.hasMatch()) {
        m_problems.append({QStringLiteral("The bridge lists meters %1 at one LMN address %2; none of them is read "
                                          "until it lists them apart.")
                               .arg(texts.join(QStringLiteral(", ")), sharedMatch.captured(1)),
                           QStringLiteral("Every meter on the bus needs an LMN address of its own: check the meters' "
                                          "addresses, then let the bridge scan the bus again.")});
    } else if (const auto refusedMatch = refused.match(line); refusedMatch.hasMatch()) {
        meter(deviceId).refused.append(refusedMatch.captured(1));
        m_problems.append(
            {QStringLiteral("Meter %1 reads %2 = %3 kWh, which was not written: %4 The last written total is %5 kWh.")
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
    } else if (const auto restartMatch = restarted.match(line); restartMatch.hasMatch()) {
        // A refusal that ended is no longer one; what happened is said.
        meter(deviceId).refused.removeAll(restartMatch.captured(1));
        m_problems.append(
            {QStringLiteral("Meter %1's %2 restarted at %3 kWh: %4 readings in a row agreed on it, below the last "
                            "written total of %5 kWh.")
                 .arg(deviceId, restartMatch.captured(1), restartMatch.captured(2), restartMatch.captured(3),
                      restartMatch.captured(4)),
             QStringLiteral("A meter that was reset or replaced counts anew; compare the total with the meter's "
                            "display.")});
    } else if (const auto againMatch = writtenAgain.match(line); againMatch.hasMatch()) {
        meter(deviceId).refused.removeAll(againMatch.captured(1));
    } else if (line.endsWith(QLatin1String("is not answering; its totals keep their last values."))) {
        MeterResult &result = meter(deviceId);
        if (result.failure.isEmpty())
            result.failure = QStringLiteral("it does not answer while the others do");
    }
}

} // namespace Diagnose
