// The current HID device on Linux: the search's step, hidraw open, identity
// check, timed write, close. The search itself is search.cpp's.
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
#include "hid/search.h"
#include "hid/send_failure.h"
#include "hid/write_error_linux.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

bool device_in_hand = false;  // the writer holds the current device

// Says why the write failed.
void note_write_failure(const WriterAnswer &answer)
{
    struct stat node;
    std::string why;
    HidWriteError kind = write_failure_of(answer, stat(device_choice().path.c_str(), &node) != 0, why);
    note_send_failure(kind, why);
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
// and the IDs the device reported, or -1 with the reason in `why` and its
// kind in `kind`.
int open_hid_node(const char *path, uint32_t &vendor_id, uint32_t &product_id, std::string &why,
                  HidOpenError &kind)
{
    struct stat node;
    if (stat(path, &node) != 0) {
        why = std::string(path) + ": " + std::strerror(errno);
        kind = errno == ENOENT || errno == ENOTDIR ? HID_OPEN_ABSENT
               : errno == EACCES                   ? HID_OPEN_NO_PERMISSION
                                                   : HID_OPEN_OTHER;
        return -1;
    }
    // A regular file is let through to the ioctl: a simulated device is one.
    if (!(S_ISCHR(node.st_mode) || S_ISREG(node.st_mode)) ||
        (S_ISCHR(node.st_mode) && other_class_of_device(node))) {
        why = std::string(path) + " is not a HID device";
        kind = HID_OPEN_NOT_HID;
        return -1;
    }
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        why = std::string(path) + ": " + std::strerror(errno);
        kind = errno == EACCES ? HID_OPEN_NO_PERMISSION : errno == ENOENT ? HID_OPEN_ABSENT : HID_OPEN_OTHER;
        if (errno == EACCES)
            why += " (install the udev rule 60-quorvel.rules to give your user access)";
        return -1;
    }
    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) != 0) {
        close(fd);
        why = std::string(path) + " is not a HID device";
        kind = HID_OPEN_NOT_HID;
        return -1;
    }
    fcntl(fd, F_SETFL, 0);  // each write waits until the device has taken the report
    vendor_id = uint16_t(info.vendor);
    product_id = uint16_t(info.product);
    return fd;
}

// Takes the board for this run: its writer process starts and takes the
// lock. When it cannot, closes the descriptor, says why and returns the
// kind of refusal; HID_OPEN_NONE when the board is taken.
HidOpenError take_board(int fd, const std::string &path, std::string &why)
{
    const WriterStart start = writer_start(fd);
    if (start == WRITER_STARTED)
        return HID_OPEN_NONE;
    const int error = errno;
    const BoardHolder holder = start == WRITER_BOARD_HELD ? board_holder(fd) : HOLDER_UNKNOWN;
    close(fd);
    BoardRefusal refusal = board_refusal(start, holder, error);
    why = path + refusal.why;
    return refusal.kind;
}

// The writer holds the board from here on. This process closes its own copy
// of the descriptor at once: the kernel's last close of a hidraw node waits
// while any hidraw write on the system is blocked, and only the writer may
// wait for that.
void use_device(int fd)
{
    close(fd);
    device_in_hand = true;
}

void start_over()
{
    device_close();
    // A device that goes away mid-write must give an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

// One listed node of a search: its IDs come from sysfs, so the filter
// decides before anything is opened. A match is opened, must answer with
// the IDs of its system entry and, without IDs to search by, take the
// bootloader's reports; then it is taken for this run.
DeviceLook look_at(const DeviceFilter &filter, HidDeviceInfo &info, int take)
{
    DeviceLook look{0, 0, HID_OPEN_NONE, ""};
    if (!device_filter_passes(filter, info))
        return look;
    look.matches = 1;
    if (!take)
        return look;
    uint32_t vendor = 0, product = 0;
    int fd = open_hid_node(info.path.c_str(), vendor, product, look.why, look.kind);
    if (fd < 0)
        return look;
    if (vendor != info.vendor_id || product != info.product_id) {
        close(fd);
        look.kind = HID_OPEN_NOT_HID;
        look.why = info.path + " answers with IDs " + ids_text(vendor, product) +
                   ", not those of its system entry (" + ids_text(info.vendor_id, info.product_id) + ")";
    } else if (!filter.match_ids && !report_shape_problem(fd).empty()) {
        close(fd);
        look.kind = HID_OPEN_NOT_BOOTLOADER_SHAPE;
        look.why = not_bootloader_text(info.path, vendor, product);
    } else if (HidOpenError refused = take_board(fd, info.path, look.why); refused != HID_OPEN_NONE) {
        look.kind = refused;
    } else {
        use_device(fd);
        look.taken = 1;
    }
    return look;
}

constexpr SearchSteps LINUX_SEARCH{device_list, look_at};

}  // namespace

int device_open(const DeviceFilter &filter)
{
    start_over();
    return search_devices(filter, LINUX_SEARCH);
}

int device_open_path(const char *path, int check_ids, uint32_t vendor_id, uint32_t product_id)
{
    start_over();
    open_record_clear();
    uint32_t vendor = 0, product = 0;
    std::string why;
    HidOpenError kind = HID_OPEN_NONE;
    int fd = open_hid_node(path, vendor, product, why, kind);
    if (fd < 0) {
        open_record_fail(kind, why);
        return 0;
    }
    if (check_ids && (vendor != vendor_id || product != product_id)) {
        close(fd);
        open_record_fail(HID_OPEN_NOT_HID, path + (" has IDs " + ids_text(vendor, product)) + ", not " +
                                               ids_text(vendor_id, product_id));
        return 0;
    }
    // Without IDs to check, the device must at least be shaped like the
    // bootloader: a path to a keyboard gets nothing.
    if (!check_ids && !report_shape_problem(fd).empty()) {
        close(fd);
        open_record_fail(HID_OPEN_NOT_BOOTLOADER_SHAPE, not_bootloader_text(path, vendor, product));
        return 0;
    }
    if (HidOpenError refused = take_board(fd, path, why); refused != HID_OPEN_NONE) {
        open_record_fail(refused, why);
        return 0;
    }
    use_device(fd);
    DeviceChoice &choice = open_record_choice();
    choice.path = path;
    choice.vendor_id = vendor;
    choice.product_id = product;
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

int device_may_take_bootloader_reports(const HidDeviceInfo &info)
{
    uint32_t vendor = 0, product = 0;
    std::string why;
    HidOpenError kind = HID_OPEN_NONE;
    int fd = open_hid_node(info.path.c_str(), vendor, product, why, kind);
    if (fd < 0)
        return 1;
    const bool other_shape = !report_shape_problem(fd).empty();
    close(fd);
    return !other_shape;
}

PlayStep *device_play_room(int count)
{
    return device_in_hand ? writer_room(count) : nullptr;
}

PlayEnd device_play(const PlayStep *steps, int count, const PlayWatch &watch)
{
    if (!device_in_hand) {
        note_send_failure(HID_WRITE_OTHER, "no device is open");
        return PlayEnd{PLAY_FAILED, 0, 0};
    }
    WriterPlay played = writer_play(steps, count, watch);
    if (played.end.outcome == PLAY_FAILED)
        note_write_failure(played.answer);
    return played.end;
}

// One report alone: a play of one step.
int device_send(const uint8_t *data, size_t length, double timeout_seconds)
{
    if (!device_in_hand || length > PLAY_REPORT) {
        note_send_failure(HID_WRITE_OTHER, !device_in_hand ? "no device is open" : "the report is too long");
        return 0;
    }
    PlayStep step{};
    std::memcpy(step.report, data, length);
    step.length = uint32_t(length);
    step.limit_ms = uint32_t(timeout_seconds * 1000.0);
    return device_play(&step, 1, PlayWatch{nullptr, nullptr, 0, -1}).outcome == PLAY_DONE;
}

// Each write has ended when device_send returns: nothing is ever in hand.
int device_drain()
{
    return 1;
}

void device_close()
{
    if (!device_in_hand)
        return;
    writer_stop();
    device_in_hand = false;
}
