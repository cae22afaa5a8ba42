// The soak's schedule: a seed must always give the same run, and a CI-length run must ask for
// every kind of fault, including the edges the plugin's timers care about.
#include "soakschedule.h"

#include <QtTest>

#include <set>

using soak::Event;
using soak::Kind;

namespace {

constexpr int kCiLengthMs = 100000; // what the 110 s CTest run leaves to the schedule, about

QStringList lines(const std::vector<Event> &events)
{
    QStringList out;
    for (const Event &event : events)
        out << QString::fromStdString(soak::describe(event));
    return out;
}

} // namespace

class TestSoakSchedule : public QObject
{
    Q_OBJECT

private slots:
    void aSeedIsAlwaysTheSameRun()
    {
        const QStringList first = lines(soak::makeSchedule(7, kCiLengthMs));
        QCOMPARE(lines(soak::makeSchedule(7, kCiLengthMs)), first);
        QVERIFY(lines(soak::makeSchedule(8, kCiLengthMs)) != first);
        // A longer run starts with the shorter one, so that a failure found by hand in an hour
        // long run with the CI's seed shows in the same order at the same moments.
        const QStringList longer = lines(soak::makeSchedule(7, 3 * kCiLengthMs));
        QCOMPARE(longer.mid(0, first.size()), first);
    }

    void everyKindInEveryCiRun_data()
    {
        QTest::addColumn<uint>("seed");
        for (uint seed : {1u, 2u, 3u, 42u, 4096u})
            QTest::newRow(qPrintable(QString::number(seed))) << seed;
    }

    void everyKindInEveryCiRun()
    {
        QFETCH(uint, seed);
        const soak::Limits limits;
        const std::vector<Event> events = soak::makeSchedule(seed, kCiLengthMs, limits);
        std::map<Kind, int> perKind;
        std::set<soak::Body> bodies;
        bool overSlots = false, withinSlots = false, hangBeyondTimeout = false, hangWithin = false;
        bool awayZero = false;
        int last = 0;
        for (const Event &event : events) {
            QVERIFY(event.atMs >= 1000 && event.atMs < kCiLengthMs);
            QVERIFY2(event.atMs > last, "events out of order or at the same moment");
            last = event.atMs;
            ++perKind[event.kind];
            QVERIFY(event.count == -1 || event.count >= 1);
            switch (event.kind) {
            case Kind::MeterSet: {
                const std::set<int> unique(event.meters.begin(), event.meters.end());
                QCOMPARE(unique.size(), event.meters.size());
                QVERIFY(*unique.begin() >= 1 && *unique.rbegin() <= limits.universe);
                (event.meters.size() > 32 ? overSlots : withinSlots) = true;
                break;
            }
            case Kind::MeterHang:
            case Kind::DetailsHang:
                QVERIFY(event.durationMs > 0 && event.durationMs <= limits.maxHangMs);
                (event.durationMs > 1000 ? hangBeyondTimeout : hangWithin) = true;
                break;
            case Kind::MeterSlow:
            case Kind::DetailsSlow:
                QVERIFY(event.variant > 0 && event.variant <= limits.maxSlowMs);
                break;
            case Kind::MeterBadBody:
            case Kind::DetailsBadBody:
                bodies.insert(soak::Body(event.variant));
                break;
            case Kind::ListenerStopped:
                QVERIFY(event.durationMs > 0 && event.durationMs <= limits.maxOutageMs);
                break;
            case Kind::GatewayRemoved:
            case Kind::GatewayRemovedInRetryWait:
            case Kind::GatewayRemovedInDetailsWait:
                QVERIFY(event.durationMs >= 0 && event.durationMs <= limits.maxGatewayAwayMs);
                awayZero = awayZero || event.durationMs == 0;
                break;
            default:
                break;
            }
        }
        for (int i = 0; i < int(Kind::Count); ++i)
            QVERIFY2(perKind[Kind(i)] >= 2, soak::kindName(Kind(i)));
        QCOMPARE(int(bodies.size()), int(soak::Body::Count));
        QVERIFY2(overSlots && withinSlots, "the bus must go over 32 meters and back");
        QVERIFY2(hangBeyondTimeout && hangWithin, "hangs must reach the request timeout, and not always");
        QVERIFY2(awayZero, "the gateway must sometimes come back in the same turn");
    }
};

QTEST_APPLESS_MAIN(TestSoakSchedule)

#include "tst_soakschedule.moc"
