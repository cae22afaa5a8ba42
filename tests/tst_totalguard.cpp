// The guard on the plugin's energy totals, on the class itself. The meter slot tables are the
// plugin's own and are tested through its things, in tst_plugin.
#include "totalguard.h"

#include <QtTest>

class TestTotalGuard : public QObject
{
    Q_OBJECT

private slots:
    // One reading per update period (600 s) unless a time is given. Verdicts: W written,
    // R restarted, I invalid, L lower, S too steep.
    void totalGuard_data()
    {
        QTest::addColumn<double>("stored");
        QTest::addColumn<QList<double>>("readings");
        QTest::addColumn<QList<double>>("seconds");
        QTest::addColumn<QString>("verdicts");
        const double nan = qQNaN();
        const double inf = qInf();
        const QList<double> periods;
        // The largest meter, running flat out for a period, counts 1.67e8 Wh.
        const double fullPeriodWh = maxMeterPowerW * 600 / 3600;
        QTest::newRow("never negative, not finite or beyond a register")
            << 0.0 << QList<double>{1000, -1, nan, inf, -inf, totalCeilingWh, 1e308, 1001} << periods << "WIIIIIIW";
        QTest::newRow("0 and dips are refused, then the total goes on")
            << 0.0 << QList<double>{2000, 0, 1999, 0, 2001} << periods << "WLLLW";
        QTest::newRow("zeros never restart a total that was borne out")
            << 0.0 << QList<double>{2000, 2010, 0, 0, 0, 0, 0} << periods << "WWLLLLL";
        QTest::newRow("a total of 0 is guarded: a glitch from it is refused, the zeros go on")
            << 0.0 << QList<double>{0, 0, 5e14, 0, 0, 0} << periods << "WWSWWW";
        QTest::newRow("a spike is refused, the largest meter's period is not")
            << 0.0 << QList<double>{1e6, 1e6 + 1e13, 1e6 + fullPeriodWh, 1e6 + 3 * fullPeriodWh} << periods << "WSWS";
        QTest::newRow("the allowed rise grows with the time since the last written total")
            << 0.0 << QList<double>{1e6, 1e6 + 2 * fullPeriodWh} << QList<double>{0, 1200} << "WW";
        QTest::newRow("a unit fault of four readings is no restart, the true total goes on")
            << 0.0 << QList<double>{5e6, 5e6 + 10, 5e9 + 20, 5e9 + 40, 5e9 + 60, 5e9 + 80, 5e6 + 80} << periods
            << "WWSSSSW";
        QTest::newRow("a jump that goes on counting stays refused")
            << 0.0 << QList<double>{8e6, 8e6 + 10, 8e12, 8e12 + 10, 8e12 + 20, 8e12 + 30, 8e12 + 40} << periods
            << "WWSSSSS";
        QTest::newRow("... however long it lasts, while the true total is judged by its time")
            << 0.0 << QList<double>{5e6, 5e6 + 2 * fullPeriodWh, 5e6 + 2 * fullPeriodWh, 5e9, 5e6 + 1e8}
            << QList<double>{0, 600, 1200, 1e5, 1.1e5} << "WSSSW";
        QTest::newRow("a reset register is taken on the third agreeing reading")
            << 0.0 << QList<double>{5e6, 100, 200, 300, 400, 350} << periods << "WLLRWL";
        QTest::newRow("a lower total that stands still is never taken, once it counts it is")
            << 0.0 << QList<double>{5e6, 5e6 + 10, 100, 100, 100, 100, 101} << periods << "WWLLLLR";
        QTest::newRow("a first reading with nothing to judge it by gives way to three that agree")
            << 0.0 << QList<double>{5e14, 0, 0, 0, 0} << periods << "WLLRW";
        QTest::newRow("... so does the first after a stored total, down to the stored total")
            << 1e6 << QList<double>{1e14, 1e6, 1e6, 1e6} << QList<double>{0, 0, 1, 2} << "WLLR";
        QTest::newRow("... but not one within a meter's reach of it")
            << 0.0 << QList<double>{5e6, 5e6 - 1000, 5e6 - 1000, 5e6 - 1000, 0, 0, 0} << periods << "WLLLLLL";
        QTest::newRow("... nor below the stored total")
            << 5e6 << QList<double>{5e6 + 100, 4e6, 4e6, 4e6, 4e6} << periods << "WLLLL";
        QTest::newRow("a frozen total is written") << 0.0 << QList<double>{5e6, 5e6, 5e6} << periods << "WWW";
        QTest::newRow("readings that disagree start the row again, steep ones never count")
            << 0.0 << QList<double>{5e6, 300, 200, 250, 1e14, 1e14 + 10, 1e14 + 20} << periods << "WLLLSSS";
        QTest::newRow("garbage breaks the row")
            << 0.0 << QList<double>{5e6, 100, -1, 200, 300, 400} << periods << "WLILLR";
        QTest::newRow("a good reading ends the row")
            << 0.0 << QList<double>{5e6, 100, 200, 5e6 + 1, 300, 400, 500} << periods << "WLLWLLR";
        QTest::newRow("after a stored total: lower refused, any rise below the ceiling once")
            << 1e6 << QList<double>{5e5, 1e14, 1e14 + 1e12} << QList<double>{0, 0, 1} << "LWS";
        QTest::newRow("a stored 0 is no total") << 0.0 << QList<double>{1e14, 1e14} << periods << "WW";
        QTest::newRow("a stored garbage total is none") << 1e300 << QList<double>{5} << periods << "W";
    }
    void totalGuard()
    {
        QFETCH(double, stored);
        QFETCH(QList<double>, readings);
        QFETCH(QList<double>, seconds);
        QFETCH(QString, verdicts);
        TotalGuard guard;
        guard.startFrom(stored);
        QString got;
        for (int i = 0; i < readings.size(); ++i) {
            const double before = guard.last();
            const int refusedBefore = guard.refusedInARow();
            const TotalGuard::Verdict verdict = guard.check(readings.at(i),
                                                            seconds.isEmpty() ? 600.0 * i : seconds.at(i));
            const bool written = verdict == TotalGuard::Verdict::Write || verdict == TotalGuard::Verdict::Restarted;
            QCOMPARE(guard.last(), written ? readings.at(i) : before);
            QCOMPARE(guard.refusedInARow(), written ? 0 : refusedBefore + 1);
            got += QLatin1Char("WRILS"[int(verdict)]);
        }
        QCOMPARE(got, verdicts);
    }
};

QTEST_GUILESS_MAIN(TestTotalGuard)
#include "tst_totalguard.moc"
