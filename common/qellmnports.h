// The gateway's two params as the bridge needs them, checked alike wherever they are read: by the
// bridge client, and by the host program before it sends anything.
#pragma once

#include <QString>

namespace QelLmnPorts {

// The element of the bridge's connection details that a serial port name selects: its last
// character, when that is an ASCII digit ("/dev/ttymxc3": 3). -1 for any other last character
// (a fullwidth or superscript digit too) and for an empty name.
int serialPortIndex(const QString &serialPort);

// The bridge server's TCP port: plain ASCII decimal digits for 1 to 65535, leading zeros allowed.
// 0 for anything else; a sign, a blank, "@host" or "/path" must never reach a URL.
quint16 serverPort(const QString &text);

} // namespace QelLmnPorts
