#pragma once

#include "hostoptions.h"

#include <veyra/thingmanager.h>

#include <QElapsedTimer>
#include <QObject>

#include <memory>

namespace lmnsim {
class BridgeSimulator;
}
class HostOutput;
class LogOutput;
class QTimer;
class Thing;

// Runs the host: loads the plugins, restores or creates the gateway, optionally runs the bridge
// simulator, and reports what happens to the things.
class HostRunner : public QObject
{
    Q_OBJECT
public:
    explicit HostRunner(const HostOptions &options, QObject *parent = nullptr);
    ~HostRunner() override;

    // Returns the process exit code when the host cannot start, or -1 when it runs; the things
    // are then set up from the running event loop.
    int start();
    // Ends the host whatever the plugin is waiting for. Never removes a thing.
    void stop();
    // After the event loop: writes the cached states that changed since the last save and
    // releases the store. False, with the reason on stderr, when the store could not be saved.
    bool finish();
    QString summary() const;
    // What the table shows above the things.
    QString headline() const;

private:
    bool startStore(QString *error);
    int removeStoredThing();
    Thing *storedGateway() const;
    void applyCommandLine(Thing *gateway);
    bool startSimulator(Thing *gateway, QString *error);
    void startThings();
    void createGateway();
    void scheduleRunFor();
    [[noreturn]] void exitNow();

    HostOptions m_options;
    QElapsedTimer m_clock;
    std::unique_ptr<lmnsim::BridgeSimulator> m_simulator;
    std::unique_ptr<ThingManager> m_thingManager;
    std::unique_ptr<HostOutput> m_output;
    std::unique_ptr<LogOutput> m_log;
    QTimer *m_runFor = nullptr;
};
