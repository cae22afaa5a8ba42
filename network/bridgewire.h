// The bridge server's HTTP interface as the bridge spells it: paths, call names, the query of the
// port initialisation and the JSON keys of its replies. The misspellings ("abailableLMNMembers",
// "lmnAdress", "ReinizializeLMNBus", "GeActice...") are the bridge's own and must stay.
#pragma once

#include <QString>

namespace BridgeWire {

inline const QString scheme = QStringLiteral("http");
inline const QString host = QStringLiteral("127.0.0.1");

// The reachability probe.
inline const QString probePath = QStringLiteral("/swagger/index.html");
inline const QString connectionDetailsPath = QStringLiteral("/GetCurrentConnectionDetails");
// After the serial port's segment; the initialisation with the fixed serial settings.
inline const QString initializePortPath = QStringLiteral("/InitializePort");
inline const QString initializePortQuery = QStringLiteral("baudrate=921600&databits=8&parity=0&stopBits=1");
inline const QString reinitializeBusPath = QStringLiteral("/ReinizializeLMNBus");

// Value calls, after the serial port's segment and the meter's LMN address.
inline const QString energyPlusCall = QStringLiteral("GeActiceEnergyPlusTotal");
inline const QString energyMinusCall = QStringLiteral("GeActiceEnergyMinusTotal");
inline const QString activePowerCall = QStringLiteral("GetCurrentActivePower");

// Keys of the connection details (an array with one element per serial port) and of a value reply.
inline const QString membersKey = QStringLiteral("abailableLMNMembers");
inline const QString serverIdKey = QStringLiteral("serverID");
inline const QString lmnAddressKey = QStringLiteral("lmnAdress");
inline const QString isInitializedKey = QStringLiteral("isInitialized");
inline const QString valueKey = QStringLiteral("value");

} // namespace BridgeWire
