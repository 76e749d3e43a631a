// A file read once into an anonymous memory file that the copies inherit: Linux.
#include "os/shared_file.h"

#include <cerrno>
#include <cstring>
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

}  // namespace

std::string shared_copy_of(const char *path, std::string &why)
{
    struct stat node;
    if (stat(path, &node) == 0 && (S_ISCHR(node.st_mode) || S_ISBLK(node.st_mode)))
        return path;
    int in = open(path, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        why = std::strerror(errno);
        return "";
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
