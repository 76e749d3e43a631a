// The current HID device on Windows: search, open, identity check, close.
//
// The search walks the present HID device interfaces, opens each for
// overlapped I/O and compares its vendor and product ID; the first match
// whose collection takes the bootloader's reports (report_shape_windows.cpp)
// stays open as the current device. Once a device has answered as the one
// sought, the run takes it (see device_lock_windows.cpp) before the first
// write (report_write_windows.cpp).

#include "hid/hid_device_windows.h"

#include "hid/device_lock_windows.h"
#include "hid/enumerate_windows.h"
#include "os/error_text_windows.h"
#include "hid/hid_device.h"
#include "hid/report_shape.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>

namespace {

HANDLE current_device = INVALID_HANDLE_VALUE;
std::string open_error;
DeviceChoice choice;
bool nothing_there = false;   // the last open found no device at all
bool held_elsewhere = false;  // the last open failed on a board that another run holds

void note_open_failure(const char *path)
{
    if (!open_error.empty())
        open_error += '\n';
    open_error += std::string(path) + ": " + error_text(GetLastError());
}

std::string ids_text(uint32_t vendor_id, uint32_t product_id)
{
    char text[24];
    std::snprintf(text, sizeof text, "%04x:%04x", unsigned(vendor_id), unsigned(product_id));
    return text;
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
    std::string named = path + (" (" + ids_text(vendor_id, product_id));
    return ids_given ? named + ") does not take the bootloader's 64-byte reports: " + problem
                     : named + BOOTLOADER_SHAPE_ERROR;
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

void note_passed_over(const std::string &why)
{
    open_error += (open_error.empty() ? "" : "\n") + why;
}

// One opened interface of the search: passed over (named while nothing was
// found yet), counted, or taken as the device. A collection with other
// reports is not counted: it is none of the boards that the search looks
// for. Returns 1 when it was taken.
int consider(const DeviceFilter &filter, HANDLE handle, HidDeviceInfo &info, bool searching,
             std::string &first_busy)
{
    if (!answers_to(filter, handle, info))
        return 0;
    const char *path = info.path.c_str();
    std::string why = shape_refusal(path, info.vendor_id, info.product_id, filter.match_ids, handle);
    if (!why.empty()) {
        if (searching)
            note_passed_over(why);
        return 0;
    }
    ++choice.matching;
    if (!searching)
        return 0;
    bool busy = false;
    if (!take_board(path, why, busy)) {
        if (busy && first_busy.empty())
            first_busy = why;
        note_passed_over(why);
        return 0;
    }
    choice.path = path;
    choice.vendor_id = info.vendor_id;
    choice.product_id = info.product_id;
    choice.serial = filter.serial ? info.serial : serial_of(handle);
    choice.location = info.location;
    return 1;
}

// Opens the first present HID interface that the filter lets through and
// that takes the bootloader's reports, or none; counts the others. A board
// that another run holds is passed over; when no other can be used, it is
// the error.
HANDLE hid_find_device(const DeviceFilter &filter)
{
    HANDLE found = INVALID_HANDLE_VALUE;
    std::string first_busy;
    for (HidDeviceInfo &info : present_interfaces()) {
        const char *path = info.path.c_str();
        HANDLE handle = open_for_writing(path);
        if (handle == INVALID_HANDLE_VALUE) {
            // Not opened, nor asked: its IDs come from its path.
            if (filter.match_ids && !filter.serial && ids_from_path(path, info.vendor_id, info.product_id) &&
                device_filter_passes(filter, info)) {
                ++choice.matching;
                if (found == INVALID_HANDLE_VALUE)
                    note_open_failure(path);
            }
        } else if (consider(filter, handle, info, found == INVALID_HANDLE_VALUE, first_busy)) {
            found = handle;
        } else {
            CloseHandle(handle);
        }
    }
    if (found == INVALID_HANDLE_VALUE && !first_busy.empty()) {
        held_elsewhere = true;
        open_error = first_busy;
    }
    return found;
}

// A path that could not be opened: nothing there, or the system's reason.
int open_failed(const char *path)
{
    DWORD code = GetLastError();
    nothing_there = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    note_open_failure(path);
    return 0;
}

void start_over()
{
    device_close();
    open_error.clear();
    choice = DeviceChoice{};
    nothing_there = false;
    held_elsewhere = false;
}

}  // namespace

int device_open(const DeviceFilter &filter)
{
    start_over();
    current_device = hid_find_device(filter);
    nothing_there = choice.matching == 0;
    return current_device != INVALID_HANDLE_VALUE;
}

// The handle itself must answer as a HID device before anything is written
// to it: a path can name any file, pipe or device.
int device_open_path(const char *path, int check_ids, uint32_t vendor_id, uint32_t product_id)
{
    start_over();
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
        open_error = std::string(path) + " is not a HID device";
        return 0;
    }
    // The handle written to must answer for itself: the device at the path
    // may have changed in between.
    HANDLE handle = open_for_writing(path);
    if (handle == INVALID_HANDLE_VALUE)
        return open_failed(path);
    if (!read_attributes(handle, vendor, product)) {
        CloseHandle(handle);
        open_error = std::string(path) + " is not a HID device";
        return 0;
    }
    if (check_ids && (vendor != vendor_id || product != product_id)) {
        CloseHandle(handle);
        open_error =
            path + (" has IDs " + ids_text(vendor, product)) + ", not " + ids_text(vendor_id, product_id);
        return 0;
    }
    // Only the bootloader's report shape is written to: a path to a
    // keyboard, or to another collection of the board, gets nothing.
    open_error = shape_refusal(path, vendor, product, check_ids, handle);
    if (!open_error.empty()) {
        CloseHandle(handle);
        return 0;
    }
    if (!take_board(path, open_error, held_elsewhere)) {
        CloseHandle(handle);
        return 0;
    }
    current_device = handle;
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

int device_send(const uint8_t *data, size_t length, double timeout_seconds)
{
    return hid_write_report(current_device, data, length, DWORD(timeout_seconds * 1000.0));
}

// Each write has ended when device_send returns: nothing is ever in hand.
int device_drain()
{
    return 1;
}

void device_close()
{
    if (current_device == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(current_device);
    current_device = INVALID_HANDLE_VALUE;
    unlock_board();
}
