// Decides whether an energy total read from a meter may be written to its thing. A total feeds
// the host's history and bills, where a drop reads as a meter reset and a spike spoils a year of
// statistics, so a value that cannot be real is held back instead.
#pragma once

#include <QtGlobal>

// The most power any meter on an LMN bus can measure: transformer-rated metering of a 110 kV
// feed with 5 kA transformers comes to about 950 MW. A total may rise by at most this power over
// the time since the last written total (plus the grace below), so decoding garbage is caught
// and real consumption never is.
constexpr double maxMeterPowerW = 1e9;
// Added to every elapsed time: the bridge may hand out a reading it took a while ago, and clocks
// are coarse.
constexpr double riseGraceSeconds = 60;
// No meter register reaches this: 1000 TWh is more than a meter at the power above counts in a
// century. It is the only bound on the first reading after a total taken from the thing's stored
// state, whose time is unknown (the host may have been off for months).
constexpr double totalCeilingWh = 1e15;
// Refused totals below the last written one that agree with each other for this many readings in
// a row, and have counted meanwhile, are a new series (a meter whose register was reset), which
// is then taken. One that stands still is more likely a stale value the bridge keeps serving.
constexpr int restartReadings = 3;

class TotalGuard
{
public:
    enum class Verdict {
        Write,     // a plausible total
        Restarted, // the refused totals agreed long enough: a new series, written
        Invalid,   // negative, not finite, or beyond any register
        Lower,     // lower than the last written total
        TooSteep,  // rose more than any meter can count in the time since the last written total
    };

    // The last written total, from the thing's stored state: time unknown. 0 or less is no total,
    // as it is also the state's default.
    void startFrom(double totalWh);
    // `wh` read at `seconds` (any monotonic clock); the reference moves on when it is written.
    Verdict check(double wh, double seconds);
    // The last written total in Wh, 0 when none.
    double last() const { return m_lastWh; }
    // How many readings in a row have been refused; 0 after a written one.
    int refusedInARow() const { return m_refusedInARow; }

private:
    static bool plausibleRise(double fromWh, double toWh, double elapsedSeconds);
    double judgedAt(double wh, double seconds) const;
    bool joinsSeries(double wh, double seconds);
    Verdict accept(Verdict verdict, double wh, double seconds);

    double m_lastWh = 0;
    double m_lastSeconds = 0;
    // Whether a total has been written or stored: a 0 read from the meter is one too.
    bool m_hasTotal = false;
    bool m_timeKnown = false;
    // The last total that was borne out: stored by the host, followed by a reading within reach
    // of it, or a series that agreed. A written total that had nothing to be judged by (the first
    // reading, or the first after a stored one) gives way to a series below it that agrees, even
    // one that stands still, when it lies further above that series than any meter counts in the
    // time between, and the series is not below this total.
    bool m_lastTrusted = false;
    bool m_hasTrusted = false;
    double m_trustedWh = 0;
    // The refused totals below the last written one that agree with each other, the latest one
    // and how many.
    double m_seriesFirstWh = 0;
    double m_seriesWh = 0;
    double m_seriesSeconds = 0;
    int m_seriesLength = 0;
    int m_refusedInARow = 0;
    // Since the last written total: when the first reading was refused as too steep (-1: none),
    // and the lowest reading so refused.
    double m_steepSince = -1;
    double m_steepLowestWh = 0;
};
