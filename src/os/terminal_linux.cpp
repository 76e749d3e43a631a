// The standard streams and the terminal behind standard error, on Linux.
#include "os/terminal.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

int stderr_rows()
{
    winsize size{};
    return ioctl(2, TIOCGWINSZ, &size) == 0 ? int(size.ws_row) : 0;
}
