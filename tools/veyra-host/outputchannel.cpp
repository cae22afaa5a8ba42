#include "outputchannel.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {
// A description of its own where the kernel gives one: O_NONBLOCK set on an inherited one would
// reach the shell or the service manager that shares it too.
int openNonBlocking(int fd, int *restoreFlags, bool *socket)
{
    struct stat status = {};
    if (fstat(fd, &status) != 0 || S_ISREG(status.st_mode))
        return fd; // a file never waits for a reader
    if (S_ISSOCK(status.st_mode)) {
        *socket = true; // the journal: send() takes MSG_DONTWAIT
        return fd;
    }
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
    const int own = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0)
        return own;
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0)
        *restoreFlags = flags;
    return fd;
}
} // namespace

OutputChannel::OutputChannel(int fd, std::function<QByteArray(qint64)> dropNote, QObject *parent)
    : QObject(parent), m_originalFd(fd), m_dropNote(std::move(dropNote))
{
    m_fd = openNonBlocking(fd, &m_restoreFlags, &m_socket);
    m_writable = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable, &QSocketNotifier::activated, this, &OutputChannel::pump);
    watchForReaderGone();
}

OutputChannel::~OutputChannel()
{
    // The notifiers go before the descriptor they watch.
    qDeleteAll(findChildren<QSocketNotifier *>());
    if (m_fd != m_originalFd)
        ::close(m_fd);
    if (m_restoreFlags >= 0)
        fcntl(m_originalFd, F_SETFL, m_restoreFlags);
}

// Into a pipe, a reader that went away would otherwise be noticed only at the next write, which
// may be minutes away. The write end of a pipe never reads, so a read notifier on it fires only
// for the error a pipe without reader reports: no wake-up until then.
void OutputChannel::watchForReaderGone()
{
    struct stat status = {};
    if (fstat(m_fd, &status) != 0 || !S_ISFIFO(status.st_mode))
        return;
    auto *watch = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(watch, &QSocketNotifier::activated, this, [this, watch] {
        pollfd out = {m_fd, POLLOUT, 0};
        const bool gone = ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
        // A FIFO opened for reading too can be readable: then the next write tells.
        watch->setEnabled(false);
        if (gone)
            close();
    });
}

void OutputChannel::appendLine(const QByteArray &line)
{
    if (m_closed)
        return;
    if (m_offset > 0) {
        m_pending.remove(0, m_offset);
        m_offset = 0;
    }
    const QByteArray note = m_dropped > 0 && m_dropNote ? m_dropNote(m_dropped) : QByteArray();
    // A line alone always goes, however long: the bound is on what waits.
    if (!m_pending.isEmpty() && m_pending.size() + note.size() + line.size() > lineLimitBytes) {
        ++m_dropped;
        return;
    }
    m_pending += note;
    m_pending += line;
    if (!note.isEmpty())
        m_dropped = 0;
    pump();
}

void OutputChannel::setFrame(const QByteArray &frame)
{
    if (m_closed)
        return;
    // A frame begun is finished first: half of one would leave the picture torn.
    if (m_offset < m_pending.size()) {
        m_nextFrame = frame;
        return;
    }
    m_frames = true;
    m_pending = frame;
    m_offset = 0;
    pump();
}

qint64 OutputChannel::writeSome(const char *data, qint64 size)
{
    if (m_socket)
        return ::send(m_fd, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
    return ::write(m_fd, data, size_t(size));
}

// Lines go in whole lines of at most PIPE_BUF bytes, which a pipe takes whole or not at all: stdout
// and stderr into one pipe (2>&1) then never cut into each other's lines.
qint64 OutputChannel::chunkSize() const
{
    const qint64 remaining = m_pending.size() - m_offset;
    if (m_frames || remaining <= PIPE_BUF)
        return remaining;
    const int lastBreak = m_pending.lastIndexOf('\n', m_offset + PIPE_BUF - 1);
    return lastBreak >= m_offset ? lastBreak + 1 - m_offset : remaining;
}

void OutputChannel::pump()
{
    while (!m_closed) {
        if (m_offset >= m_pending.size()) {
            m_pending.clear();
            m_offset = 0;
            if (!m_nextFrame.isEmpty())
                m_pending.swap(m_nextFrame);
            else if (m_dropped > 0 && m_dropNote)
                m_pending = m_dropNote(std::exchange(m_dropped, 0));
            else
                break;
        }
        const qint64 written = writeSome(m_pending.constData() + m_offset, chunkSize());
        if (written > 0) {
            m_offset += int(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writable->setEnabled(true);
            return;
        }
        // SIGPIPE is ignored, so a closed pipe shows only as EPIPE.
        if (written < 0 && errno == EPIPE) {
            close();
            return;
        }
        // Any other failure (a terminal that hung up, a full disk) loses what waits, once: no retry loop.
        m_pending.clear();
        m_offset = 0;
        m_nextFrame.clear();
        break;
    }
    m_writable->setEnabled(false);
}

void OutputChannel::flushFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    pump();
    while (!m_closed && m_writable->isEnabled() && clock.elapsed() < ms) {
        pollfd out = {m_fd, POLLOUT, 0};
        const int ready = ::poll(&out, 1, int(ms - clock.elapsed()));
        if (ready == 0)
            break;
        if (ready > 0)
            pump();
    }
}

void OutputChannel::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_pending.clear();
    m_offset = 0;
    m_nextFrame.clear();
    m_writable->setEnabled(false);
    emit closed();
}
