#include "curlmulti.h"

#include "curlreply.h"

#include <QSocketNotifier>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Once per process, before the first handle: curl's global set-up is not safe to repeat.
void initCurl()
{
    static const CURLcode once = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(once)
}

} // namespace

CurlMulti::CurlMulti(QObject *parent) : QObject(parent)
{
    initCurl();
    m_multi = curl_multi_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    // As many connections to one host as Qt opens; more requests wait for one of them.
    curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti()
{
    const QSet<CurlReply *> replies = std::exchange(m_replies, {});
    for (CurlReply *reply : replies) {
        curl_multi_remove_handle(m_multi, reply->handle());
        reply->detach();
    }
    curl_multi_cleanup(m_multi);
    for (CURL *easy : m_idleHandles)
        curl_easy_cleanup(easy);
}

CURL *CurlMulti::takeHandle(bool *fresh)
{
    *fresh = m_idleHandles.empty();
    if (*fresh)
        return curl_easy_init();
    CURL *easy = m_idleHandles.back();
    m_idleHandles.pop_back();
    return easy;
}

void CurlMulti::giveBack(CURL *easy)
{
    if (!easy)
        return;
    if (int(m_idleHandles.size()) >= keptHandles) {
        curl_easy_cleanup(easy);
        return;
    }
    // The options shared by every transfer stay; what pointed into the reply goes. The next
    // reply sets the rest anew.
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, nullptr);
    m_idleHandles.push_back(easy);
}

void CurlMulti::add(CurlReply *reply)
{
    // A transfer curl does not take must still end, or its handler would never run.
    if (!m_multi || curl_multi_add_handle(m_multi, reply->handle()) != CURLM_OK) {
        reply->transferDone(CURLE_FAILED_INIT);
        return;
    }
    m_replies.insert(reply);
}

void CurlMulti::remove(CurlReply *reply)
{
    if (m_replies.remove(reply))
        curl_multi_remove_handle(m_multi, reply->handle());
}

void CurlMulti::resume(CurlReply *reply)
{
    if (!m_replies.contains(reply))
        return;
    m_eventBytes = 0;
    ++m_depth;
    // Hands over what curl held back, then lets the transfer read again.
    curl_easy_pause(reply->handle(), CURLPAUSE_CONT);
    --m_depth;
    collect();
}

int CurlMulti::onSocket(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    static_cast<CurlMulti *>(self)->watch(socket, what);
    return 0;
}

int CurlMulti::onTimer(CURLM *, long timeoutMs, void *self)
{
    auto *multi = static_cast<CurlMulti *>(self);
    QTimer &timer = multi->m_timer;
    // Only armed here: curl is driven from the event loop, never from inside its own call.
    if (timeoutMs < 0) {
        if (timer.isActive())
            timer.stop();
    } else if (timeoutMs == 0) {
        // "At once", as after every new transfer: the next pass of the loop, without a timer.
        if (!multi->m_runQueued) {
            multi->m_runQueued = true;
            QMetaObject::invokeMethod(
                multi,
                [multi] {
                    multi->m_runQueued = false;
                    multi->drive(CURL_SOCKET_TIMEOUT, 0);
                },
                Qt::QueuedConnection);
        }
    } else {
        // Always anew: curl asks again only when its next timeout changes, so a timer left due
        // sooner would fire early and leave the transfer waiting.
        timer.start(int(std::min<long>(timeoutMs, std::numeric_limits<int>::max())));
    }
    return 0;
}

void CurlMulti::watch(curl_socket_t socket, int what)
{
    Watch &watch = m_watches[socket];
    auto notifier = [this, socket](QSocketNotifier *&slot, QSocketNotifier::Type type, bool wanted) {
        if (!slot && !wanted)
            return;
        if (!slot) {
            slot = new QSocketNotifier(socket, type, this);
            const int events = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
            connect(slot, &QSocketNotifier::activated, this, [this, socket, events] { drive(socket, events); });
        }
        slot->setEnabled(wanted);
    };
    // A socket curl no longer watches keeps its notifiers, disabled: a kept connection comes
    // back with every request, and a new socket takes the lowest free number, so the notifiers
    // are as many as the sockets ever open at once.
    notifier(watch.read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    notifier(watch.write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
}

void CurlMulti::drive(curl_socket_t socket, int events)
{
    m_eventBytes = 0;
    int running = 0;
    ++m_depth;
    curl_multi_socket_action(m_multi, socket, events, &running);
    --m_depth;
    collect();
}

void CurlMulti::collect()
{
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CurlReply *reply = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &reply);
        const CURLcode result = message->data.result;
        // The message is curl's and goes with the removal.
        remove(reply);
        reply->transferDone(result);
    }
}
