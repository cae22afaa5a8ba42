#include "diagnosis.h"

#include <algorithm>

namespace Diagnose {

int portIndex(const QString &serialPort)
{
    return serialPort.isEmpty() || !serialPort.back().isDigit() ? -1 : serialPort.back().digitValue();
}

bool checkOptions(const HostOptions &options, QString *error)
{
    const QString &port = options.serverPort;
    const bool digitsOnly = !port.isEmpty() && port.size() <= 5 && std::all_of(port.cbegin(), port.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
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

} // namespace Diagnose
