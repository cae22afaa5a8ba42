#include "terminaltext.h"

#include <QVector>

#include <algorithm>
#include <iterator>

namespace TerminalText {

namespace {

struct Range
{
    char32_t first;
    char32_t last;
};

// East Asian wide and fullwidth blocks and the emoji blocks, as terminals count them.
constexpr Range wideRanges[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251},
    {0x1F300, 0x1F320}, {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440},
    {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A},
    {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC},
    {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6D7}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

bool isWide(char32_t code)
{
    const auto *end = std::end(wideRanges);
    const auto *it = std::lower_bound(std::begin(wideRanges), end, code,
                                      [](const Range &range, char32_t value) { return range.last < value; });
    return it != end && code >= it->first;
}

bool mustEscape(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029
           || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)
           || (code >= 0xD800 && code <= 0xDFFF);
}

int cellsOf(char32_t code)
{
    if (code == 0)
        return 0;
    const QChar::Category category = QChar::category(code);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing || category == QChar::Other_Format
        || (code >= 0x1160 && code <= 0x11FF))
        return 0;
    return isWide(code) ? 2 : 1;
}

// One character as a terminal draws it: a code point with its zero-width followers.
struct Cluster
{
    int start;
    int length;
    int cells;
};

QVector<Cluster> clusters(const QString &text)
{
    QVector<Cluster> result;
    for (int i = 0; i < text.size();) {
        const int start = i;
        char32_t code = text.at(i).unicode();
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        }
        ++i;
        const int width = cellsOf(code);
        if (width == 0 && !result.isEmpty() && result.last().start + result.last().length == start)
            result.last().length += i - start;
        else
            result.append({start, i - start, width});
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
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            out += QLatin1String("\\u") + QString::number(c.unicode(), 16).toUpper().rightJustified(4, QLatin1Char('0'));
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
