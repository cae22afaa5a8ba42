// The real plugin file, hosted by the host stand-in, against the bridge simulator over loopback:
// the road to the bridge, the update cycle, and the gateway set up, reconfigured and removed.
#include "plugintest.h"

#include <QSignalSpy>

class TestPlugin : public PluginSuite
{
    Q_OBJECT

private slots:
    void wholeRoad()
    {
        Rig rig(3);
        rig.sim->setMeters({lmnsim::BridgeSimulator::meterAt(2), lmnsim::BridgeSimulator::meterAt(0),
                            lmnsim::BridgeSimulator::meterAt(1)});
        QSignalSpy setups(rig.manager.get(), &ThingManager::thingSetupFinished);
        rig.addGateway();
        // Finished once the bridge has said whether its port is initialised.
        QTRY_COMPARE_WITH_TIMEOUT(setups.count(), 1, 5000);
        QCOMPARE(setups.at(0).at(1).value<Thing::ThingError>(), Thing::ThingErrorNoError);
        QTRY_VERIFY_WITH_TIMEOUT(rig.connected(), 5000);

        // The meters are announced with the gateway as parent, the lowest free slot first in the
        // bridge's member order, so that the same bus gives the same things every time.
        QTRY_COMPARE_WITH_TIMEOUT(rig.meters().size(), 3, 5000);
        for (Thing *meter : rig.meters()) {
            QCOMPARE(meter->parentId(), rig.gateway->id());
            QCOMPARE(meter->name(), rig::deviceIdOf(meter));
            QCOMPARE(meter->stateValue(QStringLiteral("deviceID")).toString(), meter->name());
        }
        QCOMPARE(slotName(rig.meter(id(2))), QStringLiteral("qelLmnMeter1"));
        QCOMPARE(slotName(rig.meter(id(0))), QStringLiteral("qelLmnMeter2"));
        QCOMPARE(slotName(rig.meter(id(1))), QStringLiteral("qelLmnMeter3"));

        // Readings arrive in kWh, each from its own meter.
        for (Thing *meter : rig.meters()) {
            QTRY_VERIFY_WITH_TIMEOUT(meter->stateValue(QStringLiteral("totalEnergyProduced")).toDouble() > 0, 8000);
            const double consumed = meter->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble();
            const double produced = meter->stateValue(QStringLiteral("totalEnergyProduced")).toDouble();
            QCOMPARE(lmnsim::BridgeSimulator::addressOfValue(consumed * 1000), addressOf(meter->name()));
            QCOMPARE(lmnsim::BridgeSimulator::addressOfValue(produced * 1000), addressOf(meter->name()));
        }
        QVERIFY(g_log.count(cycleEnd) >= 1);
        // The shortened intervals are said once, at their first use in the process.
        QCOMPARE(g_log.count(QStringLiteral("QELLMN_TIME_SCALE is set: every interval is multiplied by 0.005")), 1);
    }

    void oneCycleCallsEachMeterTwiceInOrder()
    {
        Rig rig(2);
        QVERIFY(rig.addGatewayWithMeters(2));
        rig.sim->clearRequests();
        QVERIFY(loggedMore(cycleEnd, 2, 10000));

        // Calls of whole cycles: per meter the energy plus total, then the minus total, and every
        // meter once per cycle.
        const QList<ValueCall> calls = valueCalls(*rig.sim);
        QVERIFY(calls.size() >= 4);
        for (int i = 0; i + 1 < calls.size(); i += 2) {
            QCOMPARE(calls.at(i).call, QStringLiteral("GeActiceEnergyPlusTotal"));
            QCOMPARE(calls.at(i + 1).call, QStringLiteral("GeActiceEnergyMinusTotal"));
            QCOMPARE(calls.at(i + 1).address, calls.at(i).address);
            if (i % 4 == 2)
                QVERIFY2(calls.at(i).address != calls.at(i - 2).address, "a meter was polled twice in a cycle");
        }
        // A cycle ends with the connection timer running.
        QVERIFY(rig.connectionTimerRunning());
    }

    // Found by the soak: a reconfigured gateway let the next tick start a cycle while a hung
    // call of the last one was still out, so the same reading was asked for twice at once;
    // answered together, the older answer could land last and the total went down. Any setup
    // lets the next tick start a cycle; a meter's sends nothing itself, so the wire shows that
    // no cycle starts (its first request is the port check) until the hung call has ended.
    void noCycleStartsWhileCallsAreOut_data()
    {
        QTest::addColumn<bool>("gateway");
        QTest::newRow("gateway set up again") << true;
        QTest::newRow("meter set up again") << false;
    }

    void noCycleStartsWhileCallsAreOut()
    {
        QFETCH(bool, gateway);
        Rig rig(1, 1);
        QVERIFY(rig.addGatewayWithMeters(1));
        Thing *meter = rig.meters().first();
        QTRY_VERIFY_WITH_TIMEOUT(meter->stateValue(QStringLiteral("totalEnergyProduced")).toDouble() > 0, 5000);
        QList<double> totals;
        QObject::connect(rig.manager.get(), &ThingManager::thingStateChanged, rig.manager.get(),
                         [&](Thing *thing, const StateTypeId &, const QVariant &) {
                             if (thing == meter)
                                 totals << meter->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble();
                         });

        rig.sim->setMeterFault(1, {lmnsim::Fault::Kind::Hang, 500, {}, -1});
        rig.sim->clearRequests();
        QTRY_VERIFY_WITH_TIMEOUT(rig.sim->traffic(lmnsim::Endpoint::Value).inFlight == 1, 5000);
        Thing *setUp = gateway ? rig.gateway.data() : meter;
        const ParamList params = gateway ? rig.gatewayParams(QString::number(rig.sim->port())) : meter->params();
        QVERIFY(rig.manager->reconfigureThing(setUp->id(), params));
        const std::uint64_t afterSetup = rig.sim->requestCount();
        // The setup restarts the update timer (0.6 s): it ticks within the request timeout (1 s).
        QVERIFY(loggedMore(QStringLiteral("Update timer"), 1, 5000));
        if (!gateway) {
            QCOMPARE(rig.sim->traffic(lmnsim::Endpoint::Value).inFlight, 1);
            QVERIFY2(rig.sim->requestCount() == afterSetup, "a cycle started while a call was out");
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.sim->traffic(lmnsim::Endpoint::Value).inFlight, 0, 5000);
        QCOMPARE(mostCallsInFlight(*rig.sim), 1);

        rig.sim->setMeterFault(1, {});
        QVERIFY(loggedMore(cycleEnd, 2, 10000));
        QCOMPARE(mostCallsInFlight(*rig.sim), 1);
        for (int i = 1; i < totals.size(); ++i)
            QVERIFY2(totals.at(i) >= totals.at(i - 1), "an energy total went down");
    }

    void serverDownAndBack()
    {
        Rig rig(2);
        QVERIFY(rig.addGatewayWithMeters(2));
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(cycleEnd) >= 1, 8000);

        rig.sim->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.connected(), 8000);
        // Retries follow the retry timer, one road at a time: no hot loop. Counted over a fixed
        // second.
        const int before = g_log.count(QStringLiteral("Setting up server connection"));
        QTest::qWait(1000);
        const int retries = g_log.count(QStringLiteral("Setting up server connection")) - before;
        QVERIFY2(retries >= 3 && retries <= 25, qPrintable(QStringLiteral("%1 retries in 1 s").arg(retries)));

        QVERIFY(rig.sim->start(rig.sim->port()));
        QTRY_VERIFY_WITH_TIMEOUT(rig.connected(), 5000);
        rig.sim->clearRequests();
        // The cycle cut short goes on where it stopped; the one after it polls everything.
        QVERIFY(loggedMore(cycleEnd, 2, 10000));
        QVERIFY(valueCalls(*rig.sim).size() >= 4);
        QCOMPARE(rig.meters().size(), 2);
        // The retry timer does not tick on once the outage is over.
        for (QTimer *timer : rig.pluginTimers())
            QVERIFY(timer->isSingleShot() || !timer->isActive());
    }

    void reconfigureKeepsOneWiring()
    {
        Rig rig(2);
        QVERIFY(rig.addGatewayWithMeters(2));
        QTRY_VERIFY_WITH_TIMEOUT(rig.sim->isInitialized(), 5000);

        rig.sim->clearRequests();
        QVERIFY(rig.manager->reconfigureThing(rig.gateway->id(), rig.gatewayParams(QString::number(rig.sim->port()))));
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(QStringLiteral("Handle reconfigure.")) == 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(QStringLiteral("Port initialized.")) >= 2, 5000);
        QStringList targets;
        for (const lmnsim::RecordedRequest &request : rig.sim->requests())
            targets.append(QString::fromStdString(request.method + ' ' + request.target));
        QVERIFY2(targets.contains(QStringLiteral("GET /%252Fdev%252Fttymxc3/ReinizializeLMNBus")),
                 qPrintable(targets.join(QLatin1Char('\n'))));

        // Every answer advances the cycle once: still exactly two calls per meter per cycle.
        rig.sim->clearRequests();
        const int cycles = g_log.count(cycleEnd);
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(cycleEnd) >= cycles + 2, 10000);
        QMap<int, int> perMeter;
        for (const ValueCall &call : valueCalls(*rig.sim))
            ++perMeter[call.address];
        const int completed = g_log.count(cycleEnd) - cycles;
        for (int count : qAsConst(perMeter))
            QVERIFY2(count <= 2 * (completed + 1), "an answer advanced the cycle more than once");
        QCOMPARE(rig.meters().size(), 2);
    }

    void removingEverythingReleasesAll()
    {
        Rig rig(2);
        QVERIFY(rig.addGatewayWithMeters(2));
        QCOMPARE(rig.pluginTimers().size(), 2);
        QCOMPARE(rig.manager->hardwareManager()->pluginTimerManager()->timers().size(), 1);

        QVERIFY(rig.manager->removeThing(rig.gateway->id()));
        QVERIFY(rig.manager->things().isEmpty());
        const QStringList order = {QStringLiteral("Stopping update timer"),
                                   QStringLiteral("Stopping connection timer."),
                                   QStringLiteral("Stopping retry timer."), QStringLiteral("Deleting networkHandler")};
        int last = -1;
        for (const QString &line : order) {
            const int at = g_log.lines.indexOf(line);
            QVERIFY2(at > last, qPrintable(line));
            last = at;
        }
        QTRY_COMPARE(rig.pluginTimers().size(), 0);
        QVERIFY(rig.manager->hardwareManager()->pluginTimerManager()->timers().isEmpty());

        // Nothing talks to the bridge any more (a fixed wait: nothing may come in it); a new
        // gateway starts afresh.
        rig.sim->clearRequests();
        QTest::qWait(200);
        QCOMPARE(rig.sim->requestCount(), 0u);
        rig.addGateway();
        QTRY_VERIFY_WITH_TIMEOUT(rig.connected(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.meters().size(), 2, 5000);
    }

    void invalidServerPortSendsNothing_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("host injection") << QStringLiteral("5000@example.org");
        QTest::newRow("path injection") << QStringLiteral("5000/x");
        QTest::newRow("zero") << QStringLiteral("0");
        QTest::newRow("too large") << QStringLiteral("65536");
        QTest::newRow("empty") << QString(QLatin1String(""));
    }

    void invalidServerPortSendsNothing()
    {
        QFETCH(QString, port);
        Rig rig(1);
        QSignalSpy setups(rig.manager.get(), &ThingManager::thingSetupFinished);
        rig.addGateway(port);
        QCOMPARE(setups.count(), 1);
        QCOMPARE(setups.at(0).at(1).value<Thing::ThingError>(), Thing::ThingErrorInvalidParameter);
        QVERIFY(!setups.at(0).at(2).toString().isEmpty());
        QTest::qWait(100); // nothing may be sent in it
        QCOMPARE(rig.sim->requestCount(), 0u);
        QVERIFY(!rig.connected());
    }

    void reconfiguringToAnInvalidPortStopsTraffic()
    {
        Rig rig(1);
        QVERIFY(rig.addGatewayWithMeters(1));
        // Reconfigured while a value call is out: the rest of the cycle cannot be sent.
        rig.sim->setMeterFault(1, {lmnsim::Fault::Kind::Delay, 200, std::chrono::milliseconds(300)});
        rig.sim->clearRequests();
        QTRY_VERIFY_WITH_TIMEOUT(!valueCalls(*rig.sim).isEmpty(), 8000);
        QVERIFY(rig.connected());
        QSignalSpy setups(rig.manager.get(), &ThingManager::thingSetupFinished);
        rig.manager->reconfigureThing(rig.gateway->id(), rig.gatewayParams(QStringLiteral("80/evil")));
        QCOMPARE(setups.count(), 1);
        QCOMPARE(setups.at(0).at(1).value<Thing::ThingError>(), Thing::ThingErrorInvalidParameter);
        QVERIFY(!rig.connected());

        // The cycle ends without re-sends, and nothing is scheduled or polled afterwards: fixed
        // waits, the first for what was under way to settle, the second for anything to follow.
        QTRY_VERIFY_WITH_TIMEOUT(g_log.lines.contains(cycleEnd), 5000);
        QTest::qWait(300);
        rig.sim->clearRequests();
        const int lines = g_log.lines.size();
        QTest::qWait(3000);
        QCOMPARE(rig.sim->requestCount(), 0u);
        QVERIFY(!rig.connectionTimerRunning());
        QCOMPARE(g_log.count(QStringLiteral("Error in ")) + g_log.count(QStringLiteral("Giving up on ")), 0);
        QCOMPARE(g_log.count(QStringLiteral("No valid server port is set, call \"GeActiceEnergyMinusTotal\"")), 1);
        for (const QString &line : g_log.lines.mid(lines))
            QCOMPARE(line, QStringLiteral("Update timer"));
    }

    // A real bridge closes idle keep-alive connections, commonly after 2 minutes, and the plugin
    // polls every 10 minutes; some close after every reply. Every cycle must still read every
    // meter, without errors, one call at a time.
    void bridgeClosesConnections_data()
    {
        QTest::addColumn<int>("keepAliveMs");
        QTest::addColumn<bool>("closeAfterReply");
        QTest::newRow("idle connection closed between cycles") << 200 << false;
        QTest::newRow("Connection: close") << 60000 << true;
    }

    void bridgeClosesConnections()
    {
        QFETCH(int, keepAliveMs);
        QFETCH(bool, closeAfterReply);
        lmnsim::Options options;
        options.keepAliveTimeout = std::chrono::milliseconds(keepAliveMs);
        options.closeAfterReply = closeAfterReply;
        // Unit 2 ms: cycles 1.2 s apart, longer than the keep-alive timeout.
        Rig rig(2, 2, options);
        QVERIFY(rig.addGatewayWithMeters(2));
        QTRY_VERIFY_WITH_TIMEOUT(g_log.count(cycleEnd) >= 1, 5000);
        const std::uint64_t connections = rig.sim->acceptedConnections();
        AnswersPerCycle answers(*rig.sim);
        QTRY_VERIFY_WITH_TIMEOUT(answers.cycles.size() >= 3, 15000);

        const QList<int> cycles = answers.cycles;
        QCOMPARE(cycles, QVector<int>(cycles.size(), 4).toList());
        for (const char *error : {"Could not get value!", "Error in ", "Giving up on ", "Server is not reachable!"})
            QCOMPARE(g_log.count(QLatin1String(error)), 0);
        QCOMPARE(mostCallsInFlight(*rig.sim), 1);
        // The bridge did close them: a new connection at least per cycle, or per request.
        const std::uint64_t opened = rig.sim->acceptedConnections() - connections;
        QVERIFY2(opened >= std::uint64_t(closeAfterReply ? 4 * cycles.size() : cycles.size()),
                 qPrintable(QStringLiteral("%1 connections in %2 cycles").arg(opened).arg(cycles.size())));
    }

    // The host removes the gateway while a request ends: in its reaction to the connection's
    // drop or rise, or in the next turn (inside the retry wait). A request the plugin ended
    // itself (deadline, size limit) is still inside Qt's abort() then.
    void removalWhileARequestEnds_data()
    {
        QTest::addColumn<int>("fault"); // on the connection details; -1: the bridge stops
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("atOnce");
        const int hang = int(lmnsim::Fault::Kind::Hang);
        QTest::newRow("refused, in the retry wait") << -1 << false << false;
        QTest::newRow("refused, at once") << -1 << false << true;
        QTest::newRow("cycle's port check times out, in the retry wait") << hang << false << false;
        QTest::newRow("port check times out, at once") << hang << false << true;
        QTest::newRow("size limit, at once") << int(lmnsim::Fault::Kind::OversizedBody) << false << true;
        QTest::newRow("connected, at once") << 0 << true << true;
    }
    void removalWhileARequestEnds()
    {
        QFETCH(int, fault);
        QFETCH(bool, connected);
        QFETCH(bool, atOnce);
        Rig rig(1);
        bool removed = false;
        auto remove = [&rig] { rig.manager->removeThing(rig.gateway->id()); };
        if (connected) {
            rig.onFirstConnected(true, &removed, remove, atOnce);
            QVERIFY(rig.addGateway());
        } else {
            QVERIFY(rig.addGatewayWithMeters(1));
            rig.onFirstConnected(false, &removed, remove, atOnce);
            if (fault < 0)
                rig.sim->stop();
            else
                rig.sim->setFault(lmnsim::Endpoint::ConnectionDetails,
                                  lmnsim::Fault{lmnsim::Fault::Kind(fault), 500, {}, -1});
        }
        QTRY_VERIFY_WITH_TIMEOUT(removed && rig.manager->things().isEmpty(), 8000);
        const int deleted = int(g_log.lines.lastIndexOf(QStringLiteral("Deleting networkHandler")));
        QVERIFY(deleted >= 0);
        const QStringList sinceDeletion = g_log.lines.mid(deleted);
        QVERIFY2(!sinceDeletion.join(QLatin1Char('\n')).contains(QLatin1String("Send ")),
                 qPrintable(sinceDeletion.join(QLatin1Char('\n'))));
        // Its connections go with the bridge client. Until the bridge has seen them close, it may
        // still be reading a request sent before the removal (slow under emulation).
        QTRY_COMPARE_WITH_TIMEOUT(rig.sim->openConnections(), std::uint64_t(0), 5000);
        // Nothing runs on: no request, timer or slot (a fixed wait: nothing may come in it).
        const int lines = g_log.lines.size();
        const std::uint64_t requests = rig.sim->requestCount();
        QTest::qWait(300);
        QCOMPARE(g_log.lines.size(), lines);
        QCOMPARE(rig.sim->requestCount(), requests);
    }

    // Found by the soak: an invalid server port given during the retry wait stopped the timer
    // that the wait was waiting for. The wait never ended, the plugin counted itself as
    // reconnecting for ever, and after the port was put right the next outage was never
    // recovered from.
    void invalidPortDuringTheRetryWaitThenPutRight()
    {
        // The fault showed as a wait that never returned, with this test function below it.
        m_watchdog.arm(30000, QStringLiteral("The plugin hung in its retry wait"));
        Rig rig(1);
        QVERIFY(rig.addGatewayWithMeters(1));
        const QString port = QString::number(rig.sim->port());
        bool misconfigured = false;
        rig.onFirstConnected(false, &misconfigured, [&rig] {
            rig.manager->reconfigureThing(rig.gateway->id(), rig.gatewayParams(QStringLiteral("0")));
        });
        rig.sim->stop();
        QTRY_VERIFY_WITH_TIMEOUT(misconfigured, 8000);
        // The retry wait has ended, and with the port unusable nothing is scheduled.
        QTRY_VERIFY_WITH_TIMEOUT(rig.noPluginTimerActive(), 5000);
        QVERIFY(rig.sim->start(rig.sim->port()));
        QVERIFY(rig.manager->reconfigureThing(rig.gateway->id(), rig.gatewayParams(port)));
        QTRY_VERIFY_WITH_TIMEOUT(rig.connected(), 5000);

        // The next outage is recovered from like any other.
        rig.sim->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.connected(), 8000);
        // The bridge comes back only after the plugin has tried again without it.
        QVERIFY(loggedMore(QStringLiteral("Could not reach server!"), 1, 5000));
        QVERIFY(rig.sim->start(rig.sim->port()));
        QTRY_VERIFY_WITH_TIMEOUT(rig.connected(), 5000);
        Thing *meter = rig.meters().first();
        const double before = meter->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble();
        QTRY_VERIFY_WITH_TIMEOUT(meter->stateValue(QStringLiteral("totalEnergyConsumed")).toDouble() > before, 8000);
    }
};

int main(int argc, char *argv[])
{
    return runPluginSuite<TestPlugin>(argc, argv);
}

#include "tst_plugin.moc"
