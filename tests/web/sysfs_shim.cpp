// Preloaded into Chromium by the page tests: the simulated sysfs of the
// bench (tmpfs over /sys/devices and /sys/class/hidraw, in a private mount
// namespace) is reported as sysfs to statfs and fstatfs, as libudev checks
// that what it reads lies on sysfs. Anything outside /sys keeps its real
// answer. And udev counts as running (its control socket is there), as on
// a desktop: without it, and with a /dev that is no devtmpfs (the bench's),
// libudev takes itself to be in a container and listens for no devices
// plugged in later, which the tests announce as udev would.
#include <dlfcn.h>
#include <sys/vfs.h>
#include <linux/magic.h>
#include <stdio.h>
#include <string.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

int under_sys(const char *path)
{
    return path && strncmp(path, "/sys/", 5) == 0;
}

int fd_under_sys(int fd)
{
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t size = readlink(link, target, sizeof target - 1);
    if (size <= 0)
        return 0;
    target[size] = 0;
    return under_sys(target);
}

}  // namespace

#define SHIM(name, type, arg_type, test)                                 \
    extern "C" int name(arg_type where, struct type *buffer)                        \
    {                                                                    \
        static int (*real)(arg_type, struct type *);                     \
        if (!real)                                                       \
            real = reinterpret_cast<int (*)(arg_type, struct type *)>(dlsym(RTLD_NEXT, #name)); \
        int result = real(where, buffer);                                \
        if (result == 0 && buffer->f_type == TMPFS_MAGIC && test(where)) \
            buffer->f_type = SYSFS_MAGIC;                                \
        return result;                                                   \
    }

SHIM(statfs, statfs, const char *, under_sys)
SHIM(statfs64, statfs64, const char *, under_sys)
SHIM(fstatfs, statfs, int, fd_under_sys)
SHIM(fstatfs64, statfs64, int, fd_under_sys)

extern "C" int access(const char *path, int mode)
{
    static int (*real)(const char *, int);
    if (!real)
        real = reinterpret_cast<int (*)(const char *, int)>(dlsym(RTLD_NEXT, "access"));
    if (strcmp(path, "/run/udev/control") == 0)
        return 0;
    return real(path, mode);
}
