// HTTP client of the LMN bridge server: brings the serial port up, keeps the list of meters on
// the bus and reads their values. Every outcome is reported through the signals.
#pragma once

#include "bridgereplies.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class CurlAccessManager;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class NetworkHandler : public QObject
{
    Q_OBJECT

public:
    // The largest reply body accepted; a reply that announces or delivers more is aborted. The
    // bridge shares the host's process memory with every other plugin, so nothing it sends may
    // be buffered without bound.
    // A value reply is one small JSON array, under 100 bytes; the probe and the port
    // initialisation answer with less. 4 kB leaves room for fields a later bridge may add.
    static constexpr qint64 replyLimit = qint64(4) * 1024;
    // Connection details: at most 10 port elements (the index is one digit), each listing a
    // few hundred members of under 100 bytes: about 10 x 300 x 100 = 300 kB. 1 MB of headroom.
    static constexpr qint64 detailsReplyLimit = qint64(1024) * 1024;

    // Why the handler itself ended a request; its error is then OperationCanceledError.
    enum class Abort { None, TimedOut, TooLarge };
    static Abort abortOf(const QNetworkReply *reply);
    // The whole body of a finished reply; a reply handler reads it this way, not with readAll(),
    // since the body is taken out of the reply while it arrives.
    static QByteArray bodyOf(QNetworkReply *reply);

    NetworkHandler();
    ~NetworkHandler() override;

    // Ends the client's work at once: no reply handler runs any more and nothing more is sent.
    // For a client deleted later (deleteLater), once the call that ends it has returned.
    void retire();

    // Server port as text, e.g. "5000". Only a whole number from 1 to 65535 in plain decimal
    // digits is accepted (no sign, no blanks). Anything else leaves the handler without a base
    // URL: every later request then fails at once, without touching the network.
    void setUrl(const QString &serverPort);
    // Whether the last setUrl() was given a usable port.
    bool isUrlValid() const;
    void setPort(const QString &name);

    // The reply handler runs from the event loop once the reply has finished, successfully or
    // not; the reply is valid for the handler's whole run and is deleted afterwards. `query` is
    // applied only when it is non-empty.
    void sendRequestGet(const QString &path, std::function<void(QNetworkReply *)> handler, const QString &query);
    void sendRequestHead(const QString &path, std::function<void(QNetworkReply *)> handler);

    void setupConnection(bool reinitialize);
    void initPort(bool reinitialize);
    // Asks whether the bridge has initialised the serial port. The answer comes as
    // checkInitializedFinished(): 0 initialised, 1 not initialised, 2 request failed, which
    // serverReachable(false) follows.
    void checkPortInitialized();

    quint16 saveDeviceList(const QByteArray &body);
    // The device IDs in the bridge's member order, so that the same bus gives the same things.
    QStringList returnDeviceList() const;
    // Whether the bridge's latest list names the meter, so that a value call can be sent to it.
    bool isListed(const QString &deviceID) const { return m_deviceList.contains(deviceID); }

    // `increment` is added to the pending value-call counter: 1 for a new call.
    void getValueCall(const QString &api, const QString &deviceID, uchar increment);
    // Whether a value call is still out: sent, waiting to be sent again, or not yet finished.
    bool valueCallsPending() const { return m_pendingValueCalls != 0; }
    // The meter's value calls that failed since it last gave a value; still counted while that
    // value is reported.
    int failedCalls(const QString &deviceID) const;
    // Whether the meter's last failure was as the one before, and so only a debug line.
    bool failsAsBefore(const QString &deviceID) const;

    // The manager that sends every request, for checks of its settings.
    const QNetworkAccessManager *networkAccessManager() const;

signals:
    void portReachable(bool state);
    void serverReachable(bool state);
    void deviceInfoReceived();
    void receivedValue(const QString &api, const QString &deviceID, double value);
    void nextDeviceUpdate();
    void checkInitializedFinished(uchar initialized);
    // A value call ended without a value: refused, given up, unreadable, or never sent. Emitted
    // once per call, before the signal that ends it. `timedOut`: the bridge never answered in time.
    void valueCallFailed(const QString &api, const QString &deviceID, bool timedOut);

public slots:
    void getConnectionDetails();

private:
    QUrl requestUrl(const QString &path) const;
    // Sends the request, or, without a usable server port, a stand-in that fails.
    void send(bool head, const QString &path, const QUrl &url, std::function<void(QNetworkReply *)> handler);
    // Bounds the reply: an overall deadline and a body of at most `limit` bytes.
    static void guard(QNetworkReply *reply, qint64 limit);
    QString portSegment() const;
    // The request of a connection-details fetch, once its wait is over.
    void fetchConnectionDetails();
    void sendValueCall(const QString &api, const QString &deviceID, int attempt);
    // Counts a failed value call; true when the meter failed the same way before.
    bool noteFailure(const QString &deviceID, const QString &way);
    void finishValueCall();
    // Reports a call that ended without a value, then ends it.
    void failValueCall(const QString &api, const QString &deviceID, bool timedOut);
    void warnOfUnusableMembers(const QStringList &unusable);
    // Moves the listed meters to the addresses of a connection-details body; drops those not in it.
    void refreshAddresses(const BridgeReplies::Members &members);
    // Says once which of the listed meters a new list no longer names.
    void reportUnlisted(const QHash<QString, int> &listed) const;
    void warnOfAmbiguousMembers(const QList<BridgeReplies::Members::Duplicate> &duplicates,
                                const QList<BridgeReplies::Members::Shared> &shared);

    uchar m_pendingValueCalls = 0;
    bool m_retired = false;
    QUrl m_baseUrl;
    QString m_serialPort;
    CurlAccessManager *m_manager = nullptr;
    QHash<QString, int> m_deviceList;
    QStringList m_deviceOrder;
    // Per meter that has failed since it last gave a value: how, how often, and whether a call
    // was given up on since it started to fail that way.
    struct Failures {
        QString way;
        int calls = 0;
        bool repeated = false;
        bool gaveUp = false;
    };
    QHash<QString, Failures> m_failures;
    QSet<QString> m_unusableMembers;
    QSet<QString> m_ambiguousMembers; // what the last list said twice or at one address
    // What was wrong with the last connection details, empty when they were usable.
    QString m_detailsProblem;
    QTimer *m_waitTimer = nullptr;
    // The connection-details fetch: idle, in its wait, or with its request under way.
    enum class Fetch { Idle, Waiting, Requesting };
    Fetch m_fetch = Fetch::Idle;
    bool m_fetchAgain = false;
};
