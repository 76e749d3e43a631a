// The -log= file on Linux: O_APPEND, so that the lines of several stations
// sharing one file never overwrite each other, and fsync after each line.
#include "output/run_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
int log_fd = -1;
}

int log_file_open(const char *path, std::string &why)
{
    log_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log_fd < 0)
        why = std::strerror(errno);
    return log_fd >= 0;
}

int log_file_append(std::string_view line, std::string &why)
{
    // One write: with O_APPEND the kernel puts it whole at the end.
    ssize_t written = write(log_fd, line.data(), line.size());
    if (written != ssize_t(line.size()) || fsync(log_fd) != 0) {
        why = written >= 0 && written != ssize_t(line.size()) ? "the disk is full" : std::strerror(errno);
        return 0;
    }
    return 1;
}
