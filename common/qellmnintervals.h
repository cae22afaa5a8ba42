// Fixed intervals of the plugin and the bridge client, with one test seam.
//
// The product always runs with the real values. Tests, the soak and the benchmarks may set the
// environment variable QELLMN_TIME_SCALE to a factor in (0, 1] before the plugin is loaded; every
// interval below is then multiplied by it (at least 1 ms; the request timeout at least 1 s). It is
// read once per process.
#pragma once

namespace QelLmnIntervals {

constexpr int connectionDetailsWaitMs = 10000; // wait before each connection-details request
constexpr int connectionTimerMs = 480000;      // refresh of the connection details after a cycle
constexpr int retryTimerMs = 10000;            // wait after the bridge server was unreachable
constexpr int requestTimeoutMs = 30000;        // deadline of every request, start to finish
constexpr int valueResendDelayMs = 1000;       // delay before a failed value call is sent again
constexpr int valueCallAttempts = 3;           // attempts of one value call in all
constexpr int updateTimerPeriod = 600;         // update timer, in units of the host's timer manager

// The interval to use for `ms`, after the seam's factor.
int scaled(int ms);

// The deadline of a request, after the seam's factor but never below one second, so
// that a busy test machine does not turn slow answers into failures.
int requestTimeout();

// The factor in force (1.0 unless the seam is set to a valid value).
double timeScale();

} // namespace QelLmnIntervals
