// The soak's run: the plugin file in the host stand-in against the in-process bridge simulator,
// the schedule's faults played on both, and the invariants fed with what happens.
#pragma once

#include "soakconfig.h"
#include "soakinvariants.h"
#include "soakschedule.h"

#include <bridgesimulator.h>
#include <veyra/thingmanager.h>

#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <memory>

namespace soak {

class Runner : public QObject
{
public:
    Runner(const Config &config, const Intervals &intervals);
    ~Runner() override;

    bool start(QString *error);
    int exitCode() const;
    void printSummary() const;
    // As a host that shuts down: the plugin goes without its things being removed.
    void teardown();

private:
    // The schedule.
    void armNextEvent();
    void onEventTimer();
    void execute(const Event &event);
    bool injectReplyFault(const Event &event);
    bool changeBus(const Event &event);
    bool actAsUser(const Event &event);
    int pickPresentMeter(std::uint32_t pick) const;
    void later(std::uint64_t &token, int ms, std::function<void()> action);
    void faultFor(int slot, std::function<void(const lmnsim::Fault &)> apply, const lmnsim::Fault &fault, int durationMs);
    void stopListener(int durationMs);
    void startListener();
    void applyBus();
    void armRetryWait(Kind action, int outageMs);
    bool strikes(qint64 &armedUntil, Kind kind);

    // The host's side.
    Thing *gateway() const;
    Thing *meterThing(const QString &deviceId) const;
    void addGateway();
    void removeGateway(int awayMs);
    void reconfigureGateway(const ParamList &params);
    void misconfigureGateway(int awayMs);
    void putGatewayRight();
    void soakError(const QString &what);

    // What the plugin does.
    void onPluginLog(QtMsgType type, const QString &text);
    void onRetryWait();
    void onThingAdded(Thing *thing);
    void onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value);
    void checkDuplicates();
    void onViolation(Invariant invariant, const QString &what, int count);

    // The end.
    void heal();
    void checkRecovery();
    void finish();
    qint64 now() const { return m_clock.elapsed(); }
    double seconds() const { return double(now()) / 1000.0; }

    Config m_config;
    Intervals m_iv;
    QElapsedTimer m_clock;
    std::unique_ptr<lmnsim::BridgeSimulator> m_sim;
    std::unique_ptr<ThingManager> m_manager;
    std::unique_ptr<Invariants> m_inv;
    const ThingClass *m_gatewayClass = nullptr;
    StateTypeId m_connectedStateTypeId;
    QString m_serverPort;

    std::vector<Event> m_schedule;
    std::size_t m_next = 0;
    qint64 m_healAtMs = 0;
    QTimer m_eventTimer;
    QTimer m_sampleTimer;
    QTimer m_recoveryTimer;
    std::set<int> m_bus; // LMN addresses on the bus
    std::set<int> m_busBeforeEmpty;
    // Timed changes that a later one of the same slot, or the heal, supersedes.
    std::map<int, std::uint64_t> m_faultToken; // meters by address, 0 the empty bus, endpoints below
    std::uint64_t m_listenerToken = 0;
    std::uint64_t m_gatewayToken = 0;
    std::uint64_t m_misconfigToken = 0;
    int m_gatewayAwayMs = 0;
    int m_misconfigAwayMs = 0;

    // Actions that wait for the plugin to reach a certain point (until the deadline, ms).
    qint64 m_armedRetryWaitUntil = -1;
    Kind m_retryWaitAction = Kind::GatewayRemovedInRetryWait; // or GatewayMisconfigured
    qint64 m_armedDetailsWaitUntil = -1;
    qint64 m_armedMidCycleUntil = -1;

    std::array<int, int(Kind::Count)> m_injected{};
    std::array<int, int(Kind::Count)> m_missed{}; // armed but the plugin never got there in time
    int m_cycles = 0;
    int m_soakErrors = 0;
    QString m_lastPluginLine;
    QStringList m_log; // the plugin's last lines, shown with the first violation of each kind
    bool m_healed = false;
    bool m_finished = false;
};

} // namespace soak
