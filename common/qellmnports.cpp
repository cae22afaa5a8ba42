#include "qellmnports.h"

#include <algorithm>

namespace {
bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}
} // namespace

namespace QelLmnPorts {

int serialPortIndex(const QString &serialPort)
{
    if (serialPort.isEmpty() || !isAsciiDigit(serialPort.back()))
        return -1;
    return serialPort.back().unicode() - '0';
}

quint16 serverPort(const QString &text)
{
    if (text.isEmpty() || !std::all_of(text.cbegin(), text.cend(), isAsciiDigit))
        return 0;
    bool ok = false;
    const uint port = text.toUInt(&ok);
    return ok && port <= 65535 ? quint16(port) : 0;
}

} // namespace QelLmnPorts
