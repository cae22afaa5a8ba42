// refreshbench: how long the bridge client's port check takes when the meter list it brings back
// has shrunk, from a fetched list of N members to one. The check refreshes the addresses of the
// listed meters and drops the others, on the host's event loop.
//
// Usage: refreshbench MEMBERS [ROUNDS]
// Prints one line: "members <n> check_ms <median> min_ms <min>", the port check's wall time with
// the bridge on loopback (a check of an unchanged one-member list takes well under a millisecond).
#include <bridgesimulator.h>
#include <networkhandler.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("QelLmn.debug=false\nQelLmn.info=false"));
    const QStringList args = app.arguments();
    const int members = args.value(1).toInt();
    const int rounds = std::max(1, args.value(2, QStringLiteral("5")).toInt());
    if (members < 1) {
        std::fprintf(stderr, "Usage: refreshbench MEMBERS [ROUNDS]\n");
        return 2;
    }
    lmnsim::Options options;
    options.meters = 1;
    lmnsim::BridgeSimulator sim(options);
    if (!sim.start()) {
        std::fprintf(stderr, "refreshbench: the simulator cannot listen\n");
        return 1;
    }
    // The list is handed over as a fetch would hand it over: a fetch itself stops at the size
    // limit of a connection-details reply, at about 23,000 members.
    QByteArray body = "[{},{},{},{\"isInitialized\":true,\"abailableLMNMembers\":[";
    for (int i = 0; i < members; ++i) {
        const lmnsim::Meter meter = lmnsim::BridgeSimulator::meterAt(i);
        body += (i ? ",{\"serverID\":\"" : "{\"serverID\":\"") + QByteArray::fromStdString(meter.serverId)
                + "\",\"lmnAdress\":" + QByteArray::number(meter.lmnAddress) + '}';
    }
    body += "]}]";
    sim.setMeterCount(1);
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        NetworkHandler handler;
        handler.setUrl(QString::number(sim.port()));
        handler.setPort(QString::fromStdString(options.serialPort));
        if (handler.saveDeviceList(body) != members) {
            std::fprintf(stderr, "refreshbench: the list of %d members was not taken\n", members);
            return 1;
        }
        QElapsedTimer clock;
        clock.start();
        handler.checkPortInitialized();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (handler.returnDeviceList().size() != 1) {
            std::fprintf(stderr, "refreshbench: the list did not shrink to one\n");
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("members %d check_ms %.1f min_ms %.1f\n", members, times[times.size() / 2], times.front());
    return 0;
}
