// The soak's schedule: a seed must always give the same run, and a CI-length run must ask for
// every kind of fault, including the edges the plugin's timers care about. And its invariants:
// each catches what it names, and lets pass what the plugin may do.
#include "soakinvariants.h"
#include "soakschedule.h"

#include <QtTest>

#include <functional>
#include <map>
#include <set>

using soak::Event;
using soak::Invariant;
using soak::Invariants;
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
        std::set<soak::Transfer> transfers;
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
            case Kind::DetailsSlow: QVERIFY(event.variant > 0 && event.variant <= limits.maxSlowMs); break;
            case Kind::MeterBadBody:
            case Kind::DetailsBadBody: bodies.insert(soak::Body(event.variant)); break;
            case Kind::MeterTransfer:
            case Kind::DetailsTransfer: transfers.insert(soak::Transfer(event.variant)); break;
            case Kind::ListenerStopped: QVERIFY(event.durationMs > 0 && event.durationMs <= limits.maxOutageMs); break;
            case Kind::GatewayRemoved:
            case Kind::GatewayRemovedInRetryWait:
            case Kind::GatewayRemovedInDetailsWait:
                QVERIFY(event.durationMs >= 0 && event.durationMs <= limits.maxGatewayAwayMs);
                awayZero = awayZero || event.durationMs == 0;
                break;
            default: break;
            }
        }
        for (int i = 0; i < int(Kind::Count); ++i)
            QVERIFY2(perKind[Kind(i)] >= 2, soak::kindName(Kind(i)));
        QCOMPARE(int(bodies.size()), int(soak::Body::Count));
        QCOMPARE(int(transfers.size()), int(soak::Transfer::Count));
        QVERIFY2(overSlots && withinSlots, "the bus must go over 32 meters and back");
        QVERIFY2(hangBeyondTimeout && hangWithin, "hangs must reach the request timeout, and not always");
        QVERIFY2(awayZero, "the gateway must sometimes come back in the same turn");
    }

    void invariantsCatchWhatTheyName()
    {
        soak::Intervals iv;
        iv.periodMs = 500;
        iv.connectionMs = 1000;
        iv.retryMs = 250;
        iv.waitMs = 100;
        iv.timeoutMs = 1000;
        // Slow reply 300, retry, 2 waits, connection interval, 2 periods, 3 cycles of 820 ms.
        QCOMPARE(soak::recoveryPromiseMs(iv), 300 + 250 + 200 + 1000 + 1000 + 3 * 820.0);
        const QString m3 = soak::deviceIdOf(3);
        const QString plus = QStringLiteral("totalEnergyConsumed"), minus = QStringLiteral("totalEnergyProduced");
        const auto fresh = [](const QString &, std::array<double, 2> *wh) {
            *wh = {3e6 + 300, 3e6 + 500};
            return true;
        };
        const auto noThing = [](const QString &, std::array<double, 2> *) { return false; };
        struct Row {
            const char *name;
            std::function<void(Invariants &)> run;
            std::map<Invariant, int> expected;
        };
        const Row rows[] = {
            {"served totals, rising or level",
             [&](Invariants &inv) {
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.150);
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.200);
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.200);
                 inv.reading(QStringLiteral("t"), m3, minus, 3000.400);
                 inv.reading(QStringLiteral("t"), m3, QStringLiteral("currentPower"), 0);
             },
             {}},
            {"another meter's; beyond served, below the start, the other quantity's",
             [&](Invariants &inv) {
                 inv.reading(QStringLiteral("t"), m3, plus, 4000.150);
                 inv.reading(QStringLiteral("a"), m3, plus, 3000.250);
                 inv.reading(QStringLiteral("b"), m3, plus, 3000.099);
                 inv.reading(QStringLiteral("f"), m3, plus, 3000.100); // a frozen meter serves its start
                 inv.reading(QStringLiteral("c"), m3, plus, 3000.350);
             },
             {{soak::WrongMeter, 1}, {soak::NotServed, 3}}},
            {"a falling total, a zero; a removed thing starts over",
             [&](Invariants &inv) {
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.180);
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.150);
                 inv.reading(QStringLiteral("u"), m3, minus, 0);
                 inv.thingRemoved(QStringLiteral("t"));
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.120);
             },
             {{soak::ZeroOrDecrease, 2}, {soak::WrongMeter, 1}}},
            {"a recorded restart may drop once; a rise no meter counts",
             [&](Invariants &inv) {
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.180, 0);
                 inv.restartLogged(m3, plus);
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.150, 500);
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.120, 1000);
                 inv.reading(QStringLiteral("t"), m3, minus, 3000.350, 0);
                 inv.reading(QStringLiteral("t"), m3, minus, 3000.350 + 1e9, 500);
             },
             {{soak::ZeroOrDecrease, 2}, {soak::WrongMeter, 1}}},
            {"a thing's first total while wrong values are served is taken, what follows is judged",
             [&](Invariants &inv) {
                 inv.valueFault(3, true, lmnsim::ValueFault::Zero);
                 inv.reading(QStringLiteral("t"), m3, plus, 0);
                 inv.reading(QStringLiteral("u"), m3, plus, 3000.050);
                 inv.reading(QStringLiteral("u"), m3, plus, 3000.040);
                 inv.valueFault(3, true, lmnsim::ValueFault::None);
                 inv.reading(QStringLiteral("v"), m3, plus, 3000.040);
             },
             {{soak::ZeroOrDecrease, 1}, {soak::NotServed, 2}}},
            {"a swap partner's value: taken after a lost member list, judged by the requests out",
             [&](Invariants &inv) {
                 inv.addressSwap(4, 3);
                 inv.reading(QStringLiteral("t"), m3, plus, 4000.150); // nothing was lost
                 inv.detailsSent();
                 inv.detailsAbandoned();
                 inv.reading(QStringLiteral("t"), m3, plus, 4000.180);
                 inv.reading(QStringLiteral("u"), m3, plus, 5000.150); // not the partner
                 inv.detailsSent();
                 inv.detailsHeard();
                 inv.detailsSent();
                 inv.reading(QStringLiteral("v"), m3, minus, 4000.350);
                 inv.detailsHeard(); // the list out when it came was heard
                 inv.detailsSent();
                 inv.detailsSent();
                 inv.reading(QStringLiteral("w"), m3, minus, 4000.350);
                 inv.detailsHeard();
                 inv.detailsAbandoned(); // one of the two out was lost
                 inv.detailsSent();
                 inv.detailsHeard();
                 inv.detailsSent();
                 inv.reading(QStringLiteral("x"), m3, minus, 4000.350);
                 inv.detailsClientDeleted();
                 inv.detailsSent();
                 inv.detailsHeard();
                 inv.detailsSent();
                 inv.reading(QStringLiteral("y"), m3, plus, 4000.150);
                 inv.runOver();
             },
             {{soak::WrongMeter, 4}}},
            {"one warning per episode",
             [&](Invariants &inv) {
                 inv.refusalLogged(m3, plus);
                 inv.reading(QStringLiteral("t"), m3, plus, 3000.150);
                 inv.refusalLogged(m3, plus);
                 inv.writtenAgainLogged(m3, plus);
                 inv.refusalLogged(m3, plus);
                 inv.refusalLogged(m3, minus);
                 inv.refusalLogged(m3, minus);
                 inv.silentLogged(m3);
                 inv.answersAgainLogged(m3);
                 inv.silentLogged(m3);
                 inv.silentLogged(m3);
             },
             {{soak::RepeatedWarning, 2}}},
            {"each duplicate thing once",
             [&](Invariants &inv) {
                 inv.meterAdded(QStringLiteral("a"), m3, 1);
                 inv.meterAdded(QStringLiteral("b"), m3, 2);
                 inv.checkDuplicates({{QStringLiteral("a"), m3}, {QStringLiteral("b"), m3}});
                 inv.checkDuplicates({{QStringLiteral("a"), m3}, {QStringLiteral("b"), m3}});
                 inv.checkDuplicates({{QStringLiteral("c"), m3}, {QStringLiteral("d"), soak::deviceIdOf(4)}});
             },
             {{soak::DuplicateThing, 2}}},
            {"fetches a wait apart pass, the check's request is none, closer ones fail",
             [&](Invariants &inv) {
                 inv.detailsRequest(0, QString());
                 inv.detailsRequest(100, QString());
                 inv.detailsRequest(110, QStringLiteral("Check if the port is initialized."));
                 inv.detailsRequest(150, QString());
             },
             {{soak::FetchOverlap, 1}}},
            {"requests up to the bound",
             [&](Invariants &inv) {
                 inv.sampleRate(0, 0);
                 inv.sampleRate(5000, std::uint64_t(inv.rateBound(5000, 0, 5000)));
             },
             {}},
            {"requests beyond the bound; setups and repeats raise it",
             [&](Invariants &inv) {
                 const double bound = inv.rateBound(5000, 0, 5000);
                 inv.setupStarted(1000);
                 inv.mayRepeat(1000, 3);
                 const double raised = inv.rateBound(5000, 0, 5000);
                 QCOMPARE(raised, bound + 3 + (3 + 6 * soak::kNewcomer) + 3);
                 inv.sampleRate(0, 0);
                 inv.sampleRate(5000, std::uint64_t(raised) + 1);
             },
             {{soak::RequestRate, 1}}},
            {"fresh and connected within the promise",
             [&](Invariants &inv) {
                 inv.healed(1000, {3});
                 QVERIFY(!inv.recoveryOver(1010, false, fresh));
                 QVERIFY(inv.recoveryOver(1020, true, fresh));
                 QCOMPARE(inv.tally().recoveryMs, 20.0);
             },
             {}},
            {"stale, thingless, not connected after the promise",
             [&](Invariants &inv) {
                 inv.healed(0, {3, 4});
                 QVERIFY(!inv.recoveryOver(5000, true, noThing));
                 QVERIFY(inv.recoveryOver(5300, false, noThing));
                 QCOMPARE(inv.tally().recoveryMs, -1.0);
             },
             {{soak::Recovery, 3}}},
        };
        for (const Row &row : rows) {
            // Meter a's totals start at a * 1e6 + 100 Wh (consumed) and + 300 Wh (produced), then grow by 100.
            double grownWh = 0;
            std::map<Invariant, int> found;
            Invariants inv(
                iv, [&](int address, bool consumed) { return address * 1e6 + (consumed ? 100 : 300) + grownWh; },
                [&](Invariant invariant, const QString &, int count) { found[invariant] = count; });
            grownWh = 100;
            row.run(inv);
            QVERIFY2(found == row.expected, row.name);
            QCOMPARE(inv.anyViolation(), !row.expected.empty());
        }
    }
};

QTEST_APPLESS_MAIN(TestSoakSchedule)

#include "tst_soakschedule.moc"
