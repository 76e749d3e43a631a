// The present hidraw interfaces from sysfs: IDs, names, serial numbers, USB locations.
//
// Present HID interfaces are listed in /sys/class/hidraw as hidrawN; the IDs
// of each come from the HID_ID line of its device's uevent file, so a device
// is matched before anything is opened.

#include "hid/hid_device.h"
#include "os/usb_location.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <linux/input.h>
#include <string_view>
#include <sys/stat.h>

namespace {

constexpr const char *HIDRAW_CLASS_DIR = "/sys/class/hidraw";
constexpr const char *DEVICE_DIR = "/dev";

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
bool parse_hid_id(std::string_view value, uint32_t &bus, uint32_t &vendor_id, uint32_t &product_id)
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
    bus = fields[0];
    vendor_id = fields[1];
    product_id = fields[2];
    return true;
}

// Where hidrawN is plugged in.
std::string usb_location(int number)
{
    char link[96];
    std::snprintf(link, sizeof link, "%s/hidraw%d/device", HIDRAW_CLASS_DIR, number);
    return usb_location_above(link);
}

// The identity of this plug-in of hidrawN: where its sysfs entry really is
// (the HID device's name there carries a number that the kernel never
// gives twice while it runs, "0003:5E1A:0001.0007") and the entry's inode.
// A board that leaves and the next one that gets the same node number have
// different ones; the same board keeps its identity for as long as it stays
// (unlike the /dev node's times, which udev changes as it sets the node up).
std::string plug_identity(int number)
{
    char entry[96];
    std::snprintf(entry, sizeof entry, "%s/hidraw%d", HIDRAW_CLASS_DIR, number);
    struct stat status;
    if (stat(entry, &status) != 0)
        return "";
    char *real = realpath(entry, nullptr);
    std::string identity = real ? real : entry;
    std::free(real);
    return identity + " " + std::to_string(static_cast<unsigned long long>(status.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(status.st_ino));
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
    uint32_t bus = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.starts_with("HID_ID=")) {
            if (found || !parse_hid_id(line.substr(7), bus, info.vendor_id, info.product_id))
                return false;
            found = true;
        } else if (line.starts_with("HID_NAME=")) {
            info.name = line.substr(9);
        } else if (line.starts_with("HID_UNIQ=")) {
            info.serial = line.substr(9);
        }
    }
    info.path = std::string(DEVICE_DIR) + "/hidraw" + std::to_string(number);
    // A HID device on another bus (Bluetooth, I2C, virtual) may sit below a
    // USB adapter in sysfs: the adapter's port is not where it is plugged in.
    if (bus == BUS_USB)
        info.location = usb_location(number);
    info.plug = plug_identity(number);
    return found;
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
