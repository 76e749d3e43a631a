// HID transport over the Linux kernel's hidraw interface.
//
// Present HID interfaces are listed in /sys/class/hidraw as hidrawN; the IDs
// of each come from the HID_ID line of its device's uevent file, so a device
// is matched before anything is opened. Once a node is open, the descriptor
// itself must answer HIDIOCGRAWINFO with the same IDs before anything is
// written to it: the name in /dev proves nothing (a container's /dev may not
// be the host's, a node may be replaced, a path may name any file). A hidraw
// write blocks in the kernel until the USB transfer ends and poll() always
// says writable, so a watchdog thread keeps the time limit of each report
// while the caller's thread writes it.

#include "hid/hid_device.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <linux/hid.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *HIDRAW_CLASS_DIR = "/sys/class/hidraw";
constexpr const char *DEVICE_DIR = "/dev";
constexpr const char *TTY_CLASS_DIR = "/sys/class/tty";

int current_device = -1;
std::string open_error;
DeviceChoice choice;
bool nothing_there = false;  // the last open found no device at all
std::string send_error;

// The time limit of a write. A hidraw write blocks in the kernel until the
// USB transfer ends and no signal can cut it short, so the limit is kept by
// a watchdog thread while the caller's own thread writes: the caller
// publishes the write's number and deadline before it starts, and takes the
// write back when it returns. If the watchdog finds the same write still in
// flight past its deadline, it claims it instead and ends the run through
// the handler. A compare-and-swap on `in_flight` decides which side owns a
// write that ends just as its limit passes: exactly one of them does.
constexpr uint64_t CLAIMED = ~uint64_t{0};
constexpr long long WATCHDOG_NAP_NS = 50'000'000;  // no limit is shorter

struct Watchdog {
    std::atomic<uint64_t> in_flight{0};  // number of the write in flight, 0, or CLAIMED
    std::atomic<long long> deadline_ns{0};
    std::atomic<long long> limit_ms{0};
    uint64_t writes = 0;  // numbers the writes; only the writing thread counts
    bool started = false;
    WriteTimeoutHandler on_timeout = nullptr;
    // Outlives a write that the watchdog claimed: it may still be in the kernel.
    uint8_t buffer[HID_MAX_REPORT + 1] = {};
};

Watchdog watchdog;

long long monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

void sleep_until_ns(long long when)
{
    timespec until{time_t(when / 1'000'000'000LL), long(when % 1'000'000'000LL)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

void note_timeout()
{
    send_error = "no answer within " + std::to_string(watchdog.limit_ms.load()) + " ms";
}

void *watchdog_thread(void *)
{
    for (;;) {
        uint64_t write = watchdog.in_flight.load(std::memory_order_acquire);
        long long now = monotonic_ns();
        if (write == 0 || write == CLAIMED) {
            sleep_until_ns(now + WATCHDOG_NAP_NS);
            continue;
        }
        long long deadline = watchdog.deadline_ns.load(std::memory_order_acquire);
        if (now < deadline) {
            sleep_until_ns(std::min(deadline, now + WATCHDOG_NAP_NS));
            continue;
        }
        if (watchdog.in_flight.compare_exchange_strong(write, CLAIMED)) {
            note_timeout();
            if (watchdog.on_timeout)
                watchdog.on_timeout();  // ends the process
            _exit(1);
        }
    }
    return nullptr;
}

// Starts the watchdog with every signal blocked, so that signals go to the
// thread that runs the upload, as they did before the watchdog existed.
int start_watchdog()
{
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, watchdog_thread, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0)
        return 0;
    pthread_detach(thread);
    watchdog.started = true;
    return 1;
}

// Says why the write failed.
void note_write_failure(ssize_t written, size_t length, int error)
{
    char text[160];
    if (written >= 0)
        std::snprintf(text, sizeof text, "the device took only %zd of %zu bytes", written, length);
    else if (error == ENODEV || error == ESHUTDOWN || error == ENXIO)
        std::snprintf(text, sizeof text, "the device is gone (%s)", std::strerror(error));
    else
        std::snprintf(text, sizeof text, "%s", std::strerror(error));
    send_error = text;
}

// N of a name "hidrawN" as the kernel writes it (no sign, no leading zero),
// or -1 for any other name.
int hidraw_number(std::string_view name)
{
    if (!name.starts_with("hidraw"))
        return -1;
    std::string_view digits = name.substr(6);
    if (digits.empty() || digits.size() > 9 || (digits[0] == '0' && digits.size() > 1))
        return -1;
    unsigned number = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    return error == std::errc() && end == digits.data() + digits.size() ? int(number) : -1;
}

// The hidraw numbers present, in ascending order.
std::vector<int> list_hidraw_numbers()
{
    std::vector<int> numbers;
    DIR *dir = opendir(HIDRAW_CLASS_DIR);
    if (!dir)
        return numbers;
    while (const dirent *entry = readdir(dir)) {
        int number = hidraw_number(entry->d_name);
        if (number >= 0)
            numbers.push_back(number);
    }
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Reads the value of HID_ID as the kernel writes it: bus, vendor and product,
// three hex fields of one to eight digits separated by ':', nothing else.
bool parse_hid_id(std::string_view value, uint32_t &vendor_id, uint32_t &product_id)
{
    uint32_t fields[3] = {};
    for (uint32_t &field : fields) {
        size_t end = &field == &fields[2] ? value.size() : value.find(':');
        if (end == std::string_view::npos || end == 0 || end > 8)
            return false;
        auto [stop, error] = std::from_chars(value.data(), value.data() + end, field, 16);
        if (error != std::errc() || stop != value.data() + end)
            return false;
        value.remove_prefix(end == value.size() ? end : end + 1);
    }
    vendor_id = fields[1];
    product_id = fields[2];
    return true;
}

// A USB device's kernel name: bus, then the port on each hub ("1-2.3").
bool usb_device_name(std::string_view name)
{
    size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == name.size() || name.back() == '.')
        return false;
    return name.find_first_not_of("0123456789") == dash &&
           name.find_first_not_of("0123456789.", dash + 1) == std::string_view::npos;
}

// The kernel name of the USB device above this sysfs entry ("1-2.3"), or
// empty when it is not on USB.
std::string usb_location_above(const char *link)
{
    char resolved[PATH_MAX];
    if (!realpath(link, resolved))
        return "";
    std::string_view path(resolved);
    while (path.size() > 1) {
        path = path.substr(0, path.find_last_of('/'));
        std::string_view name = path.substr(path.find_last_of('/') + 1);
        if (usb_device_name(name))
            return std::string(name);
    }
    return "";
}

// Where hidrawN is plugged in.
std::string usb_location(int number)
{
    char link[96];
    std::snprintf(link, sizeof link, "%s/hidraw%d/device", HIDRAW_CLASS_DIR, number);
    return usb_location_above(link);
}

// Reads the IDs and the product name of hidrawN from the HID_ID and HID_NAME
// lines of its device's uevent file. A file without exactly one well-formed
// HID_ID line is unreadable.
bool read_interface(int number, HidDeviceInfo &info)
{
    char path[96];
    std::snprintf(path, sizeof path, "%s/hidraw%d/device/uevent", HIDRAW_CLASS_DIR, number);
    FILE *file = std::fopen(path, "re");
    if (!file)
        return false;
    char buffer[8192];  // the kernel's uevent buffer is smaller
    size_t size = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    std::string_view text(buffer, size);
    bool found = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.starts_with("HID_ID=")) {
            if (found || !parse_hid_id(line.substr(7), info.vendor_id, info.product_id))
                return false;
            found = true;
        } else if (line.starts_with("HID_NAME=")) {
            info.name = line.substr(9);
        } else if (line.starts_with("HID_UNIQ=")) {
            info.serial = line.substr(9);
        }
    }
    info.path = std::string(DEVICE_DIR) + "/hidraw" + std::to_string(number);
    info.location = usb_location(number);
    return found;
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

// The bits of the output report without a report ID that a HID report
// descriptor declares: the sum of Report Size x Report Count over its Output
// items. -1 when it uses report IDs or cannot be parsed.
long long plain_output_report_bits(const uint8_t *item, size_t size)
{
    struct Globals {
        uint32_t report_size = 0, report_count = 0;
    } globals;
    std::vector<Globals> pushed;
    long long bits = 0;
    for (size_t at = 0; at < size;) {
        uint8_t prefix = item[at];
        if (prefix == 0xFE) {  // a long item: skip its data
            if (at + 2 >= size)
                return -1;
            at += 3 + item[at + 1];
            continue;
        }
        size_t length = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (at + 1 + length > size)
            return -1;
        uint32_t value = 0;
        for (size_t i = 0; i < length; ++i)
            value |= uint32_t(item[at + 1 + i]) << (8 * i);
        switch (prefix & 0xFC) {
        case 0x74:  // Report Size
            globals.report_size = value;
            break;
        case 0x94:  // Report Count
            globals.report_count = value;
            break;
        case 0x84:  // Report ID
            return -1;
        case 0x90:  // Output
            bits += std::min<long long>(1LL << 32, 1LL * globals.report_size * globals.report_count);
            break;
        case 0xA4:  // Push
            pushed.push_back(globals);
            break;
        case 0xB4:  // Pop
            if (pushed.empty())
                return -1;
            globals = pushed.back();
            pushed.pop_back();
            break;
        }
        at += 1 + length;
    }
    return bits;
}

// Whether the device takes the bootloader's reports: its report descriptor
// declares one 64-byte output report, without report IDs. A keyboard, a
// mouse or any other HID device does not.
bool takes_bootloader_reports(int fd)
{
    int size = 0;
    static hidraw_report_descriptor descriptor;  // 4 KiB: static, like the other buffers
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return false;
    descriptor.size = uint32_t(size);
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) != 0)
        return false;
    return plain_output_report_bits(descriptor.value, size_t(size)) == 64 * 8;
}

// Keeps one more reason why a matching device was not used.
void note_passed_over(const std::string &why)
{
    if (!open_error.empty())
        open_error += '\n';
    open_error += why;
}

void use_device(int fd, const std::string &path, uint32_t vendor_id, uint32_t product_id)
{
    current_device = fd;
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
    // A device that goes away mid-write must give an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

std::vector<HidDeviceInfo> device_list()
{
    std::vector<HidDeviceInfo> devices;
    for (int number : list_hidraw_numbers()) {
        HidDeviceInfo info;
        if (read_interface(number, info))
            devices.push_back(info);
    }
    return devices;
}

int device_open(const DeviceFilter &filter)
{
    start_over();
    for (const HidDeviceInfo &info : device_list()) {
        if (!device_filter_passes(filter, info))
            continue;
        ++choice.matching;  // the rest are only counted
        if (current_device >= 0)
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
        } else if (!filter.match_ids && !takes_bootloader_reports(fd)) {
            close(fd);
            note_passed_over(info.path + " (" + ids_text(vendor, product) + BOOTLOADER_SHAPE_ERROR);
        } else {
            use_device(fd, info.path, vendor, product);
            choice.serial = info.serial;
            choice.location = info.location;
        }
    }
    nothing_there = choice.matching == 0;
    return current_device >= 0;
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
    if (!check_ids && !takes_bootloader_reports(fd)) {
        close(fd);
        open_error = path + (" (" + ids_text(vendor, product)) + BOOTLOADER_SHAPE_ERROR;
        return 0;
    }
    use_device(fd, path, vendor, product);
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
    if (current_device < 0 || length > HID_MAX_REPORT) {
        send_error = current_device < 0 ? "no device is open" : "the report is too long";
        return 0;
    }
    if (!watchdog.started && !start_watchdog()) {
        send_error = "cannot start the watchdog thread";
        return 0;
    }
    watchdog.buffer[0] = 0;  // report ID
    std::memcpy(watchdog.buffer + 1, data, length);
    long long limit_ms = static_cast<long long>(timeout_seconds * 1000.0);
    long long deadline = monotonic_ns() + limit_ms * 1'000'000LL;
    uint64_t write_number = ++watchdog.writes;
    watchdog.limit_ms.store(limit_ms, std::memory_order_relaxed);
    watchdog.deadline_ns.store(deadline, std::memory_order_relaxed);
    watchdog.in_flight.store(write_number, std::memory_order_release);

    // Not repeated on EINTR: only a debugger or tracer can interrupt a
    // hidraw write, and the device may already have taken the report. A
    // repeat could send it twice.
    ssize_t written = write(current_device, watchdog.buffer, length + 1);
    int error = errno;
    long long ended = monotonic_ns();
    if (!watchdog.in_flight.compare_exchange_strong(write_number, 0)) {
        // The watchdog claimed this write and is ending the run: send nothing more.
        for (;;)
            pause();
    }
    if (ended > deadline) {  // late counts as failed, whoever noticed first
        note_timeout();
        return 0;
    }
    if (written != static_cast<ssize_t>(length + 1)) {
        note_write_failure(written, length + 1, error);
        return 0;
    }
    return 1;
}

void device_on_write_timeout(WriteTimeoutHandler handler)
{
    watchdog.on_timeout = handler;
}

void device_close()
{
    if (current_device < 0)
        return;
    close(current_device);
    current_device = -1;
}

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
