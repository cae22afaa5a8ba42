// The live table as text, apart from where its content comes from, so that its fitting into a
// terminal of a given size can be checked without one.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

struct TableView {
    struct Row {
        int slot = 0;
        QString deviceId;
        std::optional<double> consumedKWh; // empty until a reading came
        std::optional<double> producedKWh;
        qint64 ageMs = -1;     // of the last reading; -1: never read
        bool stale = false;    // the last reading is older than two update periods
        bool restored = false; // no reading yet; the totals are those kept in the store
    };

    QStringList headline; // never dropped
    QStringList gateways; // one line each, "...: <state>", never dropped; the state stays whole
    QVector<Row> rows;    // in the order shown
    QStringList log;      // recent log lines, oldest first

    // The table for a terminal of `width` columns and `height` lines; 0 means no limit. No line
    // takes more than the width in terminal cells, numbers are never cut, and rows that do not fit
    // are counted in a line of their own. The log region, when there is a log, takes the last
    // lines. Every text is made terminal-safe (control characters shown escaped).
    QStringList render(int width, int height) const;
};

// "42 s ago", "5 min ago", "3 h ago".
QString ageText(qint64 ms);
