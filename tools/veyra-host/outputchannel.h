#pragma once

#include <QByteArray>
#include <QObject>

#include <functional>

class QSocketNotifier;

// Writes to a file descriptor without ever blocking the event loop: a reader that stopped reading
// (a stalled pipe, a terminal held with Ctrl-S) costs memory up to a bound, never the host's time.
class OutputChannel : public QObject
{
    Q_OBJECT
public:
    // Lines past this many bytes waiting are dropped and counted.
    static constexpr int lineLimitBytes = 1 << 20;

    // `dropNote` makes the line that tells how many lines were dropped.
    OutputChannel(int fd, std::function<QByteArray(qint64 dropped)> dropNote, QObject *parent = nullptr);
    ~OutputChannel() override;

    // Queues a line; past the bound it is dropped and counted instead.
    void appendLine(const QByteArray &line);
    // A picture of the whole state: one not yet begun is replaced by the next.
    void setFrame(const QByteArray &frame);
    // Writes what waits for at most `ms`, as at the end of a run.
    void flushFor(int ms);
    bool isClosed() const { return m_closed; }
    qint64 dropped() const { return m_dropped; }

signals:
    // Whoever read it is gone (EPIPE); emitted once.
    void closed();

private:
    void pump();
    void watchForReaderGone();
    void close();
    qint64 writeSome(const char *data, qint64 size);
    qint64 chunkSize() const;

    int m_originalFd;
    int m_fd = -1;           // m_originalFd, or a description of its own opened non-blocking
    int m_restoreFlags = -1; // the descriptor's flags before it was made non-blocking, -1: untouched
    bool m_socket = false;
    std::function<QByteArray(qint64)> m_dropNote;
    QByteArray m_pending; // being written, from m_offset on
    int m_offset = 0;
    QByteArray m_nextFrame; // waits until the frame being written is out
    qint64 m_dropped = 0;
    bool m_closed = false;
    bool m_frames = false; // pictures rather than lines
    QSocketNotifier *m_writable = nullptr;
};
