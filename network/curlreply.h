// A QNetworkReply whose transfer is one libcurl easy handle of a CurlMulti. Every signal is
// emitted from the event loop, never inside curl or inside the call that caused it (abort()
// included), as Qt's own HTTP replies do; handlers may delete the reply, its manager or both.
#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

#include <curl/curl.h>

#include <utility>
#include <vector>

class CurlMulti;

class CurlReply : public QNetworkReply
{
    Q_OBJECT

public:
    // The bounds of one reply, besides its body (the reader's read buffer size, honoured by
    // pausing the transfer) and its deadline (the caller's). A reply over one is ended with
    // ProtocolFailure and an error text that names the bound.
    //
    // Status line and each header line: curl holds an unfinished line in a buffer of at most
    // 100 kB (CURL_MAX_HTTP_HEADER, its own and not settable) and fails the transfer beyond.
    // Header block: all header lines of the reply, interim replies (100 Continue) and trailers
    // included. A bridge sends about 200 bytes.
    static constexpr qint64 headerBlockLimit = qint64(16) * 1024;
    // Chunk lines: all bytes of a chunked body that are not body (chunk sizes, their extensions,
    // line ends), counted as read, may exceed the body by this much. curl skips an extension
    // without storing it, so this bounds the time a line that never ends is read, not memory;
    // a bridge that sends its body in small chunks is not refused for it.
    static constexpr qint64 chunkFramingLimit = qint64(16) * 1024;
    // Transfer codings: chunked alone. Any other is refused once the header block is complete,
    // before curl decodes a byte of it (takeHeader).
    // One read from the socket (CURLOPT_BUFFERSIZE). curl 7.88 reads at most 100 of them per
    // socket event before it lets the event loop run again; together with the event budget of
    // CurlMulti this bounds the work of one event.
    static constexpr long readSize = 4096;

    // `reportTo` emits finished(QNetworkReply *) for it, unless QNetworkAccessManager's own
    // connections already do (nullptr).
    CurlReply(CurlMulti *multi, QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
              QNetworkAccessManager *reportTo, QObject *parent);
    ~CurlReply() override;

    CURL *handle() const { return m_easy; }
    // From CurlMulti, outside curl: the transfer ended with `result`.
    void transferDone(CURLcode result);
    // From CurlMulti: the multi handle goes away first.
    void detach() { m_multi = nullptr; }

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    void setReadBufferSize(qint64 size) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    enum class Bound { None, HeaderBlock, ChunkFraming, TransferCoding };
    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    static int onProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static int onDebug(CURL *, curl_infotype type, char *, size_t size, void *self);
    // The options every transfer of a handle shares, set once when curl creates it.
    static void configure(CURL *easy);
    size_t takeHeader(const QByteArray &line);
    // The reply's transfer codings, as its header fields list them; a reply refused for them
    // keeps its fields, so the error text can name them.
    QByteArray transferCoding() const;
    size_t takeBody(const char *data, size_t size);
    void headersComplete();
    // The error of a transfer that ended with `result`; NoError when it delivered its reply.
    std::pair<NetworkError, QString> errorOf(CURLcode result) const;
    void schedule();
    void deliver();
    void scheduleResume();

    QPointer<CurlMulti> m_multi;
    QPointer<QNetworkAccessManager> m_reportTo;
    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;
    char m_curlError[CURL_ERROR_SIZE] = {};
    QByteArray m_body;
    int m_bodyRead = 0; // the part of m_body already read
    // The header block of the current (final or interim) reply, as it arrives.
    int m_status = 0;
    QByteArray m_reason;
    std::vector<std::pair<QByteArray, QByteArray>> m_fields;
    bool m_headersDone = false;
    qint64 m_headerBytes = 0;
    qint64 m_rawBodyBytes = 0; // body-phase bytes read, chunk lines included
    qint64 m_bodyBytes = 0;    // body bytes taken
    qint64 m_heldBytes = 0;    // read but refused while paused; curl hands them over again
    Bound m_bound = Bound::None;
    bool m_paused = false;
    bool m_resumeQueued = false;
    bool m_deliveryQueued = false;
    bool m_metaDataNew = false;
    bool m_dataNew = false;
    bool m_done = false; // the transfer ended; the reply reports it at the next delivery
    bool m_aborted = false;
    bool m_reported = false; // finished() was emitted or is about to be
    CURLcode m_result = CURLE_OK;
};
