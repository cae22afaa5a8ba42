#include "diagnosis.h"

#include "terminaltext.h"

#include <qellmnports.h>

#include <QTextStream>

#include <algorithm>

namespace Diagnose {

namespace {

QString seconds(qint64 ms)
{
    return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 3);
}

} // namespace

QString Diagnosis::textReport() const
{
    QString text;
    QTextStream out(&text);
    // What came from outside is made safe before it is placed, so that a line break in it
    // cannot split a line either.
    out << "veyra-host diagnose: bridge " << bridgeAddress() << ", serial port "
        << TerminalText::safe(m_options.serialPort) << "\n\n";

    out << "Bridge\n";
    out << QStringLiteral("  %1 %2\n")
               .arg(QStringLiteral("reachable"), -16)
               .arg(m_bridgeAnswered ? QStringLiteral("yes")
                                     : QStringLiteral("no")
                                           + (m_failureReason.isEmpty()
                                                  ? QString()
                                                  : QStringLiteral(" (%1)").arg(TerminalText::safe(m_failureReason))));
    const bool portUp = std::any_of(m_milestones.cbegin(), m_milestones.cend(),
                                    [](const auto &m) { return m.first.endsWith(QLatin1String("initialised")); });
    out << QStringLiteral("  %1 %2\n")
               .arg(QStringLiteral("serial port"), -16)
               .arg(portUp                 ? m_portStep
                    : m_portStep.isEmpty() ? QStringLiteral("not initialised")
                                           : QStringLiteral("not %1").arg(m_portStep));
    out << QStringLiteral("  %1 %2\n")
               .arg(QStringLiteral("connected after"), -16)
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

    out << "\nMeters (" << m_meters.size() << " listed for port index "
        << QelLmnPorts::serialPortIndex(m_options.serialPort) << ")\n";
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
            read =
                QStringLiteral("no answer to %1").arg(TerminalText::safe(row.failedCalls.join(QStringLiteral(", "))));
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
    const int readCount = int(std::count_if(rows.cbegin(), rows.cend(), [](const MeterResult &m) {
        return m.consumedRead && m.producedRead && m.refused.isEmpty();
    }));
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

} // namespace Diagnose
