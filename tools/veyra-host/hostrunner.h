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

// Runs the host: loads the plugins, restores or creates the gateway, optionally runs the bridge
// simulator, and reports what happens to the things.
class HostRunner : public QObject
{
    Q_OBJECT
public:
    explicit HostRunner(const HostOptions &options, QObject *parent = nullptr);
    ~HostRunner() override;

    // Returns the process exit code when the host cannot start, or -1 when it runs.
    int start();
    QString summary() const;
    // What the table shows above the things.
    QString headline() const;

private:
    bool startSimulator(QString *error);
    quint16 storedGatewayPort() const;
    void createGateway();

    HostOptions m_options;
    QElapsedTimer m_clock;
    std::unique_ptr<lmnsim::BridgeSimulator> m_simulator;
    std::unique_ptr<ThingManager> m_thingManager;
    std::unique_ptr<HostOutput> m_output;
};
