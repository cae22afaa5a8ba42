#include "veyra/plugintimer.h"

#include <QDebug>
#include <QTimer>

PluginTimer::PluginTimer(int period, int unitMs, QObject *parent)
    : QObject(parent), m_period(period), m_timer(new QTimer(this))
{
    m_timer->setTimerType(Qt::CoarseTimer);
    setUnitMs(unitMs);
    connect(m_timer, &QTimer::timeout, this, &PluginTimer::timeout);
}

int PluginTimer::intervalMs() const
{
    return m_timer->interval();
}

bool PluginTimer::isRunning() const
{
    return m_timer->isActive();
}

void PluginTimer::start()
{
    m_timer->start();
}

void PluginTimer::stop()
{
    m_timer->stop();
}

void PluginTimer::setUnitMs(int unitMs)
{
    const qint64 interval = qint64(m_period) * unitMs;
    m_timer->setInterval(int(qBound<qint64>(1, interval, std::numeric_limits<int>::max())));
}

PluginTimerManager::PluginTimerManager(QObject *parent) : QObject(parent) {}

void PluginTimerManager::setUnitMs(int unitMs)
{
    m_unitMs = qMax(1, unitMs);
    for (PluginTimer *timer : qAsConst(m_timers))
        timer->setUnitMs(m_unitMs);
}

PluginTimer *PluginTimerManager::registerTimer(int period)
{
    auto *timer = new PluginTimer(qMax(1, period), m_unitMs, this);
    m_timers.append(timer);
    return timer;
}

void PluginTimerManager::unregisterTimer(PluginTimer *timer)
{
    if (!m_timers.removeOne(timer)) {
        qWarning() << "Unregistering a plugin timer that is not registered";
        return;
    }
    timer->stop();
    timer->disconnect();
    timer->deleteLater();
}

HardwareManager::HardwareManager(QObject *parent)
    : QObject(parent), m_pluginTimerManager(new PluginTimerManager(this))
{
}
