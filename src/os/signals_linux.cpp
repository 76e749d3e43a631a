// The stop signals on Linux: Ctrl-C at once, or held for the upload to take.
#include "os/signals.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <pthread.h>
#include <sys/signalfd.h>
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

int stop_signal_descriptor()
{
    static const int descriptor = [] {
        sigset_t set = stop_signals();
        return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    }();
    return descriptor;
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
