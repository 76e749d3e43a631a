// The current HID device on Linux: hidraw open, identity check, timed write, close.
//
// Once a node is open, the descriptor itself must answer HIDIOCGRAWINFO with
// the IDs it was found by before anything is written to it: the name in /dev
// proves nothing (a container's /dev may not be the host's, a node may be
// replaced, a path may name any file). Once proven, the node is locked for
// this run (see device_lock_linux.cpp) before the first write, and the
// writes go through the writer process (report_writer_linux.cpp), which
// keeps the descriptor and its lock until the kernel has ended its last
// write.

#include "hid/hid_device.h"
#include "hid/report_shape.h"
#include "hid/report_writer_linux.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/hid.h>
#include <linux/hidraw.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

bool device_in_hand = false;  // the writer holds the current device
std::string open_error;
DeviceChoice choice;
bool nothing_there = false;   // the last open found no device at all
bool held_elsewhere = false;  // the last open failed on a board that another run holds
std::string send_error;

// What a write's error says when the board went away. The USB core ends the
// transfer in flight at an unplug with EPROTO (or EPIPE, or EIO once the
// node is gone) and every later one with ENODEV; ESHUTDOWN and ENXIO come
// when the host side of the device is being torn down.
const char *unplug_reading(int error, bool node_vanished)
{
    switch (error) {
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
        return "the device is gone";
    case EPROTO:
    case EPIPE:
        return UNPLUGGED_MID_TRANSFER;
    case EIO:
        return node_vanished ? UNPLUGGED_MID_TRANSFER : nullptr;
    }
    return nullptr;
}

// Says why the write failed.
void note_write_failure(long written, size_t length)
{
    char text[200];
    struct stat node;
    if (written >= 0) {
        std::snprintf(text, sizeof text, "the device took only %ld of %zu bytes", written, length);
    } else if (const char *reading = unplug_reading(int(-written), stat(choice.path.c_str(), &node) != 0)) {
        std::snprintf(text, sizeof text, "%s (%s)", reading, std::strerror(int(-written)));
    } else {
        std::snprintf(text, sizeof text, "%s", std::strerror(int(-written)));
    }
    send_error = text;
}

// Waits for the writer's answer to the oldest report in hand. Returns 1
// when it was delivered whole; else says why and returns 0.
int take_answer()
{
    WriterAnswer answer = writer_answer();
    if (answer.outcome == long(answer.length))
        return 1;
    if (answer.outcome == WRITER_LATE)
        send_error = "no answer within " + std::to_string(answer.limit_ms) + " ms";
    else
        note_write_failure(answer.outcome, answer.length);
    return 0;
}

// A character device that the system's device table places in another
// class than hidraw. Such a node is not even opened: opening a serial port,
// for one, can reset the board behind it. Where there is no table to ask,
// the ioctl alone decides.
bool other_class_of_device(const struct stat &node)
{
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(node.st_rdev),
                  minor(node.st_rdev));
    char target[PATH_MAX];
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        return false;
    std::string_view subsystem(target, size_t(length));
    return subsystem.substr(subsystem.find_last_of('/') + 1) != "hidraw";
}

// Opens a node and proves that it is a HID device: the open descriptor must
// answer HIDIOCGRAWINFO. Returns the descriptor (blocking, ready to write)
// and the IDs the device reported, or -1 with the reason in `why`.
int open_hid_node(const char *path, uint32_t &vendor_id, uint32_t &product_id, std::string &why)
{
    struct stat node;
    if (stat(path, &node) != 0) {
        why = std::string(path) + ": " + std::strerror(errno);
        nothing_there = errno == ENOENT || errno == ENOTDIR;
        return -1;
    }
    // A regular file is let through to the ioctl: a simulated device is one.
    if (!(S_ISCHR(node.st_mode) || S_ISREG(node.st_mode)) ||
        (S_ISCHR(node.st_mode) && other_class_of_device(node))) {
        why = std::string(path) + " is not a HID device";
        return -1;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        why = std::string(path) + ": " + std::strerror(errno);
        if (errno == EACCES)
            why += " (install the udev rule 60-quorvel.rules to give your user access)";
        return -1;
    }
    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) != 0) {
        close(fd);
        why = std::string(path) + " is not a HID device";
        return -1;
    }
    fcntl(fd, F_SETFL, 0);  // each write waits until the device has taken the report
    vendor_id = uint16_t(info.vendor);
    product_id = uint16_t(info.product);
    return fd;
}

// Keeps one more reason why a matching device was not used.
void note_passed_over(const std::string &why)
{
    if (!open_error.empty())
        open_error += '\n';
    open_error += why;
}

// Takes the board for this run: its writer process starts and takes the
// lock. When another run holds it or the lock fails, closes the descriptor,
// says why and returns 0; `busy` tells which.
int take_board(int fd, const std::string &path, std::string &why, bool &busy)
{
    int locked = writer_start(fd);
    if (locked == 1)
        return 1;
    int error = errno;
    close(fd);
    busy = locked == 0;
    why = path + (busy ? " is being written by another quorvel run"
                       : ": cannot lock it (" + std::string(std::strerror(error)) + ")");
    return 0;
}

// The writer holds the board from here on. This process closes its own copy
// of the descriptor at once: the kernel's last close of a hidraw node waits
// while any hidraw write on the system is blocked, and only the writer may
// wait for that.
void use_device(int fd, const std::string &path, uint32_t vendor_id, uint32_t product_id)
{
    close(fd);
    device_in_hand = true;
    choice.path = path;
    choice.vendor_id = vendor_id;
    choice.product_id = product_id;
}

std::string ids_text(uint32_t vendor_id, uint32_t product_id)
{
    char text[24];
    std::snprintf(text, sizeof text, "%04x:%04x", unsigned(vendor_id), unsigned(product_id));
    return text;
}

void start_over()
{
    device_close();
    open_error.clear();
    choice = DeviceChoice{};
    nothing_there = false;
    held_elsewhere = false;
    // A device that goes away mid-write must give an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int device_open(const DeviceFilter &filter)
{
    start_over();
    std::string first_busy;  // the error when no matching device can be used
    for (const HidDeviceInfo &info : device_list()) {
        if (!device_filter_passes(filter, info))
            continue;
        ++choice.matching;  // the rest are only counted
        if (device_in_hand)
            continue;
        uint32_t vendor = 0, product = 0;
        std::string why;
        int fd = open_hid_node(info.path.c_str(), vendor, product, why);
        if (fd < 0) {
            note_passed_over(why);
        } else if (vendor != info.vendor_id || product != info.product_id) {
            close(fd);
            note_passed_over(info.path + " answers with IDs " + ids_text(vendor, product) +
                             ", not those of its system entry (" + ids_text(info.vendor_id, info.product_id) +
                             ")");
        } else if (!filter.match_ids && !report_shape_problem(fd).empty()) {
            close(fd);
            note_passed_over(info.path + " (" + ids_text(vendor, product) + BOOTLOADER_SHAPE_ERROR);
        } else if (bool busy = false; !take_board(fd, info.path, why, busy)) {
            note_passed_over(why);
            if (busy && first_busy.empty())
                first_busy = why;
        } else {
            use_device(fd, info.path, vendor, product);
            choice.serial = info.serial;
            choice.location = info.location;
        }
    }
    nothing_there = choice.matching == 0;
    if (!device_in_hand && !first_busy.empty()) {
        held_elsewhere = true;
        open_error = first_busy;
    }
    return device_in_hand;
}

int device_open_path(const char *path, int check_ids, uint32_t vendor_id, uint32_t product_id)
{
    start_over();
    uint32_t vendor = 0, product = 0;
    int fd = open_hid_node(path, vendor, product, open_error);
    if (fd < 0)
        return 0;
    if (check_ids && (vendor != vendor_id || product != product_id)) {
        close(fd);
        open_error =
            path + (" has IDs " + ids_text(vendor, product)) + ", not " + ids_text(vendor_id, product_id);
        return 0;
    }
    // Without IDs to check, the device must at least be shaped like the
    // bootloader: a path to a keyboard gets nothing.
    if (!check_ids && !report_shape_problem(fd).empty()) {
        close(fd);
        open_error = path + (" (" + ids_text(vendor, product)) + BOOTLOADER_SHAPE_ERROR;
        return 0;
    }
    if (!take_board(fd, path, open_error, held_elsewhere))
        return 0;
    use_device(fd, path, vendor, product);
    // The serial number and location, as a search gives them: from the
    // system's entry of the node that the path leads to.
    char resolved[PATH_MAX];
    if (realpath(path, resolved)) {
        for (const HidDeviceInfo &info : device_list()) {
            if (info.path == resolved) {
                choice.serial = info.serial;
                choice.location = info.location;
            }
        }
    }
    return 1;
}

const char *device_open_error()
{
    return open_error.c_str();
}

int device_absent()
{
    return nothing_there;
}

int device_busy()
{
    return held_elsewhere;
}

const DeviceChoice &device_choice()
{
    return choice;
}

const char *device_send_error()
{
    return send_error.c_str();
}

int device_send(const uint8_t *data, size_t length, double timeout_seconds)
{
    if (!device_in_hand || length > HID_MAX_REPORT) {
        send_error = !device_in_hand ? "no device is open" : "the report is too long";
        return 0;
    }
    uint8_t frame[HID_MAX_REPORT + 1];
    frame[0] = 0;  // report ID
    std::memcpy(frame + 1, data, length);
    long handed = writer_hand(frame, length + 1, static_cast<long long>(timeout_seconds * 1000.0));
    if (handed != 1) {
        note_write_failure(handed, length + 1);
        return 0;
    }
    // With this report queued behind it, the one before is waited for.
    return writer_unanswered() > 1 && !take_answer() ? -1 : 1;
}

int device_drain()
{
    while (writer_unanswered() > 0)
        if (!take_answer())
            return 0;
    return 1;
}

void device_close()
{
    if (!device_in_hand)
        return;
    writer_stop();
    device_in_hand = false;
}
