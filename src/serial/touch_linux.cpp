// The serial-port touch on Linux: 1200 baud through termios, the port's USB location from sysfs.

#include "serial/touch.h"

#include "os/usb_location.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char *TTY_CLASS_DIR = "/sys/class/tty";

}  // namespace

int board_touch(const char *port, std::string &why)
{
    struct stat node;
    if (stat(port, &node) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return 0;
        why = std::strerror(errno);
        return -1;
    }
    if (!S_ISCHR(node.st_mode)) {
        why = "it is not a serial port";
        return -1;
    }
    // O_NONBLOCK: a port without carrier must not hold the open.
    int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENODEV || errno == ENXIO)
            return 0;  // gone since the stat: the board is resetting already
        why = std::strerror(errno);
        return -1;
    }
    termios settings;
    int done = tcgetattr(fd, &settings) == 0;
    if (!done) {
        why = "it is not a serial port";
    } else {
        cfsetispeed(&settings, B1200);
        cfsetospeed(&settings, B1200);
        settings.c_cflag |= HUPCL;  // the close drops DTR as well
        done = tcsetattr(fd, TCSANOW, &settings) == 0;
        if (!done)
            why = std::string("setting 1200 baud: ") + std::strerror(errno);
    }
    if (done) {
        // Dropping DTR at 1200 baud is the reset request itself; a port
        // without modem lines (a pseudo-terminal) has only the close.
        int dtr = TIOCM_DTR;
        ioctl(fd, TIOCMBIC, &dtr);
    }
    close(fd);
    return done ? 1 : -1;
}

int serial_port_present(const char *port, std::string &location)
{
    location.clear();
    // /dev/ttyACM0, or a udev link to it: the kernel's name for the tty is
    // the name of the node the path leads to. Its sysfs entry counts only
    // when its device number is that of the node.
    char resolved[PATH_MAX];
    struct stat node;
    if (!realpath(port, resolved) || stat(resolved, &node) != 0)
        return 0;
    if (!S_ISCHR(node.st_mode))
        return 1;
    std::string entry = std::string(TTY_CLASS_DIR) + "/" + (std::strrchr(resolved, '/') + 1);
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "%u:%u\n", major(node.st_rdev), minor(node.st_rdev));
    FILE *file = std::fopen((entry + "/dev").c_str(), "re");
    if (!file)
        return 1;
    char line[32] = "";
    if (std::fgets(line, sizeof line, file) && std::strcmp(line, numbers) == 0)
        location = usb_location_above((entry + "/device").c_str());
    std::fclose(file);
    return 1;
}
