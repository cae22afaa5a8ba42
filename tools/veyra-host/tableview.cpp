#include "tableview.h"

#include "terminaltext.h"

#include <algorithm>

namespace {

constexpr int maxLogLines = 5;
constexpr int minDeviceIdWidth = 8;
const QChar ellipsis(0x2026);

struct Column {
    QString label;
    QString shortLabel;
    bool alignRight;
    QStringList cells;
    int width(bool shortLabels) const
    {
        int result = TerminalText::cells(shortLabels ? shortLabel : label);
        for (const QString &cell : cells)
            result = std::max(result, TerminalText::cells(cell));
        return result;
    }
};

QString elideRight(const QString &text, int width)
{
    if (width <= 0 || TerminalText::cells(text) <= width)
        return text;
    return TerminalText::leftCells(text, std::max(0, width - 1)) + ellipsis;
}

// Device IDs differ at their end, so that is what stays.
QString elideLeft(const QString &text, int width)
{
    if (TerminalText::cells(text) <= width)
        return text;
    return ellipsis + TerminalText::rightCells(text, std::max(0, width - 1));
}

// A gateway line ends in its state, which is what must stay readable.
QString elideGateway(const QString &line, int width)
{
    const int split = line.indexOf(QLatin1String(": "));
    if (width <= 0 || TerminalText::cells(line) <= width || split < 0)
        return elideRight(line, width);
    const QString state = line.mid(split);
    const int stateCells = TerminalText::cells(state);
    if (stateCells + 2 > width)
        return elideRight(line.mid(split + 2), width);
    return elideRight(line.left(split), width - stateCells) + state;
}

QString reading(const std::optional<double> &kWh)
{
    return kWh ? QString::number(*kWh, 'f', 3) : QString();
}

QString lastReading(const TableView::Row &row)
{
    if (row.ageMs < 0)
        return row.restored ? QStringLiteral("before start") : QStringLiteral("never");
    return row.stale ? ageText(row.ageMs) + QStringLiteral(", stale") : ageText(row.ageMs);
}

QVector<Column> columnsOf(const QVector<TableView::Row> &rows)
{
    QVector<Column> columns{
        {QStringLiteral("slot"), QStringLiteral("#"), true, {}},
        {QStringLiteral("device ID"), QStringLiteral("device"), false, {}},
        {QStringLiteral("consumed kWh"), QStringLiteral("in kWh"), true, {}},
        {QStringLiteral("produced kWh"), QStringLiteral("out kWh"), true, {}},
        {QStringLiteral("last reading"), QStringLiteral("read"), true, {}},
    };
    for (const TableView::Row &row : rows) {
        columns[0].cells.append(QString::number(row.slot));
        columns[1].cells.append(TerminalText::safe(row.deviceId));
        columns[2].cells.append(reading(row.consumedKWh));
        columns[3].cells.append(reading(row.producedKWh));
        columns[4].cells.append(lastReading(row));
    }
    return columns;
}

// Lays the columns out for the width: narrower gaps and labels first, then a shorter device ID,
// then fewer columns from the right. Returns the header followed by one line per row.
QStringList layOut(QVector<Column> columns, int width)
{
    int gap = 2;
    bool shortLabels = false;
    int idWidth = columns[1].width(false);
    auto total = [&] {
        int sum = gap * (columns.size() - 1);
        for (int i = 0; i < columns.size(); ++i)
            sum += i == 1
                       ? std::max(idWidth, TerminalText::cells(shortLabels ? columns[1].shortLabel : columns[1].label))
                       : columns[i].width(shortLabels);
        return sum;
    };
    if (width > 0) {
        if (total() > width)
            gap = 1;
        if (total() > width)
            shortLabels = true;
        while (total() > width && columns.size() > 2) {
            const int excess = total() - width;
            const int shortest = std::max(minDeviceIdWidth, TerminalText::cells(columns[1].shortLabel));
            if (idWidth - excess >= shortest) {
                idWidth -= excess;
                break;
            }
            columns.removeLast();
            idWidth = columns[1].width(shortLabels);
        }
        if (total() > width)
            idWidth = std::max(1, idWidth - (total() - width));
    }

    const int rowCount = columns[0].cells.size();
    QStringList lines;
    for (int line = -1; line < rowCount; ++line) {
        QStringList cells;
        for (int i = 0; i < columns.size(); ++i) {
            const Column &column = columns[i];
            QString cell = line < 0 ? (shortLabels ? column.shortLabel : column.label) : column.cells.at(line);
            const int cellWidth = i == 1 ? std::max(idWidth, 1) : column.width(shortLabels);
            if (i == 1)
                cell = line < 0 ? elideRight(cell, cellWidth) : elideLeft(cell, cellWidth);
            cells.append(TerminalText::padded(cell, cellWidth, column.alignRight));
        }
        QString text = cells.join(QString(gap, QLatin1Char(' ')));
        // Trailing blanks of an empty last cell would only wrap a narrow terminal.
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        lines.append(elideRight(text, width));
    }
    return lines;
}

} // namespace

QString ageText(qint64 ms)
{
    const qint64 s = ms / 1000;
    if (s < 120)
        return QStringLiteral("%1 s ago").arg(s);
    if (s < qint64(2) * 3600)
        return QStringLiteral("%1 min ago").arg(s / 60);
    return QStringLiteral("%1 h ago").arg(s / 3600);
}

QStringList TableView::render(int width, int height) const
{
    QStringList top;
    // Names and states come from plugins and bridges: shown, never executed.
    for (const QString &line : headline)
        top.append(elideRight(TerminalText::safe(line), width));
    for (const QString &line : gateways)
        top.append(elideGateway(TerminalText::safe(line), width));
    QStringList table = layOut(columnsOf(rows), width);
    const QString header = table.takeFirst();
    if (rows.isEmpty())
        table.append(elideRight(
            QStringLiteral("  (no meters yet: the plugin asks the bridge for its meters after the port is up)"),
            width));

    QStringList logLines;
    for (const QString &line : log.mid(std::max(0, int(log.size()) - maxLogLines)))
        logLines.append(elideRight(TerminalText::safe(line), width));
    const QString logTitle = elideRight(QStringLiteral("-- log --"), width);

    if (height <= 0) {
        QStringList lines = top + QStringList{QString(), header} + table;
        if (!logLines.isEmpty())
            lines += QStringList{QString(), logTitle} + logLines;
        return lines;
    }

    // What must stay comes first; the log gets what rows leave, but at least its latest line.
    int free = height - int(top.size()) - 1;
    int logShown = 0;
    if (!logLines.isEmpty() && free >= 3) {
        logShown = std::min(int(logLines.size()), std::max(1, free - int(table.size()) - 2));
        free -= logShown + 1;
    }
    const bool blank = free > int(table.size());
    if (blank)
        --free;
    if (int(table.size()) > free) {
        const int shown = std::max(0, free - 1);
        const int hidden = int(table.size()) - shown;
        table = table.mid(0, shown);
        if (free >= 1)
            table.append(
                elideRight(QStringLiteral("%1 meters not shown (a taller terminal shows them)").arg(hidden), width));
    }

    QStringList lines = top;
    if (blank)
        lines.append(QString());
    lines.append(header);
    lines += table;
    if (logShown > 0) {
        lines.append(logTitle);
        lines += logLines.mid(logLines.size() - logShown);
    }
    return lines.mid(0, height);
}
