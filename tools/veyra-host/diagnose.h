// A one-shot commissioning check: the real plugin runs its own road against the given bridge
// (probe, port initialisation, meter list, meter things, one polling cycle) and the host reports
// what the plugin saw, with a verdict and an exit code scripts can rely on.
#pragma once

#include "hostoptions.h"

#include <QString>

namespace Diagnose {

enum ExitCode { AllRead = 0, Failed = 1, BadOptions = 2 };

// Checks what no run could survive (server port, serial port name, timeout); false with a
// message when the check must not start, since no request could succeed.
bool checkOptions(const HostOptions &options, QString *error);

// Runs the check from the application's event loop and prints the report (text, or one JSON
// object with --events). Returns the process exit code.
int run(const HostOptions &options);

} // namespace Diagnose
