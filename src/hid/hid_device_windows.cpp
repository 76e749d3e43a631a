// The current HID device on Windows: the search's step, open, identity
// check, close.
//
// The search (search.cpp) walks the present HID device interfaces; this
// file's step opens each for overlapped I/O and compares its vendor and
// product ID; the first match
// whose collection takes the bootloader's reports (report_shape_windows.cpp)
// stays open as the current device. Once a device has answered as the one
// sought, the run takes it (see device_lock_windows.cpp) before the first
// write (report_write_windows.cpp).

#include "hid/hid_device_windows.h"

#include "hid/device_lock_windows.h"
#include "hid/enumerate_windows.h"
#include "hid/hid_device.h"
#include "hid/report_shape.h"
#include "hid/search.h"
#include "hid/send_failure.h"
#include "os/clock.h"
#include "os/error_text_windows.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

HANDLE current_device = INVALID_HANDLE_VALUE;

// What an open that the system refused says: nothing there, no access, or
// the system's reason.
HidOpenError open_failure_kind(DWORD code)
{
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return HID_OPEN_ABSENT;
    return code == ERROR_ACCESS_DENIED ? HID_OPEN_NO_PERMISSION : HID_OPEN_OTHER;
}

// Reads "vid_XXXX&pid_XXXX" from an interface path, for a device that could
// not be opened to ask it.
bool ids_from_path(const char *path, uint32_t &vendor_id, uint32_t &product_id)
{
    std::string lower(path);
    for (char &c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find("vid_");
    unsigned vendor = 0, product = 0;
    if (at == std::string::npos || std::sscanf(lower.c_str() + at, "vid_%4x&pid_%4x", &vendor, &product) != 2)
        return false;
    vendor_id = vendor;
    product_id = product;
    return true;
}

HANDLE open_for_writing(const char *path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// Why the open device at this path is not the bootloader's collection, or ""
// when it takes the bootloader's reports. Named by its IDs, a device with
// other reports is another collection of the board, or another device;
// named by its path alone, the device is only known not to be a bootloader.
std::string shape_refusal(const char *path, uint32_t vendor_id, uint32_t product_id, bool ids_given,
                          HANDLE handle)
{
    std::string problem = report_shape_problem(reinterpret_cast<intptr_t>(handle));
    if (problem.empty())
        return "";
    return ids_given ? path + (" (" + ids_text(vendor_id, product_id)) +
                           ") does not take the bootloader's 64-byte reports: " + problem
                     : not_bootloader_text(path, vendor_id, product_id);
}

// Takes the board at this path for this run. When another run holds it or
// the lock fails, says why and returns 0; `busy` tells which.
int take_board(const char *path, std::string &why, bool &busy)
{
    int locked = lock_board(path);
    if (locked == 1)
        return 1;
    busy = locked == 0;
    why = path + (busy ? std::string(" is being written by another quorvel run")
                       : ": cannot lock it (" + error_text(GetLastError()) + ")");
    return 0;
}

// Whether the open device is one that the filter lets through. The IDs come
// first, from the HID class driver itself, and the location, from the
// device tree; a string request goes to the device and waits for it, so the
// serial number is asked only for -serial=, of a device that passed those.
bool answers_to(const DeviceFilter &filter, HANDLE handle, HidDeviceInfo &info)
{
    if (!read_attributes(handle, info.vendor_id, info.product_id))
        return false;
    if ((filter.match_ids && (info.vendor_id != filter.vendor_id || info.product_id != filter.product_id)) ||
        (filter.location && info.location != filter.location))
        return false;
    if (filter.serial)
        info.serial = serial_of(handle);
    return device_filter_passes(filter, info);
}

// One listed interface of a search: opened for writing and asked for its
// IDs and location, which the filter then judges. A collection with other
// reports is not counted: it is none of the boards that the search looks
// for. A match whose collection takes the bootloader's reports is counted
// and, with `take`, taken as the current device.
DeviceLook look_at(const DeviceFilter &filter, HidDeviceInfo &info, int take)
{
    DeviceLook look{0, 0, HID_OPEN_NONE, ""};
    const char *path = info.path.c_str();
    HANDLE handle = open_for_writing(path);
    if (handle == INVALID_HANDLE_VALUE) {
        // Not opened, nor asked: its IDs come from its path.
        DWORD code = GetLastError();
        if (filter.match_ids && !filter.serial && ids_from_path(path, info.vendor_id, info.product_id) &&
            device_filter_passes(filter, info)) {
            look.matches = 1;
            look.kind = open_failure_kind(code);
            look.why = std::string(path) + ": " + error_text(code);
        }
        return look;
    }
    if (!answers_to(filter, handle, info)) {
        CloseHandle(handle);
        return look;
    }
    look.why = shape_refusal(path, info.vendor_id, info.product_id, filter.match_ids, handle);
    if (!look.why.empty()) {
        CloseHandle(handle);
        look.kind = HID_OPEN_NOT_BOOTLOADER_SHAPE;
        return look;
    }
    look.matches = 1;
    bool busy = false;
    if (!take) {
        CloseHandle(handle);
    } else if (!take_board(path, look.why, busy)) {
        CloseHandle(handle);
        look.kind = busy ? HID_OPEN_BUSY : HID_OPEN_OTHER;
    } else {
        current_device = handle;
        if (!filter.serial)
            info.serial = serial_of(handle);
        look.taken = 1;
    }
    return look;
}

constexpr SearchSteps WINDOWS_SEARCH{present_interfaces, look_at};

// A path that could not be opened: nothing there, or the system's reason.
int open_failed(const char *path)
{
    DWORD code = GetLastError();
    open_record_fail(open_failure_kind(code), std::string(path) + ": " + error_text(code));
    return 0;
}

}  // namespace

int device_open(const DeviceFilter &filter)
{
    device_close();
    return search_devices(filter, WINDOWS_SEARCH);
}

// The handle itself must answer as a HID device before anything is written
// to it: a path can name any file, pipe or device.
int device_open_path(const char *path, int check_ids, uint32_t vendor_id, uint32_t product_id)
{
    device_close();
    open_record_clear();
    // Asked first through a handle without access rights: a serial port
    // (where an open for writing can reset the board behind it), a disk or
    // a file is refused before anything could be written to it.
    uint32_t vendor = 0, product = 0;
    HANDLE query = open_for_query(path);
    if (query == INVALID_HANDLE_VALUE)
        return open_failed(path);
    const bool hid = read_attributes(query, vendor, product);
    CloseHandle(query);
    if (!hid) {
        open_record_fail(HID_OPEN_NOT_HID, std::string(path) + " is not a HID device");
        return 0;
    }
    // The handle written to must answer for itself: the device at the path
    // may have changed in between.
    HANDLE handle = open_for_writing(path);
    if (handle == INVALID_HANDLE_VALUE)
        return open_failed(path);
    if (!read_attributes(handle, vendor, product)) {
        CloseHandle(handle);
        open_record_fail(HID_OPEN_NOT_HID, std::string(path) + " is not a HID device");
        return 0;
    }
    if (check_ids && (vendor != vendor_id || product != product_id)) {
        CloseHandle(handle);
        open_record_fail(HID_OPEN_NOT_HID, path + (" has IDs " + ids_text(vendor, product)) + ", not " +
                                               ids_text(vendor_id, product_id));
        return 0;
    }
    // Only the bootloader's report shape is written to: a path to a
    // keyboard, or to another collection of the board, gets nothing.
    std::string why = shape_refusal(path, vendor, product, check_ids, handle);
    if (!why.empty()) {
        CloseHandle(handle);
        open_record_fail(HID_OPEN_NOT_BOOTLOADER_SHAPE, why);
        return 0;
    }
    if (bool busy = false; !take_board(path, why, busy)) {
        CloseHandle(handle);
        open_record_fail(busy ? HID_OPEN_BUSY : HID_OPEN_OTHER, why);
        return 0;
    }
    current_device = handle;
    DeviceChoice &choice = open_record_choice();
    choice.path = path;
    choice.vendor_id = vendor;
    choice.product_id = product;
    // The serial number and location, as a search gives them; no other
    // device is asked anything.
    choice.serial = serial_of(handle);
    for (const HidDeviceInfo &info : present_interfaces())
        if (lstrcmpiA(info.path.c_str(), path) == 0)
            choice.location = info.location;
    return 1;
}

int device_may_take_bootloader_reports(const HidDeviceInfo &info)
{
    // Asked as an open by path would ask it, through a handle of its own.
    const char *path = info.path.c_str();
    HANDLE query = open_for_query(path);
    if (query == INVALID_HANDLE_VALUE)
        return 1;
    uint32_t vendor = 0, product = 0;
    const bool hid = read_attributes(query, vendor, product);
    CloseHandle(query);
    if (!hid)
        return 1;
    HANDLE handle = open_for_writing(path);
    if (handle == INVALID_HANDLE_VALUE)
        return 1;
    const bool other_shape = read_attributes(handle, vendor, product) &&
                             !report_shape_problem(reinterpret_cast<intptr_t>(handle)).empty();
    CloseHandle(handle);
    return !other_shape;
}

int device_send(const uint8_t *data, size_t length, double timeout_seconds)
{
    return hid_write_report(current_device, data, length, DWORD(timeout_seconds * 1000.0));
}

// Each write has ended when device_send returns: nothing is ever in hand.
int device_drain()
{
    return 1;
}

PlayStep *device_play_room(int count)
{
    static std::vector<PlayStep> room;
    if (current_device == INVALID_HANDLE_VALUE || count < 0 || count > PLAY_MAX_STEPS)
        return nullptr;
    room.resize(size_t(count));
    return room.data();
}

// Here each write ends before the next begins: the steps are written one by
// one, and a stop is looked for before each.
PlayEnd device_play(const PlayStep *steps, int count, const PlayWatch &watch)
{
    for (int step = 0; step < count; ++step) {
        if (int signal = watch.stop_requested ? watch.stop_requested() : 0)
            return PlayEnd{PLAY_STOPPED, step, signal};
        if (steps[step].length > PLAY_REPORT) {
            note_send_failure(HID_WRITE_OTHER, "the report is too long");
            return PlayEnd{PLAY_FAILED, step, 0};
        }
        if (!device_send(steps[step].report, steps[step].length, steps[step].limit_ms / 1000.0))
            return PlayEnd{PLAY_FAILED, step, 0};
        if (watch.delivered)
            watch.delivered(step + 1);
        if (steps[step].pause_after > 0)
            pause_seconds(steps[step].pause_after);
    }
    return PlayEnd{PLAY_DONE, count, 0};
}

void device_close()
{
    if (current_device == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(current_device);
    current_device = INVALID_HANDLE_VALUE;
    unlock_board();
}
