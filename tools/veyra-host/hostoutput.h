#pragma once

#include <veyra/thingmanager.h>

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>

#include <functional>
#include <memory>

class OutputChannel;
class QTimer;

// How the host shows what happens to its things.
class HostOutput : public QObject
{
    Q_OBJECT
public:
    // `dropNote` makes the line that tells how many lines a reader that fell behind lost.
    HostOutput(ThingManager *manager, std::function<QByteArray(qint64 dropped)> dropNote, QObject *parent = nullptr);
    // Gives what still waits for stdout a moment to go out.
    ~HostOutput() override;

    static constexpr int finalFlushMs = 300;

signals:
    // Whoever read stdout is gone (EPIPE); emitted once.
    void outputClosed();

protected:
    virtual void onThingAdded(Thing *thing) = 0;
    virtual void onThingSetup(Thing *thing, Thing::ThingError error, const QString &message) = 0;
    virtual void onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value) = 0;
    // Every value set, also one equal to the last.
    virtual void onStateSet(Thing *thing, const StateTypeId &stateTypeId);
    virtual void onThingRemoved(Thing *thing) = 0;

    ThingManager *m_manager;
    // stdout, never waited for.
    std::unique_ptr<OutputChannel> m_channel;
};

// Log lines on stderr, written as stdout is: never waited for, up to OutputChannel::lineLimitBytes,
// then dropped and counted. Lines from other threads (the simulator's) go the usual way.
class LogOutput : public QObject
{
    Q_OBJECT
public:
    explicit LogOutput(QObject *parent = nullptr);
    // Puts the previous handler back and gives what waits a moment to go out.
    ~LogOutput() override;
    void writeLine(const QString &line);

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    static LogOutput *s_active;
    std::unique_ptr<OutputChannel> m_channel;
    QtMessageHandler m_previous = nullptr;
};

// One JSON object per line on stdout. A reader that falls behind by more than
// OutputChannel::lineLimitBytes loses lines, and is told how many with an "eventsDropped" line.
class EventOutput : public HostOutput
{
    Q_OBJECT
public:
    EventOutput(ThingManager *manager, const QElapsedTimer &clock, QObject *parent = nullptr);

protected:
    void onThingAdded(Thing *thing) override;
    void onThingSetup(Thing *thing, Thing::ThingError error, const QString &message) override;
    void onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value) override;
    void onThingRemoved(Thing *thing) override;

private:
    QJsonObject header(const QString &event, Thing *thing) const;
    static QByteArray line(const QJsonObject &object);
    void print(const QJsonObject &object);

    const QElapsedTimer &m_clock;
    qint64 m_lastMs = 0;
};

struct TableView;

// A table a person reads: the gateway's connection and one row per meter. On a terminal it is
// fitted to the window and keeps the latest log lines in a region of their own.
class TableOutput : public HostOutput
{
    Q_OBJECT
public:
    TableOutput(ThingManager *manager, const QString &title, QObject *parent = nullptr);
    // Writes the last state to a pipe or file; a terminal already shows it.
    ~TableOutput() override;

protected:
    void onThingAdded(Thing *thing) override;
    void onThingSetup(Thing *thing, Thing::ThingError error, const QString &message) override;
    void onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value) override;
    void onStateSet(Thing *thing, const StateTypeId &stateTypeId) override;
    void onThingRemoved(Thing *thing) override;

private:
    struct Readings {
        qint64 consumedAt = -1;
        qint64 producedAt = -1;
    };
    static void logHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    void render();
    TableView view() const;
    QString gatewayLine(Thing *thing) const;
    qint64 updatePeriodMs() const;

    QString m_title;
    QTimer *m_refresh;
    bool m_interactive;
    bool m_dirty = true;
    QElapsedTimer m_clock;
    QHash<Thing *, Readings> m_readings;
    QSet<Thing *> m_restored;                // from the store, with the totals kept from before the start
    QHash<Thing *, qint64> m_disconnectedAt; // when a gateway that was connected lost it
    QHash<Thing *, QString> m_setupErrors;
    QStringList m_log;
    QtMessageHandler m_previousHandler = nullptr;
    static TableOutput *s_logTarget;
};
