#include "terminaltext.h"

#include <QVector>

#include <algorithm>

#include <utf8proc.h>

namespace TerminalText {

namespace {

bool mustEscape(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029
           || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)
           || (code >= 0xD800 && code <= 0xDFFF);
}

// One character as a terminal draws it: a grapheme cluster (a letter with its combining marks,
// emoji joined by zero-width joiners), as wide as its widest code point.
struct Cluster {
    int start;
    int length;
    int cells;
};

QVector<Cluster> clusters(const QString &text)
{
    QVector<Cluster> result;
    utf8proc_int32_t state = 0;
    utf8proc_int32_t previous = -1;
    for (int i = 0; i < text.size();) {
        const int start = i;
        utf8proc_int32_t code = text.at(i).unicode();
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            code = utf8proc_int32_t(QChar::surrogateToUcs4(text.at(i), text.at(i + 1)));
            ++i;
        }
        ++i;
        const int width = std::max(0, utf8proc_charwidth(code));
        if (previous >= 0 && !utf8proc_grapheme_break_stateful(previous, code, &state)) {
            result.last().length += i - start;
            result.last().cells = std::max(result.last().cells, width);
        } else {
            result.append({start, i - start, width});
        }
        previous = code;
    }
    return result;
}

} // namespace

QString safe(const QString &text)
{
    if (std::none_of(text.cbegin(), text.cend(), [](QChar c) { return mustEscape(c.unicode()); }))
        return text;
    QString out;
    out.reserve(text.size() + 16);
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
            continue;
        }
        if (!mustEscape(c.unicode())) {
            out += c;
            continue;
        }
        switch (c.unicode()) {
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            out += QLatin1String("\\u")
                   + QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0'));
        }
    }
    return out;
}

int cells(const QString &text)
{
    int total = 0;
    for (const Cluster &cluster : clusters(text))
        total += cluster.cells;
    return total;
}

QString leftCells(const QString &text, int width)
{
    int used = 0;
    int end = 0;
    for (const Cluster &cluster : clusters(text)) {
        if (used + cluster.cells > width)
            break;
        used += cluster.cells;
        end = cluster.start + cluster.length;
    }
    return text.left(end);
}

QString rightCells(const QString &text, int width)
{
    const QVector<Cluster> all = clusters(text);
    int used = 0;
    int start = text.size();
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        if (used + it->cells > width)
            break;
        used += it->cells;
        start = it->start;
    }
    return text.mid(start);
}

QString padded(const QString &text, int width, bool alignRight)
{
    const int missing = width - cells(text);
    if (missing <= 0)
        return text;
    const QString blanks(missing, QLatin1Char(' '));
    return alignRight ? blanks + text : text + blanks;
}

} // namespace TerminalText
