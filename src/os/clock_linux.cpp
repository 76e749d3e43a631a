// The clock on Linux: pauses to the millisecond.
#include "os/clock.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/prctl.h>

namespace {

// How late the system's timer wakes a sleeper, learned from earlier pauses:
// a pause sleeps to this much short of its end and spins on the clock for
// the rest, so that 256 pauses of 10 ms do not each run 60-80 us long. The
// estimate rises by a quarter of each excess and falls by an eighth: it
// follows the usual lateness, not its rare peaks, so that the spin stays
// short (a later wake-up only makes that one pause a little longer); it
// never grows past the cap, so that on a busy machine, whose wake-ups are
// late by milliseconds, a pause spins no more than 0.3 ms.
long long timer_lateness_ns = 0;
constexpr long long LATENESS_CAP_NS = 300'000;

long long monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

void learn_lateness(long long late_ns)
{
    if (late_ns > timer_lateness_ns)
        timer_lateness_ns += (late_ns - timer_lateness_ns) / 4;
    else
        timer_lateness_ns -= (timer_lateness_ns - late_ns) / 8;
    timer_lateness_ns = std::clamp(timer_lateness_ns, 0LL, LATENESS_CAP_NS);
}

}  // namespace

void pause_seconds(double seconds)
{
    // The kernel may let a sleep run 50 us long to group wake-ups; ask for
    // the wake-up on time.
    static const bool on_time = prctl(PR_SET_TIMERSLACK, 1UL) == 0;
    (void)on_time;
    long long milliseconds = static_cast<long long>(seconds * 1000.0);
    if (milliseconds <= 0)
        return;
    long long end = monotonic_ns() + milliseconds * 1'000'000LL;
    long long wake = end - timer_lateness_ns;
    timespec until{static_cast<time_t>(wake / 1'000'000'000LL), static_cast<long>(wake % 1'000'000'000LL)};
    // A signal cuts the sleep short: the deadline is absolute, sleep again.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    learn_lateness(monotonic_ns() - wake);
    // Never end early: the rest is short, spin it away.
    while (monotonic_ns() < end) {
    }
}
