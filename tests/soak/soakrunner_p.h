// The soak's runner, whose members are defined in soakrunner.cpp and soakfaults.cpp.
#pragma once

#include "soakconfig.h"
#include "soakinvariants.h"
#include "soakschedule.h"

#include <bridgesimulator.h>
#include <testrig.h>

#include <QElapsedTimer>
#include <QTimer>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace soak {

inline const char *const kPlusCall = "GeActiceEnergyPlusTotal";
inline const char *const kMinusCall = "GeActiceEnergyMinusTotal";

class Runner : public QObject
{
public:
    Runner(const Config &config, const Intervals &intervals) : m_config(config), m_iv(intervals) {}

    bool start(QString *error);
    void teardown();
    int exitCode() const;
    void printSummary() const;

private:
    // ---- The schedule ----

    void armNextEvent();
    void onEventTimer();
    // The events played, in soakfaults.cpp: faults on the bridge, its bus changed, the user's actions.
    void execute(const Event &event);
    int pickPresentMeter(std::uint32_t pick) const;
    void later(std::uint64_t &token, int ms, std::function<void()> action);
    void faultFor(int slot, std::function<void(const lmnsim::Fault &)> apply, const lmnsim::Fault &fault,
                  int durationMs);
    bool injectReplyFault(const Event &event);
    bool injectWrongData(const Event &event);
    bool changeBridge(const Event &event);
    bool actAsUser(const Event &event);
    void stopListener(int durationMs);
    void startListener();
    void applyBus();
    void armRetryWait(Kind action, int outageMs);
    void strike(qint64 &armedUntil, Kind kind, std::function<bool()> action);

    // ---- The host's side ----

    Thing *gateway() const;
    void addGateway();
    void removeGateway(int awayMs);
    void reconfigureGateway(const ParamList &params);
    void misconfigureGateway(int awayMs);
    void putGatewayRight();
    void soakError(const QString &what);

    // ---- What the plugin does ----

    void onPluginLog(QtMsgType type, const QString &text);
    void onRetryWait();
    void noteMeterLine(const QString &text);
    void onThingAdded(Thing *thing);
    void onStateChanged(Thing *thing, const StateTypeId &stateTypeId, const QVariant &value);
    void checkDuplicates();
    void onViolation(Invariant invariant, const QString &what, int count);

    // ---- The end: a healthy bridge, and what the plugin promises then ----

    void heal();
    void checkRecovery();
    void finish();

    qint64 now() const { return m_clock.elapsed(); }
    double seconds() const { return double(now()) / 1000.0; }

    Config m_config;
    Intervals m_iv;
    QElapsedTimer m_clock;
    std::unique_ptr<lmnsim::BridgeSimulator> m_sim;
    rig::PluginHost m_host;
    std::unique_ptr<Invariants> m_inv;
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
    // Last, so that it goes first: its lines go to this runner.
    rig::LogCapture m_pluginLog{false};
};

} // namespace soak
