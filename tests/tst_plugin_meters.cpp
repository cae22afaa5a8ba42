// The real plugin file, hosted by the host stand-in, against the bridge simulator over loopback:
// the meter things, their slots and their readings, as meters come, go and answer wrongly.
#include "plugintest.h"

#include <QSignalSpy>

#include <numeric>

class TestPluginMeters : public PluginSuite
{
    Q_OBJECT

private slots:
    void metersLeaveAndJoin()
    {
        // Unit 5 ms: a period of 3 s, longer than the shortened connection timer, so the
        // meter list is fetched again between cycles.
        Rig rig(3, 5);
        QVERIFY(rig.addGatewayWithMeters(3));
        Thing *leaving = rig.meter(QStringLiteral("1-QEL-000-00000002"));
        QVERIFY(leaving);
        const ThingClassId freedSlot = leaving->thingClassId();

        rig.sim->removeMeter("1-QEL-000-00000002");
        rig.sim->addMeter({"1-QEL-000-00000077", 77});
        QTRY_VERIFY_WITH_TIMEOUT(rig.meter(QStringLiteral("1-QEL-000-00000077")), 15000);
        Thing *joined = rig.meter(QStringLiteral("1-QEL-000-00000077"));
        // The thing of the meter that left keeps its slot: it is taken up again on its return.
        QVERIFY(joined->thingClassId() != freedSlot);
        QVERIFY(rig.slotsDistinct());

        // The meter that left is no longer polled; the new one is.
        rig.sim->clearRequests();
        QTRY_VERIFY_WITH_TIMEOUT(joined->stateValue(QStringLiteral("totalEnergyProduced")).toDouble() > 0, 10000);
        QVERIFY(loggedMore(cycleEnd, 1, 10000));
        for (const ValueCall &call : valueCalls(*rig.sim))
            QVERIFY2(call.address != 2, "a meter that left the bus is still polled");

        // It comes back: its old thing is taken up again, no second thing appears.
        rig.sim->addMeter({"1-QEL-000-00000002", 2});
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(meterCheck) >= 3, 15000);
        rig.sim->clearRequests();
        QVERIFY(loggedMore(cycleEnd, 2, 15000));
        QCOMPARE(rig.meters().size(), 4);
        QVERIFY(rig.slotsDistinct());
        const QList<ValueCall> calls = valueCalls(*rig.sim);
        QVERIFY(std::any_of(calls.cbegin(), calls.cend(), [](const ValueCall &call) { return call.address == 2; }));
    }

    // Found by the soak: the refresh of the meter list was restarted at every cycle's end and
    // only taken up between cycles, so a meter that joined was never found while cycles came
    // faster than the connection interval (here: 1.2 s against 2.4 s), or while a hanging meter
    // kept every cycle running past the refresh.
    void meterJoiningIsFoundWhateverTheCycles_data()
    {
        QTest::addColumn<bool>("hangingMeter");
        QTest::addColumn<bool>("slowMeters");
        QTest::newRow("update period shorter than the connection interval") << false << false;
        QTest::newRow("a hanging meter keeps cycles running") << true << false;
        // Four calls of 0.7 s: the cycle outlasts the connection timer (2.4 s), and the list
        // comes while a call is out.
        QTest::newRow("slow meters: the list comes while a call is out") << false << true;
    }

    void meterJoiningIsFoundWhateverTheCycles()
    {
        QFETCH(bool, hangingMeter);
        QFETCH(bool, slowMeters);
        int hangFrom = 0;
        Rig rig(2);
        QVERIFY(rig.addGatewayWithMeters(2));
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(cycleEnd) >= 1, 5000);
        for (int address = 1; slowMeters && address <= 2; ++address)
            rig.sim->setMeterFault(address, {lmnsim::Fault::Kind::Delay, 200, std::chrono::milliseconds(700), -1});
        // A refresh that was due before is past once a cycle has ended; every later one lands
        // inside a cycle, whose gaps are shorter than the connection timer.
        if (slowMeters)
            QVERIFY(loggedMore(cycleEnd, 1, 10000));
        if (hangingMeter) {
            // Every first call to meter 1 runs into the 1 s request timeout, and its second
            // is skipped; the next cycle starts within one update period of its end.
            rig.sim->setMeterFault(1, {lmnsim::Fault::Kind::Hang, 500, {}, -1});
            // Once a call hangs, every refresh lands inside a cycle; none may slip in before.
            rig.sim->clearRequests();
            QTRY_VERIFY_WITH_TIMEOUT(!valueCalls(*rig.sim).isEmpty() && valueCalls(*rig.sim).constLast().address == 1
                                         && rig.sim->traffic(lmnsim::Endpoint::Value).inFlight == 1,
                                     5000);
            hangFrom = g_log.lines.size();
        }
        rig.sim->addMeter(lmnsim::BridgeSimulator::meterAt(2));
        // The refresh comes one connection interval after a cycle's end; found at the end of
        // the cycle that runs then, at the latest.
        QTRY_VERIFY_WITH_TIMEOUT(rig.meter(QStringLiteral("1-QEL-000-00000003")),
                                 (hangingMeter || slowMeters ? 20000 : 8000));
        QCOMPARE(rig.meters().size(), 3);
        if (hangingMeter) {
            const QStringList hung = g_log.lines.mid(hangFrom);
            const QList<ValueCall> calls = valueCalls(*rig.sim);
            rig.sim->clearFaults();
            // A hung meter costs one request timeout per cycle: its timed-out call is not sent
            // again, and its other call is skipped with one warning.
            const int timeouts = int(hung.filter(QStringLiteral("No complete reply to")).size());
            QVERIFY(timeouts >= 1);
            const auto sent = [&calls](const char *call) {
                return int(std::count_if(calls.cbegin(), calls.cend(), [call](const ValueCall &c) {
                    return c.address == 1 && c.call == QLatin1String(call);
                }));
            };
            const auto tries = sent("GeActiceEnergyPlusTotal");
            QVERIFY(tries == timeouts || tries == timeouts + 1); // the last may still be out
            QCOMPARE(sent("GeActiceEnergyMinusTotal"), 0);
            QCOMPARE(hung.filter(QStringLiteral(
                                     "Meter \"1-QEL-000-00000001\" did not answer \"GeActiceEnergyPlusTotal\" in time; "
                                     "its other calls are skipped in this cycle."))
                         .size(),
                     timeouts);
            QCOMPARE(hung.filter(QStringLiteral("Server likely still running")).size(), 0);
        }
        Thing *joined = rig.meter(QStringLiteral("1-QEL-000-00000003"));
        QTRY_VERIFY_WITH_TIMEOUT(joined->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble() > 0, 10000);
        // A meter list that came while a call was out did not send a second call beside it.
        QCOMPARE(mostCallsInFlight(*rig.sim), 1);
    }

    void removingOneMeterKeepsTheOthers()
    {
        Rig rig(3);
        QVERIFY(rig.addGatewayWithMeters(3));
        Thing *removed = rig.meter(QStringLiteral("1-QEL-000-00000001"));
        const ThingId removedId = removed->id();
        const ThingClassId freedSlot = removed->thingClassId();
        QVERIFY(rig.manager->removeThing(removedId));

        // The next meter check announces only the device that lost its thing.
        QVERIFY(loggedMore(meterCheck, 1, 15000));
        QCOMPARE(rig.meters().size(), 3);
        QSet<QString> ids;
        for (Thing *meter : rig.meters())
            ids.insert(meter->name());
        QCOMPARE(ids.size(), 3);
        QVERIFY(rig.slotsDistinct());
        QVERIFY(rig.meter(QStringLiteral("1-QEL-000-00000001"))->id() != removedId);
        // Its slot was freed with its thing, and the lowest free slot is taken first.
        QCOMPARE(rig.meter(QStringLiteral("1-QEL-000-00000001"))->thingClassId(), freedSlot);
        // The others still have readings coming.
        Thing *other = rig.meter(QStringLiteral("1-QEL-000-00000003"));
        QTRY_VERIFY_WITH_TIMEOUT(other->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble() > 0, 8000);
    }

    void thirtyThirdMeterGetsNoThing()
    {
        Rig rig(33);
        rig.addGateway();
        QTRY_COMPARE_WITH_TIMEOUT(rig.meters().size(), 32, 8000);
        const QString slotless = QStringLiteral(
                                     "All 32 meter slots are taken, no thing for meter \"%1\" - 1 meter is left out.")
                                     .arg(id(32));
        QTRY_COMPARE(g_log.count(slotless), 1);
        // The last in the bridge's member order is the one left out; each slot carries the
        // device ID in its own param.
        QVERIFY(!rig.meter(id(32)));
        QVERIFY(rig.slotsDistinct());
        for (int i = 0; i < 32; ++i)
            QVERIFY(rig.meter(id(i)));

        // Named once, not at every fetch of the meter list ...
        QVERIFY(loggedMore(meterCheck, 1, 15000));
        QCOMPARE(g_log.count(slotless), 1);
        // ... until the bus changes. The thing of a meter that left keeps its slot, so the bus
        // going from 32 meters to 31 and back to 33 leaves 32 things in 32 slots.
        rig.sim->removeMeter(lmnsim::BridgeSimulator::meterAt(4).serverId);
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(slotless) == 2, 15000);
        // A meter list fetched before the change may still be answered: wait for the warning
        // itself, then for one more check that brings no other.
        rig.sim->setMeterCount(33);
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(slotless) >= 3, 15000);
        QCOMPARE(rig.meters().size(), 32);
        QVERIFY(rig.slotsDistinct());
        QVERIFY(!rig.meter(id(32)));
        QVERIFY(loggedMore(meterCheck, 1, 15000));
        QCOMPARE(g_log.count(slotless), 3);
        // The meter that left was said once to be gone, and not polled meanwhile. A call made
        // before the plugin heard of it may fail and say so; once it is said to be gone, nothing.
        const QString gone = QStringLiteral("Meter \"%1\" is no longer listed by the bridge").arg(id(4));
        QCOMPARE(g_log.count(gone), 1);
        QCOMPARE(g_log.count(QStringLiteral("is not in the device list")), 0);
        const auto goneAt = std::find_if(g_log.lines.cbegin(), g_log.lines.cend(),
                                         [&gone](const QString &line) { return line.contains(gone); });
        QVERIFY(std::none_of(goneAt, g_log.lines.cend(),
                             [](const QString &line) { return line.contains(QStringLiteral("is not answering")); }));
    }

    void meterRemovedWhileItsCallIsUnderWay()
    {
        Rig rig(2);
        QVERIFY(rig.addGatewayWithMeters(2));
        // Slow answers for meter 1; remove its thing while a call waits for one.
        rig.sim->setMeterFault(1, {lmnsim::Fault::Kind::Delay, 200, std::chrono::milliseconds(300)});
        rig.sim->clearRequests();
        QTRY_VERIFY_WITH_TIMEOUT(!valueCalls(*rig.sim).isEmpty() && valueCalls(*rig.sim).constLast().address == 1,
                                 8000);
        QVERIFY(rig.manager->removeThing(rig.meter(QStringLiteral("1-QEL-000-00000001"))->id()));

        // The cycle goes on to the other meter and ends.
        QVERIFY(loggedMore(cycleEnd, 2, 10000));
        Thing *other = rig.meter(QStringLiteral("1-QEL-000-00000002"));
        QVERIFY(other);
        QVERIFY(other->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble() > 0);
    }

    // A well-formed reading that cannot be right keeps the last written total, with one warning
    // for the episode and one line when totals are written again; a reset register is taken on
    // its third agreeing reading. One fault per meter and total, all in one run.
    void wrongReadingsAreHeldBack()
    {
        struct Case {
            int address;
            bool consumed;
            lmnsim::ValueFault fault;
            QString outcome;
            double before = 0;
        };
        QList<Case> cases{{1, true, lmnsim::ValueFault::Zero, QStringLiteral("held")},
                          {1, false, lmnsim::ValueFault::Negative, QStringLiteral("held")},
                          {2, true, lmnsim::ValueFault::Lower, QStringLiteral("held")},
                          {2, false, lmnsim::ValueFault::Huge, QStringLiteral("held")},
                          {3, true, lmnsim::ValueFault::Frozen, QStringLiteral("written")},
                          {3, false, lmnsim::ValueFault::Restart, QStringLiteral("restarted")}};
        Rig rig(4, 1);
        const auto call = [](const Case &c) {
            return c.consumed ? "GeActiceEnergyPlusTotal" : "GeActiceEnergyMinusTotal";
        };
        const auto state = [](const Case &c) {
            return c.consumed ? QStringLiteral("totalEnergyConsumed") : QStringLiteral("totalEnergyProduced");
        };
        const auto value = [&](const Case &c) { return rig.meter(id(c.address - 1))->stateValue(state(c)).toDouble(); };
        const auto lines = [&](const Case &c, const char *what) {
            return g_log.count(
                QStringLiteral("Meter \"%1\" %2 %3").arg(id(c.address - 1), state(c), QLatin1String(what)));
        };

        QVERIFY(rig.addGatewayWithMeters(4));
        QTRY_VERIFY_WITH_TIMEOUT(rig.meter(id(3))->stateValue(QStringLiteral("totalEnergyProduced")).toDouble() > 0,
                                 8000);
        QVERIFY(loggedMore(cycleEnd, 1, 10000));
        for (Case &c : cases) {
            c.before = value(c);
            rig.sim->setValueFault(c.address, call(c), c.fault);
        }
        QVERIFY(loggedMore(cycleEnd, 4, 20000));
        for (const Case &c : cases) {
            const QByteArray row = (state(c) + QLatin1Char(' ') + c.outcome).toUtf8();
            if (c.outcome == QLatin1String("restarted")) {
                QVERIFY2(lines(c, "restarted at") == 1 && lines(c, "of") == 1, row.constData());
                QVERIFY2(value(c) < c.before
                             && qFuzzyCompare(value(c), rig.sim->currentValue(c.address, call(c)) / 1000),
                         row.constData());
                continue;
            }
            QVERIFY2(value(c) == c.before, row.constData());
            QVERIFY2(lines(c, "of") == (c.outcome == QLatin1String("held") ? 1 : 0), row.constData());
        }
        // The meter without a fault goes on.
        QCOMPARE(rig.meter(id(3))->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble() * 1000,
                 rig.sim->currentValue(4, "GeActiceEnergyPlusTotal"));

        rig.sim->clearFaults();
        QVERIFY(loggedMore(cycleEnd, 2, 10000));
        for (const Case &c : cases) {
            const QByteArray row = (state(c) + QLatin1Char(' ') + c.outcome).toUtf8();
            QVERIFY2(qFuzzyCompare(value(c), rig.sim->currentValue(c.address, call(c)) / 1000), row.constData());
            QVERIFY2(lines(c, "written again:") == (c.outcome == QLatin1String("held") ? 1 : 0), row.constData());
            QVERIFY2(lines(c, "restarted at") == (c.outcome == QLatin1String("restarted") ? 1 : 0), row.constData());
        }
    }

    // The totals the host kept for a meter thing are what the next readings must fit; a kept 0
    // is the state's default, not a reading.
    void storedTotalIsTheReference()
    {
        Rig rig(1, 1);
        QVERIFY(rig.addGatewayWithMeters(1));
        Thing *meter = rig.meter(id(0));
        const QString consumed = QStringLiteral("totalEnergyConsumed");
        QTRY_VERIFY_WITH_TIMEOUT(meter->stateValue(consumed).toDouble() > 0, 8000);

        meter->setStateValue(consumed, 5e6);
        QVERIFY(rig.manager->reconfigureThing(meter->id(), meter->params()));
        QVERIFY(loggedMore(cycleEnd, 2, 10000));
        QCOMPARE(meter->stateValue(consumed).toDouble(), 5e6);
        QCOMPARE(g_log.count(QStringLiteral("totalEnergyConsumed of")), 1);

        meter->setStateValue(consumed, 0);
        QVERIFY(rig.manager->reconfigureThing(meter->id(), meter->params()));
        QTRY_VERIFY_WITH_TIMEOUT(meter->stateValue(consumed).toDouble() > 0, 8000);
        QVERIFY(meter->stateValue(consumed).toDouble() < 5e6);
    }

    // A meter that stops answering while the others answer is said once, and once when it is back
    // with how many calls failed meanwhile; its failures are said in full only the first time.
    void silentMeterIsSaidOnce()
    {
        Rig rig(2, 1);
        QVERIFY(rig.addGatewayWithMeters(2));
        Thing *meter = rig.meter(id(1));
        QTRY_VERIFY_WITH_TIMEOUT(meter->stateValue(QStringLiteral("totalEnergyProduced")).toDouble() > 0, 8000);
        QList<int> linesPerCycle{0}; // above debug level, from the fault on
        g_log.onLine = [&linesPerCycle](QtMsgType type, const QString &line) {
            if (line == cycleEnd)
                linesPerCycle.append(0);
            else if (type != QtDebugMsg)
                ++linesPerCycle.last();
        };
        rig.sim->setMeterFault(2, {lmnsim::Fault::Kind::HttpStatus, 404, {}, -1});
        QVERIFY(loggedMore(cycleEnd, 4, 20000));
        const double held = meter->stateValue(QStringLiteral("totalEnergyProduced")).toDouble();
        QVERIFY(loggedMore(cycleEnd, 1, 10000));
        g_log.onLine = nullptr;
        QCOMPARE(meter->stateValue(QStringLiteral("totalEnergyProduced")).toDouble(), held);
        QCOMPARE(g_log.count(QStringLiteral("Meter \"%1\" is not answering").arg(id(1))), 1);
        QCOMPARE(g_log.count(QStringLiteral("is not answering")), 1);
        // "Error in", the error report, "Server likely still running", "Giving up" and "is not
        // answering", in the first cycle that fails; nothing in those after.
        QCOMPARE(std::accumulate(linesPerCycle.cbegin(), linesPerCycle.cend(), 0), 7);
        QVERIFY2(std::all_of(linesPerCycle.cbegin() + 2, linesPerCycle.cend(), [](int n) { return n == 0; }),
                 qPrintable(QString::number(linesPerCycle.size())));

        rig.sim->clearFaults();
        QVERIFY(loggedMore(cycleEnd, 3, 10000));
        const int failed = g_log.count(QStringLiteral("Error in "));
        QVERIFY(failed >= 8);
        QCOMPARE(g_log.count(
                     QStringLiteral("Meter \"%1\" answers again, %2 calls failed meanwhile.").arg(id(1)).arg(failed)),
                 1);
        QCOMPARE(g_log.count(QStringLiteral("is not answering")), 1);
    }

    // Two IDs at one address: neither is polled, said once however often the list comes. One ID
    // twice: the later address is polled, also said once. Meters that swap addresses between two
    // lists are polled where the latest list says.
    void ambiguousMemberList_data()
    {
        QTest::addColumn<int>("fault"); // lmnsim::MemberFault between addresses 1 and 2
        QTest::addColumn<int>("other");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QList<int>>("polled");
        QTest::newRow("shared address")
            << int(lmnsim::MemberFault::SharedAddress) << 2
            << QStringLiteral("Meters \"%1\" and \"%2\" share LMN address 1").arg(id(0), id(1)) << QList<int>{3};
        QTest::newRow("one ID twice")
            << int(lmnsim::MemberFault::DuplicateId) << 5
            << QStringLiteral("Meter \"%1\" is listed at LMN addresses 1 and 5 - only address 5 is polled.").arg(id(0))
            << QList<int>{2, 3, 5};
        QTest::newRow("address swap at every list")
            << int(lmnsim::MemberFault::AddressSwap) << 2 << QString() << QList<int>{1, 2, 3};
    }
    void ambiguousMemberList()
    {
        QFETCH(int, fault);
        QFETCH(int, other);
        QFETCH(QString, warning);
        QFETCH(QList<int>, polled);
        Rig rig(3, 1);
        QVERIFY(rig.addGatewayWithMeters(3));
        QVERIFY(loggedMore(cycleEnd, 1, 10000));
        rig.sim->setMemberFault(lmnsim::MemberFault(fault), 1, other);
        QVERIFY(loggedMore(meterCheck, 1, 10000));
        rig.sim->clearRequests();
        QVERIFY(loggedMore(meterCheck, 1, 10000));
        QVERIFY(loggedMore(cycleEnd, 1, 10000));

        QSet<int> addresses;
        for (const ValueCall &call : valueCalls(*rig.sim))
            addresses.insert(call.address);
        QCOMPARE(addresses, QSet<int>(polled.cbegin(), polled.cend()));
        if (!warning.isEmpty())
            QCOMPARE(g_log.count(warning), 1);
        // Whatever the list says, no meter holds another's reading.
        for (Thing *meter : rig.meters()) {
            const double consumed = meter->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble();
            QCOMPARE(lmnsim::BridgeSimulator::addressOfValue(consumed * 1000), addressOf(meter->name()));
        }
    }
};

int main(int argc, char *argv[])
{
    return runPluginSuite<TestPluginMeters>(argc, argv);
}

#include "tst_plugin_meters.moc"
