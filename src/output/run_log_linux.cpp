// The -log= file on Linux: O_APPEND, so that the lines of several stations
// sharing one file never overwrite each other, and fsync after each line
// where the log is a file on a disk (a pipe or a terminal has no disk).
#include "output/run_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int log_fd = -1;
bool on_disk = false;  // a regular file: flushed to the disk after each line
}  // namespace

LogOpen log_file_open(const char *path, std::string &why)
{
    // Without O_NONBLOCK, opening a named pipe waits for a reader, without
    // a word, for as long as none comes.
    log_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (log_fd < 0) {
        why = std::strerror(errno);
        return errno == ENXIO ? LOG_NO_READER : LOG_CANNOT_OPEN;
    }
    // Each line waits for a slow reader: no line is dropped.
    fcntl(log_fd, F_SETFL, fcntl(log_fd, F_GETFL) & ~O_NONBLOCK);
    struct stat node;
    on_disk = fstat(log_fd, &node) == 0 && S_ISREG(node.st_mode);
    return LOG_OPENED;
}

LogAppend log_file_append(std::string_view line, std::string &why)
{
    // One write: with O_APPEND the kernel puts it whole at the end.
    ssize_t written = write(log_fd, line.data(), line.size());
    if (written == ssize_t(line.size())) {
        if (on_disk && fsync(log_fd) != 0) {
            why = std::strerror(errno);
            return LOG_NOT_FLUSHED;
        }
        return LOG_APPENDED;
    }
    const int error = errno;
    why = written >= 0 ? "the disk is full" : std::strerror(error);
    // A full disk took part of the line: cut the file back to where the
    // line began, unless another run has appended since (its line stays;
    // then the piece of ours does too, and the line is still tried again).
    if (written > 0 && on_disk) {
        const off_t end = lseek(log_fd, 0, SEEK_CUR);
        struct stat node;
        if (end >= written && fstat(log_fd, &node) == 0 && node.st_size == end)
            (void)!ftruncate(log_fd, end - written);
    }
    return LOG_NOT_APPENDED;
}
