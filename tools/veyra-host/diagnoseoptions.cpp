#include "diagnosis.h"

#include <qellmnports.h>

namespace Diagnose {

bool checkOptions(const HostOptions &options, QString *error)
{
    if (QelLmnPorts::serverPort(options.serverPort) == 0) {
        *error =
            QStringLiteral("--server-port takes a port number from 1 to 65535, not \"%1\"").arg(options.serverPort);
        return false;
    }
    if (QelLmnPorts::serialPortIndex(options.serialPort) < 0) {
        *error = QStringLiteral("the serial port name \"%1\" does not end in a digit (0 to 9); its last digit selects "
                                "the bridge's port (for example /dev/ttymxc3)")
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
