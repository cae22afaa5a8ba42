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
    PluginTimer(int period, double unitMs, QObject *parent);
    void setUnitMs(double unitMs);

    int m_period;
    QTimer *m_timer;
};

class LIBVEYRA_EXPORT PluginTimerManager : public QObject
{
    Q_OBJECT
public:
    explicit PluginTimerManager(QObject *parent = nullptr);

    // Length of one period unit in milliseconds (fractions allowed, so that hosts under test can
    // run cycles back to back); also applied to timers already registered. Intervals are at
    // least 1 ms.
    double unitMs() const { return m_unitMs; }
    void setUnitMs(double unitMs);

    // The timer does not run until started. The manager owns it.
    PluginTimer *registerTimer(int period);
    // Stops and releases the timer; no timeout() follows.
    void unregisterTimer(PluginTimer *timer);

    QList<PluginTimer *> timers() const { return m_timers; }

private:
    double m_unitMs = 1000;
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
