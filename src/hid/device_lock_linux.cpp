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
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The pid that holds a flock on this device number and inode, or 0.
long flock_holder(unsigned long device, unsigned long long inode_wanted)
{
    FILE *locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return 0;
    // A held lock: "1: FLOCK  ADVISORY  WRITE 4242 00:2c:2 0 EOF", where the
    // node is named by its file system's device number, in hex, and its
    // inode. A waiter's line has "->" before the kind and does not count.
    char line[256];
    long holder = 0;
    while (!holder && std::fgets(line, sizeof line, locks)) {
        char kind[16] = "";
        long pid = 0;
        unsigned device_major = 0, device_minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%llu", kind, &pid, &device_major, &device_minor,
                        &inode) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && device_major == major(device) &&
            device_minor == minor(device) && inode == inode_wanted)
            holder = pid;
    }
    std::fclose(locks);
    return holder;
}

// What /proc holds of a process: its command line, or empty once it is gone.
std::string proc_text(long pid, const char *what)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + what, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A process's parent, or 0 when it cannot be read.
long parent_of(long pid)
{
    // "4242 (name) S 4241 ...": the name may hold anything, so the fields
    // are read after its last parenthesis.
    const std::string stat = proc_text(pid, "stat");
    const size_t name_end = stat.rfind(')');
    long parent = 0;
    char state = 0;
    if (name_end == std::string::npos || std::sscanf(stat.c_str() + name_end + 1, " %c %ld", &state, &parent) != 2)
        return 0;
    return parent;
}

}  // namespace

BoardHolder board_holder(int fd)
{
    struct stat node;
    if (fstat(fd, &node) != 0)
        return HOLDER_UNKNOWN;
    const long holder = flock_holder(node.st_dev, node.st_ino);
    // A run that holds the board itself (a station) is no writer.
    if (holder > 0 && proc_text(holder, "comm") != std::string(WRITER_PROCESS_NAME) + "\n")
        return proc_text(holder, "comm").empty() ? HOLDER_UNKNOWN : HOLDER_LIVE_RUN;
    const std::string command = holder > 0 ? proc_text(holder, "cmdline") : "";
    const long parent = holder > 0 ? parent_of(holder) : 0;
    if (command.empty() || parent <= 0)
        return HOLDER_UNKNOWN;
    return proc_text(parent, "cmdline") == command ? HOLDER_LIVE_RUN : HOLDER_ENDED_RUN;
}

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
    // The node may have been replaced between the open and the lock (the
    // board left and the next one got its number): a lock on the file that
    // was there holds nothing. Looked at again on the next look.
    struct stat opened, now;
    if (fstat(fd, &opened) != 0 || stat(path, &now) != 0 || opened.st_dev != now.st_dev ||
        opened.st_ino != now.st_ino) {
        close(fd);
        return -1;
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
    return stat(path, &node) == 0 && flock_holder(node.st_dev, node.st_ino) != 0;
}

long lock_holder_pid(const char *path)
{
    struct stat node;
    return stat(path, &node) == 0 ? flock_holder(node.st_dev, node.st_ino) : 0;
}
