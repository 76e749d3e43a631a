// The console operations that differ by platform, on Linux: the pause, Ctrl-C,
// the standard streams and the terminal.
#include "output/console.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t interrupt_status = 1;

void exit_on_signal(int)
{
    _exit(interrupt_status);
}

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, signal);
    return set;
}

}  // namespace

namespace {

// How late the system's timer wakes a sleeper, learned from earlier pauses:
// a pause sleeps to this much short of its end and spins on the clock for
// the rest, so that 256 pauses of 10 ms do not each run 60-80 us long. The
// estimate rises by a quarter of each excess and falls by an eighth: it
// follows the usual lateness, not its rare peaks, so that the spin stays
// short (a later wake-up only makes that one pause a little longer); it
// never grows past the cap.
long long timer_lateness_ns = 0;
constexpr long long LATENESS_CAP_NS = 1'000'000;

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

void exit_on_interrupt(int status)
{
    interrupt_status = status;
    struct sigaction action {};
    action.sa_handler = exit_on_signal;
    sigaction(SIGINT, &action, nullptr);
}

void hold_stop_signals()
{
    // Blocked rather than caught: a wait for a write's outcome is never cut
    // short.
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int take_stop_signal()
{
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return 0;
    sigset_t set = stop_signals();
    bool any = false;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        any = any || sigismember(&pending, signal) == 1;
    if (!any)
        return 0;
    const timespec now{0, 0};
    int taken = sigtimedwait(&set, nullptr, &now);
    return taken > 0 ? taken : 0;
}

const char *signal_name(int number)
{
    static char name[24];
    const char *abbreviation = sigabbrev_np(number);
    if (abbreviation)
        std::snprintf(name, sizeof name, "SIG%s", abbreviation);
    else
        std::snprintf(name, sizeof name, "signal %d", number);
    return name;
}

void guard_standard_streams()
{
    std::signal(SIGPIPE, SIG_IGN);
    // Opening takes the lowest free descriptor: each closed one of 0-2 in turn.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            _exit(1);
}

int stderr_is_terminal()
{
    return isatty(2);
}

int stderr_takes_escapes()
{
    return isatty(2);
}

int stderr_columns()
{
    winsize size{};
    return ioctl(2, TIOCGWINSZ, &size) == 0 ? int(size.ws_col) : 0;
}
