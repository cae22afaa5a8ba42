// The soak's run: the plugin file in the host stand-in against the in-process bridge simulator,
// the schedule's faults played on both, and the invariants fed with what happens.
#pragma once

#include "soakconfig.h"

namespace soak {

// Runs the soak in the application's event loop and prints its summary; the exit status.
int run(const Config &config, const Intervals &intervals);

} // namespace soak
