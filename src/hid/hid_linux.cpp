// HID transport over the Linux kernel's hidraw interface.
//
// Present HID interfaces are listed in /sys/class/hidraw as hidrawN; the IDs
// of each come from the HID_ID line of its device's uevent file, so a device
// is matched before anything is opened. A hidraw write blocks in the kernel
// until the USB transfer ends and poll() always says writable, so the time
// limit of a report is kept here: one writer thread performs the blocking
// write while the caller waits for it with the limit.

#include "hid/hid_device.h"

#include <algorithm>
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
#include <pthread.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *HIDRAW_CLASS_DIR = "/sys/class/hidraw";
constexpr const char *DEVICE_DIR = "/dev";

int current_device = -1;
std::string open_error;

// The one write that may be in flight. Plain pthread objects with static
// initializers: nothing here is destroyed at exit while the writer thread
// may still be blocked in the kernel.
struct ReportWriter {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t job_ready = PTHREAD_COND_INITIALIZER;
    pthread_cond_t job_done = PTHREAD_COND_INITIALIZER;
    bool started = false;
    bool job_waiting = false;  // handed over, not yet taken by the thread
    bool in_flight = false;    // handed over, not yet ended
    int fd = -1;
    size_t length = 0;
    ssize_t result = 0;
    // Stays valid until the write ends, even after the caller gave up on it.
    uint8_t buffer[HID_MAX_REPORT + 1] = {};
};

ReportWriter writer;

void *writer_thread(void *)
{
    pthread_mutex_lock(&writer.lock);
    for (;;) {
        while (!writer.job_waiting)
            pthread_cond_wait(&writer.job_ready, &writer.lock);
        writer.job_waiting = false;
        int fd = writer.fd;
        size_t length = writer.length;
        pthread_mutex_unlock(&writer.lock);

        ssize_t written;
        do {
            written = write(fd, writer.buffer, length);
        } while (written < 0 && errno == EINTR);

        pthread_mutex_lock(&writer.lock);
        writer.result = written;
        writer.in_flight = false;
        pthread_cond_signal(&writer.job_done);
    }
    return nullptr;
}

// Starts the writer thread with every signal blocked, so that signals reach
// the main thread and never interrupt a write. Called with the lock held.
int start_writer()
{
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, writer_thread, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0)
        return 0;
    pthread_detach(thread);
    writer.started = true;
    return 1;
}

timespec deadline_after(double seconds)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long nanoseconds = static_cast<long long>(seconds * 1000.0) * 1000000LL + now.tv_nsec;
    now.tv_sec += static_cast<time_t>(nanoseconds / 1000000000LL);
    now.tv_nsec = static_cast<long>(nanoseconds % 1000000000LL);
    return now;
}

// N of a name "hidrawN", or -1 for any other name.
int hidraw_number(std::string_view name)
{
    if (!name.starts_with("hidraw") || name.size() == 6)
        return -1;
    name.remove_prefix(6);
    int number = -1;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    return error == std::errc() && end == name.data() + name.size() ? number : -1;
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

// Reads the IDs and the product name of hidrawN from the HID_ID and HID_NAME
// lines of its device's uevent file.
bool read_interface(int number, HidDeviceInfo &info)
{
    char path[96];
    std::snprintf(path, sizeof path, "%s/hidraw%d/device/uevent", HIDRAW_CLASS_DIR, number);
    FILE *file = std::fopen(path, "re");
    if (!file)
        return false;
    char line[512];
    bool found = false;
    while (std::fgets(line, sizeof line, file)) {
        unsigned bus = 0, vendor = 0, product = 0;
        std::string_view text(line);
        if (std::sscanf(line, "HID_ID=%x:%x:%x", &bus, &vendor, &product) == 3) {
            info.vendor_id = vendor;
            info.product_id = product;
            found = true;
        } else if (text.starts_with("HID_NAME=")) {
            text.remove_prefix(9);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.remove_suffix(1);
            info.name = text;
        }
    }
    std::fclose(file);
    info.path = std::string(DEVICE_DIR) + "/hidraw" + std::to_string(number);
    return found;
}

// The hidraw number behind a device path (a udev symlink is followed), or -1.
int hidraw_number_of(const char *path)
{
    char resolved[PATH_MAX];
    std::string_view name = realpath(path, resolved) ? resolved : path;
    return hidraw_number(name.substr(name.find_last_of('/') + 1));
}

// Opens the node for writing and makes it the current device; on failure
// keeps the first reason for device_open_error().
int open_node(const char *path)
{
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        current_device = fd;
        open_error.clear();
        return 1;
    }
    if (open_error.empty()) {
        open_error = std::string(path) + ": " + std::strerror(errno);
        if (errno == EACCES)
            open_error += " (install the udev rule 60-quorvel.rules to give your user access)";
    }
    return 0;
}

void start_over()
{
    device_close();
    open_error.clear();
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

int device_open(uint32_t vendor_id, uint32_t product_id)
{
    start_over();
    for (const HidDeviceInfo &info : device_list())
        if (info.vendor_id == vendor_id && info.product_id == product_id && open_node(info.path.c_str()))
            return 1;
    return 0;
}

int device_open_path(const char *path, int check_ids, uint32_t vendor_id, uint32_t product_id)
{
    start_over();
    if (check_ids) {
        HidDeviceInfo info;
        int number = hidraw_number_of(path);
        if (number < 0 || !read_interface(number, info)) {
            open_error = std::string(path) + ": not a hidraw device whose IDs can be read";
            return 0;
        }
        if (info.vendor_id != vendor_id || info.product_id != product_id) {
            char ids[64];
            std::snprintf(ids, sizeof ids, " has IDs %04x:%04x, not %04x:%04x", unsigned(info.vendor_id),
                          unsigned(info.product_id), unsigned(vendor_id), unsigned(product_id));
            open_error = path + std::string(ids);
            return 0;
        }
    }
    return open_node(path);
}

const char *device_open_error()
{
    return open_error.c_str();
}

int device_send(const uint8_t *data, size_t length, double timeout_seconds)
{
    if (current_device < 0 || length > HID_MAX_REPORT)
        return 0;
    pthread_mutex_lock(&writer.lock);
    // A write that timed out earlier still owns the buffer: nothing more goes out.
    if (writer.in_flight || (!writer.started && !start_writer())) {
        pthread_mutex_unlock(&writer.lock);
        return 0;
    }
    writer.buffer[0] = 0;  // report ID
    std::memcpy(writer.buffer + 1, data, length);
    writer.fd = current_device;
    writer.length = length + 1;
    writer.in_flight = true;
    writer.job_waiting = true;
    pthread_cond_signal(&writer.job_ready);

    timespec deadline = deadline_after(timeout_seconds);
    while (writer.in_flight) {
        if (pthread_cond_clockwait(&writer.job_done, &writer.lock, CLOCK_MONOTONIC, &deadline) == ETIMEDOUT)
            break;
    }
    int delivered = !writer.in_flight && writer.result == static_cast<ssize_t>(length + 1);
    pthread_mutex_unlock(&writer.lock);
    return delivered;
}

void device_close()
{
    if (current_device < 0)
        return;
    pthread_mutex_lock(&writer.lock);
    // A write still blocked on the device keeps its descriptor; the process
    // is about to end and the system closes it then.
    if (!writer.in_flight)
        close(current_device);
    pthread_mutex_unlock(&writer.lock);
    current_device = -1;
}
