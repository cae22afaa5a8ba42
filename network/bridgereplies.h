// Reading the bridge server's reply bodies. Pure functions without a network, so that the
// handler's reply code stays small and every parser can be fed arbitrary bytes on its own.
// A body whose element that is read (the port's, a value reply's first) repeats a key somewhere
// counts as unreadable, like one that is not JSON: the bridge never sends one, and either value
// could be the meant one. A repeat elsewhere is not read and does no harm.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace BridgeReplies {

// The element of the connection details that belongs to the serial port: the port name's last
// character, when it is an ASCII digit. -1 for any other last character and for an empty name.
int portIndex(const QString &serialPort);

struct Members {
    // A serverID listed more than once: every whole-number address it was listed at, in order.
    struct Duplicate {
        QString deviceID;
        QList<int> addresses;
    };
    // serverIDs whose (last) address is the same: their readings would all be that one meter's.
    struct Shared {
        int address = 0;
        QStringList deviceIDs;
    };
    QHash<QString, int> addresses; // serverID -> lmnAdress; a later duplicate wins
    QStringList order;             // the keys of `addresses` in the bridge's member order
    QStringList unusable;          // serverIDs whose last entry has no whole-number lmnAdress
    QList<Duplicate> duplicates;   // in member order
    QList<Shared> shared;          // in the order of the addresses' first members; left out of `addresses`
    int count = 0;                 // members listed, duplicates included
    QString problem;               // what makes the body unusable, empty when it is usable
    uchar initialized = 1;         // as initializedFromDetails() says, from the same reading
};

// The meters listed for the serial port in a connection-details body. Missing or malformed parts
// give no members; a member that is not an object or lacks "serverID" counts under "". A member
// without a whole-number "lmnAdress" is left out of `addresses`: polled at a made-up address, it
// would read whichever meter has that address. Neither is a serverID that shares its address with
// another: at most one of them is the meter that answers there.
// A body without a member list for the port (not JSON, not an array, no element or no list for
// the port) says so in `problem`.
Members membersFromDetails(const QByteArray &body, const QString &serialPort);

// 0 when the serial port's element says it is initialised, 1 for anything else. Also in
// Members, for a caller that needs both: the body is read once.
uchar initializedFromDetails(const QByteArray &body, const QString &serialPort);

// The numeric "value" of a value call's first element; nothing when there is none, because
// reporting a default of 0 would overwrite the meter's energy total.
std::optional<double> valueFromReply(const QByteArray &body);

} // namespace BridgeReplies
