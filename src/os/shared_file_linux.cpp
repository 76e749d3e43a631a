// A file read once into an anonymous memory file that the copies inherit,
// or kept open for this process alone: Linux.
#include "os/shared_file.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Copies what `from` holds, to its end, to `to`; 1 when all of it went.
int copy_to_end(int from, int to)
{
    char buffer[65536];
    for (ssize_t got; (got = read(from, buffer, sizeof buffer)) != 0;) {
        if (got < 0)
            return 0;
        for (ssize_t at = 0, put = 0; at < got; at += put)
            if ((put = write(to, buffer + at, size_t(got - at))) < 0)
                return 0;
    }
    return 1;
}

// A file whose last write is at least this old is read in place: a write
// from now on gives it a later modification time, even where the file
// system keeps the time in steps of a few milliseconds.
constexpr time_t QUIET_SECONDS = 2;

// The file read in place, and what it was when opened.
int kept = -1;
struct stat kept_as;

bool quiet_for_a_while(const struct stat &node)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return node.st_mtim.tv_sec + QUIET_SECONDS < now.tv_sec;
}

}  // namespace

std::string shared_copy_of(const char *path, bool for_copies, std::string &why)
{
    if (kept >= 0) {
        close(kept);
        kept = -1;
    }
    struct stat node;
    if (stat(path, &node) == 0 && (S_ISCHR(node.st_mode) || S_ISBLK(node.st_mode)))
        return path;
    int in = open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        why = std::strerror(errno);
        return "";
    }
    struct stat opened;
    if (!for_copies && fstat(in, &opened) == 0 && S_ISREG(opened.st_mode) && quiet_for_a_while(opened)) {
        kept = in;
        kept_as = opened;
        return "/proc/self/fd/" + std::to_string(in);
    }
    // Without close-on-exec: each copy inherits it under the same number.
    int copy = memfd_create("quorvel-hex", 0);
    int copied = copy >= 0 && copy_to_end(in, copy);
    int error = errno;
    close(in);
    if (!copied) {
        if (copy >= 0)
            close(copy);
        why = std::strerror(error);
        return "";
    }
    return "/proc/self/fd/" + std::to_string(copy);
}

int shared_file_unchanged()
{
    struct stat now;
    if (kept < 0)
        return 1;
    return fstat(kept, &now) == 0 && now.st_size == kept_as.st_size &&
           now.st_mtim.tv_sec == kept_as.st_mtim.tv_sec && now.st_mtim.tv_nsec == kept_as.st_mtim.tv_nsec;
}
