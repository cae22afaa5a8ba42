#include "curlreply.h"

#include "curlmulti.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

namespace {

// Qt's own words for what its HTTP replies report, so that logs read the same.
QString qtText(const char *text)
{
    return QCoreApplication::translate("QNetworkReply", text);
}

// Qt's mapping of an HTTP error status to a network error.
QNetworkReply::NetworkError errorOfStatus(int status)
{
    switch (status) {
    case 400: return QNetworkReply::ProtocolInvalidOperationError;
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 418: return QNetworkReply::ProtocolInvalidOperationError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: return status > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

template<typename Value>
void set(CURL *easy, CURLoption option, Value value)
{
    curl_easy_setopt(easy, option, value);
}

} // namespace

CurlReply::CurlReply(CurlMulti *multi, QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                     QNetworkAccessManager *reportTo, QObject *parent)
    : QNetworkReply(parent), m_multi(multi), m_reportTo(reportTo)
{
    setOperation(operation);
    setRequest(request);
    setUrl(request.url());
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    bool fresh = false;
    m_easy = multi->takeHandle(&fresh);
    if (!m_easy) {
        transferDone(CURLE_FAILED_INIT);
        return;
    }
    if (fresh)
        configure(m_easy);
    // Sent as Qt would: the encoded URL exactly (no dot segments squashed).
    set(m_easy, CURLOPT_URL, request.url().toEncoded().constData());
    set(m_easy, CURLOPT_NOBODY, long(operation == QNetworkAccessManager::HeadOperation));
    set(m_easy, CURLOPT_ERRORBUFFER, m_curlError);
    set(m_easy, CURLOPT_PRIVATE, static_cast<void *>(this));
    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names)
        m_headers = curl_slist_append(m_headers, QByteArray(name + ": " + request.rawHeader(name)).constData());
    set(m_easy, CURLOPT_HTTPHEADER, m_headers);
    set(m_easy, CURLOPT_HEADERDATA, static_cast<void *>(this));
    set(m_easy, CURLOPT_WRITEDATA, static_cast<void *>(this));
    set(m_easy, CURLOPT_XFERINFODATA, static_cast<void *>(this));
    set(m_easy, CURLOPT_DEBUGDATA, static_cast<void *>(this));
    // Only a chunked body has bytes that are not body, and only curl's debug output shows them:
    // it is turned on when the headers say so (takeHeader), as it costs more than the request.
    set(m_easy, CURLOPT_VERBOSE, 0L);
    multi->add(this);
}

void CurlReply::configure(CURL *easy)
{
    // HTTP/1.1 only, and the path exactly as given: Qt squashes no dot segments either.
    set(easy, CURLOPT_PATH_AS_IS, 1L);
    set(easy, CURLOPT_PROTOCOLS_STR, "http");
    set(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // No proxy, whatever the environment names: the empty name also overrides http_proxy.
    set(easy, CURLOPT_PROXY, "");
    set(easy, CURLOPT_NOPROXY, "*");
    // Neither redirects nor cookies nor decoding are curl's defaults; said here all the same.
    set(easy, CURLOPT_FOLLOWLOCATION, 0L);
    set(easy, CURLOPT_NOSIGNAL, 1L);
    set(easy, CURLOPT_BUFFERSIZE, readSize);
    set(easy, CURLOPT_HEADERFUNCTION, &CurlReply::onHeader);
    set(easy, CURLOPT_WRITEFUNCTION, &CurlReply::onBody);
    set(easy, CURLOPT_NOPROGRESS, 0L);
    set(easy, CURLOPT_XFERINFOFUNCTION, &CurlReply::onProgress);
    set(easy, CURLOPT_DEBUGFUNCTION, &CurlReply::onDebug);
}

CurlReply::~CurlReply()
{
    if (m_multi) {
        m_multi->remove(this);
        m_multi->giveBack(m_easy);
    } else {
        curl_easy_cleanup(m_easy);
    }
    curl_slist_free_all(m_headers);
}

void CurlReply::transferDone(CURLcode result)
{
    m_done = true;
    m_result = result;
    schedule();
}

void CurlReply::abort()
{
    if (m_aborted || m_reported)
        return;
    m_aborted = true;
    if (m_multi)
        m_multi->remove(this);
    setError(OperationCanceledError, qtText("Operation canceled"));
    // Finished at once for whoever asks, reported from the event loop.
    setFinished(true);
    schedule();
}

void CurlReply::close()
{
    abort();
    QNetworkReply::close();
}

qint64 CurlReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + (m_body.size() - m_bodyRead);
}

void CurlReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    scheduleResume();
}

qint64 CurlReply::readData(char *data, qint64 maxSize)
{
    const qint64 count = std::min<qint64>(maxSize, m_body.size() - m_bodyRead);
    if (count <= 0)
        return isFinished() ? -1 : 0;
    std::memcpy(data, m_body.constData() + m_bodyRead, size_t(count));
    m_bodyRead += int(count);
    if (m_bodyRead == m_body.size()) {
        m_body.clear();
        m_bodyRead = 0;
    }
    scheduleResume();
    return count;
}

size_t CurlReply::onHeader(char *data, size_t size, size_t count, void *self)
{
    return static_cast<CurlReply *>(self)->takeHeader(QByteArray::fromRawData(data, int(size * count)));
}

size_t CurlReply::onBody(char *data, size_t size, size_t count, void *self)
{
    return static_cast<CurlReply *>(self)->takeBody(data, size * count);
}

int CurlReply::onProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto *reply = static_cast<CurlReply *>(self);
    // While paused, curl holds body bytes it has read and not yet handed over.
    const qint64 framing = reply->m_rawBodyBytes - reply->m_bodyBytes;
    if (!reply->m_paused && framing > reply->m_bodyBytes + chunkFramingLimit)
        reply->m_bound = Bound::ChunkFraming;
    return reply->m_bound != Bound::None || reply->m_aborted;
}

int CurlReply::onDebug(CURL *, curl_infotype type, char *, size_t size, void *self)
{
    // Everything read after the header block, before the chunks are taken apart.
    if (type == CURLINFO_DATA_IN)
        static_cast<CurlReply *>(self)->m_rawBodyBytes += qint64(size);
    return 0;
}

size_t CurlReply::takeHeader(const QByteArray &line)
{
    m_headerBytes += line.size();
    if (m_headerBytes > headerBlockLimit) {
        m_bound = Bound::HeaderBlock;
        return 0;
    }
    if (m_headersDone || m_aborted)
        return size_t(line.size()); // trailers: counted, not kept
    // curl has framed the line; what is left is to take the status and the fields from it.
    if (line.startsWith("HTTP/")) {
        // Each reply, interim or final, starts its block anew.
        m_fields.clear();
        const QByteArray text = line.trimmed();
        const int codeAt = text.indexOf(' ') + 1;
        const int reasonAt = text.indexOf(' ', codeAt);
        m_status = text.mid(codeAt, reasonAt < 0 ? -1 : reasonAt - codeAt).toInt();
        m_reason = reasonAt < 0 ? QByteArray() : text.mid(reasonAt + 1);
    } else if (line == "\r\n" || line == "\n") {
        if (m_status >= 200) { // an interim reply (1xx) is followed by the real one
            // Any coding but chunked is refused before its body is read: nobody asked for one,
            // and a decoder could turn each read into megabytes that no limit here sees. A HEAD
            // reply has no body to decode.
            const QByteArray coding = transferCoding();
            if (!coding.isEmpty() && coding.compare("chunked", Qt::CaseInsensitive) != 0
                && operation() != QNetworkAccessManager::HeadOperation) {
                m_bound = Bound::TransferCoding;
                return 0;
            }
            // From here on, curl's debug output counts what is read (onDebug).
            if (!coding.isEmpty())
                set(m_easy, CURLOPT_VERBOSE, 1L);
            headersComplete();
        }
    } else if ((line.startsWith(' ') || line.startsWith('\t')) && !m_fields.empty()) {
        m_fields.back().second += ' ' + line.trimmed(); // a folded field goes on
    } else {
        const int colon = line.indexOf(':');
        if (colon > 0)
            m_fields.emplace_back(QByteArray(line.constData(), colon).trimmed(),
                                  QByteArray(line.constData() + colon + 1, line.size() - colon - 1).trimmed());
    }
    return size_t(line.size());
}

QByteArray CurlReply::transferCoding() const
{
    QByteArray coding;
    for (const auto &field : m_fields) {
        if (field.first.compare("transfer-encoding", Qt::CaseInsensitive) == 0)
            coding += (coding.isEmpty() ? "" : ", ") + field.second;
    }
    return coding;
}

void CurlReply::headersComplete()
{
    m_headersDone = true;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, m_status);
    if (!m_reason.isEmpty())
        setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(m_reason));
    for (const auto &field : m_fields) {
        // A repeated field is one list, as Qt keeps it.
        const QByteArray before = rawHeader(field.first);
        setRawHeader(field.first, before.isEmpty() ? field.second : before + ", " + field.second);
    }
    m_fields.clear();
    m_metaDataNew = true;
    schedule();
}

size_t CurlReply::takeBody(const char *data, size_t size)
{
    if (m_aborted || !m_multi)
        return 0;
    const bool full = readBufferSize() > 0 && m_body.size() - m_bodyRead >= readBufferSize();
    if (full || !m_multi->withinBudget()) {
        // curl keeps what it read and hands it over again on resumption.
        m_paused = true;
        if (!full)
            scheduleResume();
        return CURL_WRITEFUNC_PAUSE;
    }
    m_body.append(data, int(size));
    m_bodyBytes += qint64(size);
    m_multi->spend(qint64(size));
    m_dataNew = true;
    schedule();
    return size;
}

std::pair<QNetworkReply::NetworkError, QString> CurlReply::errorOf(CURLcode result) const
{
    if (m_bound == Bound::HeaderBlock)
        return {ProtocolFailure, QStringLiteral("The reply's header block exceeds %1 bytes").arg(headerBlockLimit)};
    if (m_bound == Bound::TransferCoding)
        return {ProtocolFailure, QStringLiteral("The reply's transfer coding \"%1\" is not supported, only chunked")
                                     .arg(QString::fromLatin1(transferCoding().left(64)))};
    if (m_bound == Bound::ChunkFraming)
        return {ProtocolFailure,
                QStringLiteral("The reply's chunk lines exceed its body by more than %1 bytes").arg(chunkFramingLimit)};
    long osError = 0;
    curl_easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &osError);
    const QString curlText = QString::fromLocal8Bit(m_curlError).trimmed();
    switch (result) {
    case CURLE_OK:
        if (m_status < 400)
            return {NoError, QString()};
        return {
            errorOfStatus(m_status),
            qtText("Error transferring %1 - server replied: %2").arg(url().toString(), QString::fromLatin1(m_reason))};
    case CURLE_COULDNT_CONNECT:
        if (osError == ECONNREFUSED)
            return {ConnectionRefusedError, qtText("Connection refused")};
        return {UnknownNetworkError, curlText};
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR: return {RemoteHostClosedError, qtText("Connection closed")};
    case CURLE_RECV_ERROR:
        if (osError == ECONNRESET)
            return {RemoteHostClosedError, qtText("Connection closed")};
        return {ProtocolFailure, curlText};
    case CURLE_OUT_OF_MEMORY:
        if (!m_headersDone) // curl's buffer of one unfinished line is full
            return {
                ProtocolFailure,
                QStringLiteral("The reply's status line or a header line exceeds %1 bytes").arg(CURL_MAX_HTTP_HEADER)};
        return {UnknownNetworkError, curlText};
    case CURLE_OPERATION_TIMEDOUT: return {TimeoutError, qtText("Socket operation timed out")};
    case CURLE_COULDNT_RESOLVE_HOST: return {HostNotFoundError, curlText};
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT: return {ProtocolUnknownError, curlText};
    default: return {ProtocolFailure, curlText};
    }
}

void CurlReply::schedule()
{
    if (m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(this, &CurlReply::deliver, Qt::QueuedConnection);
}

void CurlReply::deliver()
{
    m_deliveryQueued = false;
    // Any handler may delete the reply; one that aborts it gets its finish from a later delivery.
    QPointer<CurlReply> self(this);
    if (m_metaDataNew && !m_aborted) {
        m_metaDataNew = false;
        emit metaDataChanged();
        if (!self || m_aborted)
            return;
    }
    if (m_dataNew && !m_aborted) {
        m_dataNew = false;
        if (bytesAvailable() > 0)
            emit readyRead();
        if (!self || m_aborted)
            return;
    }
    if (m_reported || !(m_done || m_aborted))
        return;
    m_reported = true;
    if (!m_aborted) {
        const auto outcome = errorOf(m_result);
        if (outcome.first != NoError)
            setError(outcome.first, outcome.second);
        setFinished(true);
    }
    if (error() != NoError) {
        emit errorOccurred(error());
        if (!self)
            return;
    }
    // First, as QNetworkAccessManager's connection would be, made before any of the caller's.
    if (m_reportTo) {
        emit m_reportTo->finished(this);
        if (!self)
            return;
    }
    emit finished();
}

void CurlReply::scheduleResume()
{
    if (!m_paused || m_resumeQueued)
        return;
    m_resumeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_resumeQueued = false;
            const bool full = readBufferSize() > 0 && m_body.size() - m_bodyRead >= readBufferSize();
            if (!m_paused || full || m_done || m_aborted || !m_multi)
                return;
            m_paused = false;
            m_multi->resume(this);
        },
        Qt::QueuedConnection);
}
