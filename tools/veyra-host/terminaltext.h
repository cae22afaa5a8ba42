// Text from outside (device IDs, thing names, log lines, what a bridge said) on its way to a
// terminal: shown, never executed, and measured in the cells a terminal gives it.
#pragma once

#include <QString>

namespace TerminalText {

// Control characters (C0, DEL, C1), line and paragraph separators, bidirectional overrides and
// lone surrogates written out: \n, \r, \t, and \uXXXX for the others. Everything else, and a
// text that is already safe, stays as it is.
QString safe(const QString &text);

// Terminal cells of a safe text, by grapheme cluster: 2 for wide (CJK, emoji, emoji joined by
// zero-width joiners), 1 for the rest; combining marks add none.
int cells(const QString &text);

// The longest start (or end) of `text` that takes at most `width` cells; a grapheme cluster is
// never split.
QString leftCells(const QString &text, int width);
QString rightCells(const QString &text, int width);

// Padded with blanks to `width` cells, on the right (or on the left with `alignRight`).
QString padded(const QString &text, int width, bool alignRight = false);

} // namespace TerminalText
