#include "networkhandler.h"

#include "bridgereplies.h"
#include "bridgewire.h"
#include "curlaccessmanager.h"
#include "qellmnintervals.h"
#include "qellmnlogging.h"
#include "qellmnports.h"

#include <QNetworkAccessManager>
#include <QNetworkConfiguration>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Stands in for a request that must not go out (no usable server port). It finishes with an
// error from the event loop, as a real reply would, so that every operation takes its ordinary
// failure path and no handler runs inside the call that sent the request.
class RejectedReply : public QNetworkReply
{
public:
    RejectedReply(QNetworkAccessManager::Operation operation, const QUrl &url, QObject *parent) : QNetworkReply(parent)
    {
        setOperation(operation);
        setUrl(url);
        setRequest(QNetworkRequest(url));
        // Opened first: open() clears the error text that setError() sets.
        open(QIODevice::ReadOnly);
        setError(ProtocolUnknownError, QStringLiteral("No valid server port is set; the request was not sent"));
        QMetaObject::invokeMethod(
            this,
            [this] {
                setFinished(true);
                emit errorOccurred(error());
                emit finished();
            },
            Qt::QueuedConnection);
    }

    void abort() override {}

protected:
    qint64 readData(char *, qint64) override { return -1; }
};

// Where the handler notes why it aborted a reply.
const char *const abortProperty = "qellmnAbort";

// Keeps no cookie: the bridge needs none, and a bridge that sets a new one per reply would make
// every request, and the jar, grow without bound.
class NoCookieJar : public QNetworkCookieJar
{
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
};

// The body of a reply as far as it has arrived; a child of the reply.
class ReplyBody : public QObject
{
public:
    explicit ReplyBody(QObject *parent) : QObject(parent) { setObjectName(name()); }
    static QString name() { return QStringLiteral("qellmnReplyBody"); }
    QByteArray data;
};

void abortReply(QNetworkReply *reply, NetworkHandler::Abort why)
{
    if (reply->isFinished())
        return;
    reply->setProperty(abortProperty, int(why));
    reply->abort();
}

void logErrorReport(QNetworkReply *reply, bool repeated = false)
{
    warningUnlessRepeated(repeated) << "Error: " << reply->error();
    warningUnlessRepeated(repeated) << "Error code: "
                                    << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    warningUnlessRepeated(repeated) << "Error Reply: " << reply->errorString();
}

// How a value call failed, to tell a meter that goes on failing alike from one that fails anew.
QString failureWay(QNetworkReply *reply)
{
    return QStringLiteral("%1 %2 %3")
        .arg(int(reply->error()))
        .arg(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt())
        .arg(int(NetworkHandler::abortOf(reply)));
}

// How the reply handlers of the connection road begin: the reply trace (the port initialisation
// writes none), and for a failed reply its headline and the error report. True when the reply
// failed; the handler then only emits its failure signals.
bool replyFailed(QNetworkReply *reply, const char *headline, bool trace = true)
{
    if (trace)
        qCDebug(dcQelLmn) << reply->error();
    if (reply->error() == QNetworkReply::NoError)
        return false;
    qCCritical(dcQelLmn) << headline;
    logErrorReport(reply);
    return true;
}

} // namespace

NetworkHandler::NetworkHandler() : QObject(nullptr)
{
    // Requests are read in this thread's event loop, where their deadline and limits can end them.
    m_manager = new CurlAccessManager();
    // The bridge is always on 127.0.0.1: no proxy of the process or of its environment may stand
    // in between, and Qt exempts loopback only from the proxies it looks up itself.
    m_manager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    // No network session either: a session that goes down aborts running replies, also those
    // from a loopback server. The setting is deprecated in Qt 5.15 but still in force.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    m_manager->setConfiguration(QNetworkConfiguration());
    QT_WARNING_POP
    m_manager->setCookieJar(new NoCookieJar(m_manager));
    m_waitTimer = new QTimer(this);
    m_waitTimer->setInterval(QelLmnIntervals::scaled(QelLmnIntervals::connectionDetailsWaitMs));
    connect(m_waitTimer, &QTimer::timeout, this, &NetworkHandler::fetchConnectionDetails);
}

NetworkHandler::~NetworkHandler()
{
    // Replies in flight are the manager's children and go with it, so no handler runs later.
    delete m_manager;
    m_manager = nullptr;
    delete m_waitTimer;
    m_waitTimer = nullptr;
}

void NetworkHandler::retire()
{
    m_retired = true;
    m_waitTimer->stop();
}

void NetworkHandler::setUrl(const QString &serverPort)
{
    const quint16 port = QelLmnPorts::serverPort(serverPort);
    if (port == 0) {
        m_baseUrl = QUrl();
        qCCritical(dcQelLmn) << "Server port" << serverPort
                             << "is not a whole number from 1 to 65535; no request will be sent.";
        return;
    }
    QUrl url;
    url.setScheme(BridgeWire::scheme);
    url.setHost(BridgeWire::host);
    url.setPort(static_cast<int>(port));
    m_baseUrl = url;
}

bool NetworkHandler::isUrlValid() const
{
    return !m_baseUrl.isEmpty();
}

void NetworkHandler::setPort(const QString &name)
{
    m_serialPort = name;
    // The meters are found by the port name's last digit: without one the gateway would look
    // connected and never show a meter.
    if (name.isEmpty())
        qCWarning(dcQelLmn) << "No serial port name is set, so no meter can be found.";
    else if (BridgeReplies::portIndex(name) < 0)
        qCWarning(dcQelLmn) << "Serial port name" << name << "does not end in a digit, so no meter can be found on it.";
}

const QNetworkAccessManager *NetworkHandler::networkAccessManager() const
{
    return m_manager;
}

QUrl NetworkHandler::requestUrl(const QString &path) const
{
    QUrl url = m_baseUrl;
    // Decoded mode: a '%' in the path is literal and travels as "%25".
    url.setPath(path, QUrl::DecodedMode);
    return url;
}

void NetworkHandler::send(bool head, const QString &path, const QUrl &url, std::function<void(QNetworkReply *)> handler)
{
    if (m_retired)
        return;
    QNetworkReply *reply = nullptr;
    if (!isUrlValid()) {
        qCCritical(dcQelLmn) << "No valid server port is set," << (head ? "HEAD" : "GET") << "request" << path
                             << "not sent.";
        reply = new RejectedReply(head ? QNetworkAccessManager::HeadOperation : QNetworkAccessManager::GetOperation,
                                  url, m_manager);
    } else {
        QNetworkRequest request(url);
        // Set here, so Qt never inflates: a small compressed body could grow without bound, and
        // on loopback compression buys nothing.
        request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
        reply = m_manager->send(head ? QNetworkAccessManager::HeadOperation : QNetworkAccessManager::GetOperation,
                                request);
        guard(reply, path == BridgeWire::connectionDetailsPath ? detailsReplyLimit : replyLimit);
    }
    // The handler runs from the event loop, once Qt's own call has returned: Qt emits finished()
    // also from inside its calls (abort() among them, when the deadline or the size limit ends a
    // request), and a reaction to the outcome may delete this client, and with it the reply,
    // while such a call is still on the stack.
    // The reply is this client's manager's child, so the client outlives the queued call.
    connect(reply, &QNetworkReply::finished, reply, [this, reply, handler = std::move(handler)] {
        QMetaObject::invokeMethod(
            reply,
            [this, reply, handler] {
                // Deletion first: it only happens once control is back in the event loop, so
                // the reply outlives the handler, also a nested loop the handler runs.
                reply->deleteLater();
                if (!m_retired)
                    handler(reply);
            },
            Qt::QueuedConnection);
    });
}

NetworkHandler::Abort NetworkHandler::abortOf(const QNetworkReply *reply)
{
    return Abort(reply->property(abortProperty).toInt());
}

// What the reply holds, in one allocation of its size: readAll() reserves 16 KiB for every call
// and shrinks it again, which costs more than a value reply's whole body.
static QByteArray takeAvailable(QNetworkReply *reply)
{
    const qint64 size = reply->bytesAvailable();
    return size > 0 ? reply->read(size) : QByteArray();
}

QByteArray NetworkHandler::bodyOf(QNetworkReply *reply)
{
    // By name: without a meta-object of its own, a lookup by type would match any child.
    auto *body = static_cast<ReplyBody *>(reply->findChild<QObject *>(ReplyBody::name(), Qt::FindDirectChildrenOnly));
    if (!body)
        return takeAvailable(reply);
    QByteArray data = std::exchange(body->data, QByteArray());
    data += takeAvailable(reply);
    return data;
}

void NetworkHandler::guard(QNetworkReply *reply, qint64 limit)
{
    // An overall deadline: a timeout of inactivity alone lets a reply that trickles one byte
    // at a time hold the bus for ever. A child of the reply: a single-shot timer would outlive it
    // by the whole deadline, and thousands of them slow every timer of the thread.
    const int deadline = QelLmnIntervals::requestTimeout();
    auto *deadlineTimer = new QTimer(reply);
    deadlineTimer->setSingleShot(true);
    connect(deadlineTimer, &QTimer::timeout, reply, [reply, deadline] {
        qCWarning(dcQelLmn) << "No complete reply to" << reply->url().path() << "within" << deadline
                            << "ms, request aborted.";
        abortReply(reply, Abort::TimedOut);
    });
    deadlineTimer->start(deadline);
    // The body is checked as it arrives, and an announced length before any of it.
    auto check = [reply, limit](qint64 size) {
        if (size <= limit || reply->isFinished())
            return;
        qCWarning(dcQelLmn) << "Reply to" << reply->url().path() << "is larger than the limit of" << limit
                            << "bytes, request aborted.";
        abortReply(reply, Abort::TooLarge);
    };
    // A HEAD reply announces the length of a body it does not bring.
    if (reply->operation() != QNetworkAccessManager::HeadOperation) {
        connect(reply, &QNetworkReply::metaDataChanged, reply,
                [reply, check] { check(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()); });
    }
    // Taken out as it comes and checked at once. Qt's own buffer holds at most one byte over the
    // limit and is not filled further while full, so a fast endless body does not pile up there.
    auto *body = new ReplyBody(reply);
    connect(reply, &QNetworkReply::readyRead, body, [reply, body, check] {
        body->data += takeAvailable(reply);
        check(body->data.size());
    });
    reply->setReadBufferSize(limit + 1);
}

void NetworkHandler::sendRequestGet(const QString &path, std::function<void(QNetworkReply *)> handler,
                                    const QString &query)
{
    qCDebug(dcQelLmn) << "Send Get Request" << path;
    QUrl url = requestUrl(path);
    if (!query.isEmpty())
        url.setQuery(query, QUrl::TolerantMode);
    send(false, path, url, std::move(handler));
}

void NetworkHandler::sendRequestHead(const QString &path, std::function<void(QNetworkReply *)> handler)
{
    qCDebug(dcQelLmn) << "Send Head Request" << path;
    send(true, path, requestUrl(path), std::move(handler));
}

QString NetworkHandler::portSegment() const
{
    // Encoded here and once more by the decoded-mode path: the bridge expects "%252F".
    return QString::fromLatin1(QUrl::toPercentEncoding(m_serialPort));
}

void NetworkHandler::setupConnection(bool reinitialize)
{
    qCDebug(dcQelLmn) << "Setting up server connection";
    sendRequestHead(BridgeWire::probePath, [this, reinitialize](QNetworkReply *reply) {
        if (replyFailed(reply, "Could not reach server!")) {
            emit serverReachable(false);
            return;
        }
        qCDebug(dcQelLmn) << "Server reached.";
        // A slot may delete this handler.
        QPointer<NetworkHandler> self(this);
        // The analyzer takes QPointer's null test to mean that the captured this may be null.
        // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage)
        emit serverReachable(true);
        if (self)
            initPort(reinitialize);
    });
}

void NetworkHandler::initPort(bool reinitialize)
{
    qCDebug(dcQelLmn) << "Initialize the port.";
    const QString segment = QLatin1Char('/') + portSegment();
    auto handler = [this](QNetworkReply *reply) {
        if (replyFailed(reply, "Could not initialize port!", /*trace=*/false)) {
            emit serverReachable(false);
            return;
        }
        qCDebug(dcQelLmn) << "Port initialized.";
        emit portReachable(true);
    };
    if (reinitialize) {
        sendRequestGet(segment + BridgeWire::reinitializeBusPath, handler, QString());
    } else {
        sendRequestGet(segment + BridgeWire::initializePortPath, handler, BridgeWire::initializePortQuery);
    }
}

void NetworkHandler::checkPortInitialized()
{
    qCDebug(dcQelLmn) << "Check if the port is initialized.";
    sendRequestGet(
        BridgeWire::connectionDetailsPath,
        [this](QNetworkReply *reply) {
            if (replyFailed(reply, "Could not get connection details!")) {
                QPointer<NetworkHandler> guard(this);
                // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage): see setupConnection()
                emit checkInitializedFinished(2);
                if (guard)
                    emit serverReachable(false);
                return;
            }
            qCDebug(dcQelLmn) << "Connection details received.";
            const QByteArray body = bodyOf(reply);
            const BridgeReplies::Members members = BridgeReplies::membersFromDetails(body, m_serialPort);
            refreshAddresses(members);
            emit checkInitializedFinished(members.initialized);
        },
        QString());
}

void NetworkHandler::getConnectionDetails()
{
    qCDebug(dcQelLmn) << "Get connection details.";
    // One fetch at a time, whoever asks (connection timer, reconnection, setup): a fetch of
    // each would retry on its own for as long as the bus stays empty, and their requests would
    // grow with every caller. Asked during the wait, the wait starts over, as it always did;
    // asked while the request is under way, whose answer may predate what the caller just did,
    // one more fetch follows.
    if (m_fetch == Fetch::Requesting) {
        m_fetchAgain = true;
        return;
    }
    m_fetch = Fetch::Waiting;
    // start() restarts a running timer: the wait is always the full interval from here.
    m_waitTimer->start();
}

void NetworkHandler::fetchConnectionDetails()
{
    // Left running it would wake the process every 10 s for nothing.
    m_waitTimer->stop();
    m_fetch = Fetch::Requesting;
    sendRequestGet(
        BridgeWire::connectionDetailsPath,
        [this](QNetworkReply *reply) {
            const bool failed = replyFailed(reply, "Could not get connection details!");
            // The fetch ends here whatever the outcome; a retry or a second fetch is a new one.
            const bool again = m_fetchAgain;
            m_fetch = Fetch::Idle;
            m_fetchAgain = false;
            if (failed) {
                // The reconnection that follows fetches anew.
                emit serverReachable(false);
                return;
            }
            qCDebug(dcQelLmn) << "Connection details received.";
            if (saveDeviceList(bodyOf(reply)) != 0) {
                qCDebug(dcQelLmn) << "Device information received.";
                QPointer<NetworkHandler> self(this);
                emit deviceInfoReceived();
                if (self && again)
                    getConnectionDetails();
            } else {
                qCDebug(dcQelLmn) << "No devices found, retrying.";
                // Starts with a full wait, so it also answers a caller that asked meanwhile.
                getConnectionDetails();
            }
        },
        QString());
}

quint16 NetworkHandler::saveDeviceList(const QByteArray &body)
{
    BridgeReplies::Members members = BridgeReplies::membersFromDetails(body, m_serialPort);
    reportUnlisted(members.addresses);
    m_deviceList = std::move(members.addresses);
    m_deviceOrder = std::move(members.order);
    warnOfUnusableMembers(members.unusable);
    warnOfAmbiguousMembers(members.duplicates, members.shared);
    // Once, not at every retry; again when the problem changes or follows a usable reply.
    if (!members.problem.isEmpty() && members.problem != m_detailsProblem)
        qCWarning(dcQelLmn).noquote() << QStringLiteral(
                                             "The connection details are unusable, so no meter can be found: %1.")
                                             .arg(members.problem);
    m_detailsProblem = members.problem;
    // A meter no longer listed starts afresh should it come back.
    for (auto it = m_failures.begin(); it != m_failures.end();)
        it = m_deviceList.contains(it.key()) ? std::next(it) : m_failures.erase(it);
    qCDebug(dcQelLmn) << m_deviceList;
    return static_cast<quint16>(std::min(members.count, int(std::numeric_limits<quint16>::max())));
}

void NetworkHandler::warnOfUnusableMembers(const QStringList &unusable)
{
    // Once per member, not at every fetch; again should it come back so after a good reply.
    QSet<QString> now;
    now.reserve(unusable.size());
    for (const QString &deviceID : unusable) {
        now.insert(deviceID);
        if (!m_unusableMembers.contains(deviceID))
            qCWarning(dcQelLmn) << "Meter" << deviceID << "has no whole-number lmnAdress, so it is not polled.";
    }
    m_unusableMembers = std::move(now);
}

namespace {

// "4 and 7", "1, 4 and 7".
QByteArray listText(const QList<int> &addresses)
{
    QByteArray text;
    for (int i = 0; i < addresses.size(); ++i) {
        if (i > 0)
            text += i + 1 == addresses.size() ? " and " : ", ";
        text += QByteArray::number(addresses.at(i));
    }
    return text;
}

} // namespace

void NetworkHandler::warnOfAmbiguousMembers(const QList<BridgeReplies::Members::Duplicate> &duplicates,
                                            const QList<BridgeReplies::Members::Shared> &shared)
{
    // Once for as long as the list says the same; again once it says it otherwise.
    QSet<QString> now;
    for (const BridgeReplies::Members::Duplicate &duplicate : duplicates) {
        const QByteArray addresses = listText(duplicate.addresses);
        const QString key = QStringLiteral("id\n%1\n%2").arg(duplicate.deviceID, QString::fromLatin1(addresses));
        now.insert(key);
        if (m_ambiguousMembers.contains(key))
            continue;
        if (duplicate.addresses.isEmpty())
            qCWarning(dcQelLmn) << "Meter" << duplicate.deviceID << "is listed more than once.";
        else
            qCWarning(dcQelLmn) << "Meter" << duplicate.deviceID << "is listed at LMN addresses"
                                << addresses.constData() << "- only address" << duplicate.addresses.last()
                                << "is polled.";
    }
    for (const BridgeReplies::Members::Shared &entry : shared) {
        const QString key =
            QStringLiteral("address\n%1\n%2").arg(entry.address).arg(entry.deviceIDs.join(QLatin1Char('\n')));
        now.insert(key);
        if (m_ambiguousMembers.contains(key))
            continue;
        // The IDs quoted as every other line quotes them: "a" and "b".
        QString names;
        {
            QDebug quoted(&names);
            quoted << entry.deviceIDs.first();
            for (int i = 1; i < entry.deviceIDs.size(); ++i)
                quoted << "and" << entry.deviceIDs.at(i);
        }
        qCWarning(dcQelLmn).noquote() << "Meters" << names.trimmed() << "share LMN address" << entry.address
                                      << "- none of them is polled until the bridge lists them apart.";
    }
    m_ambiguousMembers = std::move(now);
}

void NetworkHandler::refreshAddresses(const BridgeReplies::Members &members)
{
    // The same list as a fetch's: a meter that moved since the last fetch must be read where it is
    // now, as whoever answers at its old address may be another meter, and a meter no longer
    // listed is not read at all until a list names it again. New meters are the next fetch's
    // business, and an unusable list changes nothing.
    if (members.count == 0)
        return;
    reportUnlisted(members.addresses);
    for (auto it = m_deviceList.begin(); it != m_deviceList.end();) {
        const auto now = members.addresses.constFind(it.key());
        if (now == members.addresses.constEnd()) {
            it = m_deviceList.erase(it);
            continue;
        }
        it.value() = now.value();
        ++it;
    }
    // In one pass: a long list that shrinks must not cost a pass over it per meter dropped.
    m_deviceOrder.erase(std::remove_if(m_deviceOrder.begin(), m_deviceOrder.end(),
                                       [this](const QString &deviceID) { return !m_deviceList.contains(deviceID); }),
                        m_deviceOrder.end());
}

void NetworkHandler::reportUnlisted(const QHash<QString, int> &listed) const
{
    QStringList gone;
    for (const QString &deviceID : m_deviceOrder) {
        if (!listed.contains(deviceID))
            gone.append(deviceID);
    }
    if (gone.size() == 1)
        qCInfo(dcQelLmn) << "Meter" << gone.first() << "is no longer listed by the bridge, so it is not read.";
    else if (!gone.isEmpty())
        qCInfo(dcQelLmn) << gone.size() << "meters are no longer listed by the bridge, so they are not read, among them"
                         << gone.first();
}

QStringList NetworkHandler::returnDeviceList() const
{
    return m_deviceOrder;
}

void NetworkHandler::getValueCall(const QString &api, const QString &deviceID, uchar increment)
{
    m_pendingValueCalls = static_cast<uchar>(m_pendingValueCalls + increment);
    sendValueCall(api, deviceID, 1);
}

void NetworkHandler::sendValueCall(const QString &api, const QString &deviceID, int attempt)
{
    // A re-send may still be due when the client is retired.
    if (m_retired)
        return;
    qCDebug(dcQelLmn) << "Trying to get Value " << api << "for device " << deviceID;

    if (!isUrlValid()) {
        // It can never succeed: the call ends here, without the re-sends meant for a busy bridge.
        qCCritical(dcQelLmn) << "No valid server port is set, call" << api << "for device" << deviceID << "not sent.";
        QMetaObject::invokeMethod(
            this, [this, api, deviceID] { failValueCall(api, deviceID, false); }, Qt::QueuedConnection);
        return;
    }

    const auto device = m_deviceList.constFind(deviceID);
    if (device == m_deviceList.constEnd()) {
        // Polling a made-up address could read another meter, so nothing is sent.
        qCWarning(dcQelLmn) << "Device" << deviceID << "is not in the device list, call" << api << "not sent.";
        // Finished from the event loop: the caller takes its next step before it hears of it.
        QMetaObject::invokeMethod(
            this, [this, api, deviceID] { failValueCall(api, deviceID, false); }, Qt::QueuedConnection);
        return;
    }

    const int address = device.value();
    const QString path = QLatin1Char('/') + portSegment() + QLatin1Char('/') + QString::number(address)
                         + QLatin1Char('/') + api;
    sendRequestGet(
        path,
        [this, api, deviceID, attempt, address](QNetworkReply *reply) {
            qCDebug(dcQelLmn) << reply->error();
            if (reply->error() == QNetworkReply::NoError) {
                qCDebug(dcQelLmn) << "Call " << api << "to device " << deviceID << "successful.";
                const std::optional<double> value = BridgeReplies::valueFromReply(bodyOf(reply));
                if (value && m_deviceList.value(deviceID, -1) != address) {
                    // The meter list changed while the call was out: whoever answered at the old
                    // address may be another meter now.
                    qCWarning(dcQelLmn) << "The answer to" << api << "for device" << deviceID << "came from LMN address"
                                        << address << "- the bridge no longer lists it there, nothing reported.";
                    failValueCall(api, deviceID, false);
                    return;
                }
                if (value) {
                    QPointer<NetworkHandler> self(this);
                    // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage): see setupConnection()
                    emit receivedValue(api, deviceID, *value);
                    if (!self)
                        return;
                    m_failures.remove(deviceID);
                } else {
                    // Reporting 0 would overwrite the meter's energy total.
                    warningUnlessRepeated(noteFailure(deviceID, QStringLiteral("no value")))
                        << "Reply to" << api << "from device" << deviceID
                        << "holds no numeric value, nothing reported.";
                    failValueCall(api, deviceID, false);
                    return;
                }
                finishValueCall();
                return;
            }

            if (reply->error() == QNetworkReply::ConnectionRefusedError) {
                qCCritical(dcQelLmn) << "Could not get value!";
                logErrorReport(reply);
                QPointer<NetworkHandler> self(this);
                // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage): see setupConnection()
                emit valueCallFailed(api, deviceID, false);
                if (!self)
                    return;
                m_pendingValueCalls = static_cast<uchar>(m_pendingValueCalls - 1);
                if (m_pendingValueCalls == 0)
                    emit serverReachable(false);
                return;
            }

            const bool repeated = noteFailure(deviceID, failureWay(reply));
            warningUnlessRepeated(repeated) << "Error in " << api << "for " << deviceID;
            logErrorReport(reply, repeated);
            if (abortOf(reply) == Abort::TimedOut) {
                // Sent again, it would most likely hang as long once more.
                failValueCall(api, deviceID, true);
                return;
            }
            warningUnlessRepeated(repeated) << "Server likely still running. Call simply did not go through";
            if (attempt < QelLmnIntervals::valueCallAttempts) {
                QTimer::singleShot(QelLmnIntervals::scaled(QelLmnIntervals::valueResendDelayMs), this,
                                   [this, api, deviceID, attempt] { sendValueCall(api, deviceID, attempt + 1); });
                return;
            }
            Failures &failures = m_failures[deviceID];
            warningUnlessRepeated(failures.gaveUp)
                << "Giving up on" << api << "for device" << deviceID << "after" << attempt << "attempts.";
            failures.gaveUp = true;
            failValueCall(api, deviceID, false);
        },
        QString());
}

bool NetworkHandler::noteFailure(const QString &deviceID, const QString &way)
{
    Failures &failures = m_failures[deviceID];
    ++failures.calls;
    failures.repeated = failures.way == way;
    if (!failures.repeated) {
        failures.way = way;
        failures.gaveUp = false;
    }
    return failures.repeated;
}

int NetworkHandler::failedCalls(const QString &deviceID) const
{
    return m_failures.value(deviceID).calls;
}

bool NetworkHandler::failsAsBefore(const QString &deviceID) const
{
    return m_failures.value(deviceID).repeated;
}

void NetworkHandler::finishValueCall()
{
    m_pendingValueCalls = static_cast<uchar>(m_pendingValueCalls - 1);
    if (m_pendingValueCalls == 0)
        emit nextDeviceUpdate();
}

void NetworkHandler::failValueCall(const QString &api, const QString &deviceID, bool timedOut)
{
    QPointer<NetworkHandler> self(this);
    // NOLINTNEXTLINE(clang-analyzer-core.CallAndMessage): see setupConnection()
    emit valueCallFailed(api, deviceID, timedOut);
    if (self)
        finishValueCall();
}
