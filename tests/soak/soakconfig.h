// The soak's command line: options, their defaults, and the intervals they put in force.
#pragma once

#include "soakinvariants.h"

#include <QString>

#include <cstdint>

class QCoreApplication;

namespace soak {

struct Config {
    std::uint32_t seed = 1;
    double durationS = 110;
    double timeScale = 0.0005;
    double unitMs = 0; // 0: the product's ratio, 1000 ms times the time scale
    int meters = 8;
    QString pluginDir;
    bool printSchedule = false;
    bool verbose = false;
    bool pluginLog = false;
};

// False, with a line on stderr, for a bad value; --help and unknown options end the process.
bool parseCommandLine(const QCoreApplication &app, Config *config);
// Reads the plugin's constants: call after its time scale is set.
Intervals intervalsFor(double unitMs);
// The schedule leaves room for the recovery check at the end.
qint64 scheduleLengthMs(const Config &config, const Intervals &iv);

} // namespace soak
