// One writer per board on Linux: each run takes an exclusive flock on the
// hidraw node it opened, and -list reads /proc/locks to show the boards
// that are held, without opening them.
//
// The lock belongs to the open file: it ends when the descriptor is closed,
// also when the process dies, so a run that crashed leaves no stale lock.

#include "hid/device_lock_linux.h"

#include "hid/hid_device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

int lock_board(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 1;
    return errno == EWOULDBLOCK ? 0 : -1;
}

int device_in_use(const char *path)
{
    struct stat node;
    if (stat(path, &node) != 0)
        return 0;
    FILE *locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return 0;
    // A held lock: "1: FLOCK  ADVISORY  WRITE 4242 00:2c:2 0 EOF", where the
    // node is named by its file system's device number, in hex, and its
    // inode. A waiter's line has "->" before the kind and does not count.
    char line[256];
    int held = 0;
    while (!held && std::fgets(line, sizeof line, locks)) {
        char kind[16] = "";
        unsigned device_major = 0, device_minor = 0;
        unsigned long long inode = 0;
        held = std::sscanf(line, "%*d: %15s %*s %*s %*d %x:%x:%llu", kind, &device_major, &device_minor,
                           &inode) == 4 &&
               std::strcmp(kind, "FLOCK") == 0 && device_major == major(node.st_dev) &&
               device_minor == minor(node.st_dev) && inode == node.st_ino;
    }
    std::fclose(locks);
    return held;
}
