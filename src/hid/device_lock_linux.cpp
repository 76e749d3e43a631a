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
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

int lock_board(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 1;
    return errno == EWOULDBLOCK ? 0 : -1;
}

namespace {
int held_for_us = -1;  // -board-lock=: the inherited descriptor that holds the board's lock
}  // namespace

void device_use_held_lock(int fd)
{
    held_for_us = fd;
}

int lock_held_for_us(int fd)
{
    struct stat ours, held;
    if (held_for_us < 0 || fstat(fd, &ours) != 0 || fstat(held_for_us, &held) != 0)
        return 0;
    if (ours.st_dev != held.st_dev || ours.st_ino != held.st_ino || ours.st_rdev != held.st_rdev)
        return 0;
    // Taking the lock again on the descriptor that holds it succeeds; on
    // any other open file of the node it does not.
    return flock(held_for_us, LOCK_EX | LOCK_NB) == 0;
}

int device_hold(const char *path, int &held)
{
    held = -1;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int locked = lock_board(fd);
    if (locked != 1) {
        close(fd);
        return locked;
    }
    held = fd;
    return 1;
}

int device_holds()
{
    return 1;
}

void device_let_go(int held)
{
    if (held >= 0)
        close(held);
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
