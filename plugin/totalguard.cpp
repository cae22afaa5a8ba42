#include "totalguard.h"

#include <algorithm>
#include <cmath>

void TotalGuard::startFrom(double totalWh)
{
    const bool usable = std::isfinite(totalWh) && totalWh > 0 && totalWh < totalCeilingWh;
    m_lastWh = usable ? totalWh : 0;
    m_hasTotal = usable;
    // Written under the same guard: a meter replaced under the same ID is not taken for it.
    m_lastTrusted = usable;
    m_hasTrusted = usable;
    m_trustedWh = m_lastWh;
    m_timeKnown = false;
    m_seriesLength = 0;
    m_refusedInARow = 0;
    m_steepSince = -1;
}

bool TotalGuard::plausibleRise(double fromWh, double toWh, double elapsedSeconds)
{
    const double seconds = std::max(elapsedSeconds, 0.0) + riseGraceSeconds;
    return toWh - fromWh <= maxMeterPowerW * seconds / 3600;
}

TotalGuard::Verdict TotalGuard::check(double wh, double seconds)
{
    Verdict verdict = Verdict::Write;
    if (!std::isfinite(wh) || wh < 0 || wh >= totalCeilingWh)
        verdict = Verdict::Invalid;
    else if (m_hasTotal && wh < m_lastWh)
        verdict = Verdict::Lower;
    else if (m_hasTotal && m_timeKnown && !plausibleRise(m_lastWh, wh, judgedAt(wh, seconds) - m_lastSeconds))
        verdict = Verdict::TooSteep;

    if (verdict == Verdict::Write)
        return accept(verdict, wh, seconds);
    ++m_refusedInARow;
    if (verdict == Verdict::TooSteep && (m_steepSince < 0 || wh < m_steepLowestWh)) {
        m_steepSince = m_steepSince < 0 ? seconds : m_steepSince;
        m_steepLowestWh = wh;
    }
    // Only a register that starts again below the total can be a new series: a steep one is a
    // unit or decoding fault however long it lasts, and garbage breaks any series.
    if (verdict != Verdict::Lower) {
        m_seriesLength = 0;
        return verdict;
    }
    return joinsSeries(wh, seconds) ? accept(Verdict::Restarted, wh, seconds) : verdict;
}

// When a reading is taken to have been read for the rise it may have: once readings were refused
// as too steep, those as high are judged as of the first of them, so that time never lets a
// steep series in. Lower ones, the true total among them, are judged as usual.
double TotalGuard::judgedAt(double wh, double seconds) const
{
    return m_steepSince >= 0 && wh >= m_steepLowestWh ? m_steepSince : seconds;
}

// Whether the refused lower reading completes a new series.
bool TotalGuard::joinsSeries(double wh, double seconds)
{
    // A bridge that serves 0 again and again is the common fault, not a reset register: a reset
    // one is taken once it counts. Only where no total was ever borne out may zeros stand.
    if (wh <= 0 && m_hasTrusted) {
        m_seriesLength = 0;
        return false;
    }
    const bool agrees = m_seriesLength > 0 && wh >= m_seriesWh
                        && plausibleRise(m_seriesWh, wh, seconds - m_seriesSeconds);
    m_seriesLength = agrees ? m_seriesLength + 1 : 1;
    if (m_seriesLength == 1)
        m_seriesFirstWh = wh;
    m_seriesWh = wh;
    m_seriesSeconds = seconds;
    if (m_seriesLength < restartReadings)
        return false;
    const bool counted = wh > m_seriesFirstWh;
    // A written total nothing bore out, which this series would have refused as too steep had
    // it come first, was the glitch.
    const bool outvotes = !m_lastTrusted && (!m_hasTrusted || wh >= m_trustedWh)
                          && !plausibleRise(wh, m_lastWh, seconds - m_lastSeconds);
    return counted || outvotes;
}

TotalGuard::Verdict TotalGuard::accept(Verdict verdict, double wh, double seconds)
{
    // A reading within reach of the last written total bears both out; so does a series.
    m_lastTrusted = verdict == Verdict::Restarted || (m_hasTotal && m_timeKnown);
    if (m_lastTrusted) {
        m_hasTrusted = true;
        m_trustedWh = wh;
    }
    m_lastWh = wh;
    m_lastSeconds = seconds;
    m_hasTotal = true;
    m_timeKnown = true;
    m_seriesLength = 0;
    m_refusedInARow = 0;
    m_steepSince = -1;
    return verdict;
}
