#pragma once

#include "global.h"

#include <QObject>

class QTimer;

// A periodic timer whose period counts in the manager's unit (one second unless the host sets it).
class LIBVEYRA_EXPORT PluginTimer : public QObject
{
    Q_OBJECT
public:
    int period() const { return m_period; }
    int intervalMs() const;
    bool isRunning() const;

public slots:
    void start();
    void stop();

signals:
    void timeout();

private:
    friend class PluginTimerManager;
    PluginTimer(int period, int unitMs, QObject *parent);
    void setUnitMs(int unitMs);

    int m_period;
    QTimer *m_timer;
};

class LIBVEYRA_EXPORT PluginTimerManager : public QObject
{
    Q_OBJECT
public:
    explicit PluginTimerManager(QObject *parent = nullptr);

    // Length of one period unit in milliseconds; also applied to timers already registered.
    int unitMs() const { return m_unitMs; }
    void setUnitMs(int unitMs);

    // The timer does not run until started. The manager owns it.
    PluginTimer *registerTimer(int period);
    // Stops and releases the timer; no timeout() follows.
    void unregisterTimer(PluginTimer *timer);

    QList<PluginTimer *> timers() const { return m_timers; }

private:
    int m_unitMs = 1000;
    QList<PluginTimer *> m_timers;
};

class LIBVEYRA_EXPORT HardwareManager : public QObject
{
    Q_OBJECT
public:
    explicit HardwareManager(QObject *parent = nullptr);
    PluginTimerManager *pluginTimerManager() const { return m_pluginTimerManager; }

private:
    PluginTimerManager *m_pluginTimerManager;
};
