// libcurl's multi-socket interface driven by the event loop of the thread that owns it: a socket
// notifier for each socket curl watches and one timer for the timeouts curl asks for. curl has no
// thread of its own here, and none of its callbacks ever runs user code: replies hear of what
// happened from the event loop (CurlReply).
#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <curl/curl.h>

#include <vector>

class CurlReply;
class QSocketNotifier;

class CurlMulti : public QObject
{
    Q_OBJECT

public:
    // Body bytes handed to replies in one socket event, all replies together. A transfer that
    // reaches it is paused and resumed from the event loop, so that a bridge sending as fast as
    // it is read cannot keep the loop from other meters, timers and the host.
    static constexpr qint64 eventBudget = qint64(64) * 1024;

    explicit CurlMulti(QObject *parent);
    // Detaches every reply still running; each then only frees its own handle.
    ~CurlMulti() override;

    // An easy handle for a new transfer, and back when its reply goes. Handles are kept for
    // reuse, a few at most, with their options: setting one up costs more than the request on a
    // kept connection. `fresh` says whether curl has just created it.
    CURL *takeHandle(bool *fresh);
    void giveBack(CURL *easy);
    void add(CurlReply *reply);
    void remove(CurlReply *reply);
    // Resumes a paused transfer (from the event loop, never inside curl).
    void resume(CurlReply *reply);
    // Body bytes may still be taken in the socket event under way.
    bool withinBudget() const { return m_eventBytes < eventBudget; }
    void spend(qint64 bytes) { m_eventBytes += bytes; }
    // Whether control is inside a curl call, where no handle may be added or removed.
    bool insideCurl() const { return m_depth > 0; }

private:
    struct Watch {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };
    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *);
    static int onTimer(CURLM *multi, long timeoutMs, void *self);
    void watch(curl_socket_t socket, int what);
    void drive(curl_socket_t socket, int events);
    // Hands finished transfers to their replies, which report them from the event loop.
    void collect();

    static constexpr int keptHandles = 4;
    CURLM *m_multi = nullptr;
    std::vector<CURL *> m_idleHandles;
    QTimer m_timer;
    bool m_runQueued = false; // a run of curl's timeouts is queued for the next loop pass
    QHash<curl_socket_t, Watch> m_watches;
    QSet<CurlReply *> m_replies;
    qint64 m_eventBytes = 0;
    int m_depth = 0;
};
