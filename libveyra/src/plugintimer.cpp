#include "veyra/plugintimer.h"

#include <QDebug>
#include <QTimer>

#include <cmath>
#include <limits>

PluginTimer::PluginTimer(int period, double unitMs, QObject *parent)
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

void PluginTimer::setUnitMs(double unitMs)
{
    const double interval = std::round(m_period * unitMs);
    m_timer->setInterval(int(qBound<double>(1, interval, std::numeric_limits<int>::max())));
}

PluginTimerManager::PluginTimerManager(QObject *parent) : QObject(parent) {}

void PluginTimerManager::setUnitMs(double unitMs)
{
    m_unitMs = unitMs > 0 ? unitMs : 1000;
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

HardwareManager::HardwareManager(QObject *parent) : QObject(parent), m_pluginTimerManager(new PluginTimerManager(this))
{
}
