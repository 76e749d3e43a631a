// The console helpers that differ by platform: Linux.
#include "cli/console.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t interrupt_status = 1;

void exit_on_signal(int)
{
    _exit(interrupt_status);
}

}  // namespace

void pause_seconds(double seconds)
{
    // The kernel may let a sleep run 50 us long to group wake-ups; on 256
    // pauses of 10 ms that adds up. Ask for the wake-up on time.
    static const bool on_time = prctl(PR_SET_TIMERSLACK, 1UL) == 0;
    (void)on_time;
    long long milliseconds = static_cast<long long>(seconds * 1000.0);
    if (milliseconds <= 0)
        return;
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal cuts the sleep short; sleep again for what is left.
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

void exit_on_interrupt(int status)
{
    interrupt_status = status;
    struct sigaction action {};
    action.sa_handler = exit_on_signal;
    sigaction(SIGINT, &action, nullptr);
}

void guard_standard_streams()
{
    // Opening takes the lowest free descriptor: each closed one of 0-2 in turn.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            _exit(1);
}
