// The thread that keeps the time limit of each hidraw write.
#pragma once

// What the watchdog calls, on its own thread, when a write is still in the
// kernel past its limit of `limit_ms`. It must end the process; if it
// returns, the watchdog ends it with status 1.
using WatchdogExpiry = void (*)(long long limit_ms);

// Starts the watchdog thread the first time (later calls only say that it
// runs). Returns 1 when it runs, else 0.
int watchdog_start(WatchdogExpiry expiry);

// Hands the write about to be made to the watchdog, with its limit. Returns
// its deadline on the monotonic clock.
long long watchdog_arm(long long limit_ms);

// Takes the write back when it has returned. Does not return when the
// watchdog has claimed it: the run is ending, and nothing more may be sent.
void watchdog_disarm();

// The monotonic clock the deadlines are kept on, in nanoseconds.
long long monotonic_ns();
