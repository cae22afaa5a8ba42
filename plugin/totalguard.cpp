#include "totalguard.h"

#include <algorithm>
#include <cmath>

void TotalGuard::startFrom(double totalWh)
{
    m_lastWh = std::isfinite(totalWh) && totalWh > 0 && totalWh < totalCeilingWh ? totalWh : 0;
    m_timeKnown = false;
    m_seriesLength = 0;
}

bool TotalGuard::plausibleRise(double fromWh, double toWh, double elapsedSeconds)
{
    const double seconds = std::max(elapsedSeconds, 0.0) + riseGraceSeconds;
    return toWh - fromWh <= maxMeterPowerW * seconds / 3600;
}

TotalGuard::Verdict TotalGuard::check(double wh, double seconds)
{
    if (!std::isfinite(wh) || wh < 0 || wh >= totalCeilingWh) {
        // Garbage between two refused totals breaks their row.
        m_seriesLength = 0;
        return Verdict::Invalid;
    }
    Verdict verdict = Verdict::Write;
    // 0 is the state's default, not a reading: with no total yet anything valid is taken.
    if (m_lastWh > 0) {
        if (wh < m_lastWh)
            verdict = Verdict::Lower;
        else if (m_timeKnown && !plausibleRise(m_lastWh, wh, seconds - m_lastSeconds))
            verdict = Verdict::TooSteep;
    }
    if (verdict != Verdict::Write) {
        // A bridge that serves 0 again and again is the common fault, not a reset register: a
        // reset one is taken once it counts.
        if (wh <= 0) {
            m_seriesLength = 0;
            return verdict;
        }
        const bool agrees = m_seriesLength > 0 && wh >= m_seriesWh
            && plausibleRise(m_seriesWh, wh, seconds - m_seriesSeconds);
        m_seriesLength = agrees ? m_seriesLength + 1 : 1;
        if (m_seriesLength == 1)
            m_seriesFirstWh = wh;
        m_seriesWh = wh;
        m_seriesSeconds = seconds;
        if (m_seriesLength < restartReadings || wh <= m_seriesFirstWh)
            return verdict;
        verdict = Verdict::Restarted;
    }
    m_lastWh = wh;
    m_lastSeconds = seconds;
    m_timeKnown = true;
    m_seriesLength = 0;
    return verdict;
}
