// The current HID device on Windows: open, identity check, overlapped timed write, close.
//
// The search walks the present HID device interfaces, opens each for
// overlapped I/O and compares its vendor and product ID; the first match
// stays open as the current device. A report goes out as one overlapped
// WriteFile whose completion is awaited with the time limit; a write that
// times out is cancelled, and awaited, before its buffer goes away. Once
// a device has answered as the one sought, the run takes it (see
// device_lock_windows.cpp) before the first write.

#include "hid/hid_device_windows.h"

#include "hid/device_lock_windows.h"
#include "hid/enumerate_windows.h"
#include "hid/error_text_windows.h"
#include "hid/hid_device.h"

#include <windows.h>

// mingw-w64's hidsdi.h does not declare its functions extern "C".
extern "C" {
#include <hidsdi.h>
}

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

HANDLE current_device = INVALID_HANDLE_VALUE;
HANDLE write_event = nullptr;  // completion event of every write, kept for the run
std::string open_error;
DeviceChoice choice;
bool nothing_there = false;   // the last open found no device at all
bool held_elsewhere = false;  // the last open failed on a board that another run holds
std::string send_error;

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

// Whether the device takes the bootloader's reports: 64 bytes after the
// report ID. A keyboard, a mouse or any other HID device does not.
bool takes_bootloader_reports(HANDLE handle)
{
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(handle, &preparsed))
        return false;
    HIDP_CAPS caps{};
    bool fits = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS && caps.OutputReportByteLength == 65;
    HidD_FreePreparsedData(preparsed);
    return fits;
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

// Opens the first present HID interface that the filter lets through, or
// none; counts the others. A board that another run holds is passed over;
// when no other can be used, it is the error.
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
            continue;
        }
        if (describe(handle, info) && device_filter_passes(filter, info)) {
            ++choice.matching;
            if (found == INVALID_HANDLE_VALUE) {
                std::string why;
                bool busy = false;
                if (!filter.match_ids && !takes_bootloader_reports(handle)) {
                    why = path + (" (" + ids_text(info.vendor_id, info.product_id)) + BOOTLOADER_SHAPE_ERROR;
                } else if (take_board(path, why, busy)) {
                    found = handle;
                    choice.path = path;
                    choice.vendor_id = info.vendor_id;
                    choice.product_id = info.product_id;
                    choice.serial = info.serial;
                    choice.location = info.location;
                    continue;  // go on counting
                } else if (busy && first_busy.empty()) {
                    first_busy = why;
                }
                open_error += (open_error.empty() ? "" : "\n") + why;
            }
        }
        CloseHandle(handle);
    }
    if (found == INVALID_HANDLE_VALUE && !first_busy.empty()) {
        held_elsewhere = true;
        open_error = first_busy;
    }
    return found;
}

// Says why the write failed.
int write_failed(DWORD code)
{
    send_error = code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_FILE_NOT_FOUND
                     ? "the device is gone (" + error_text(code) + ")"
                     : error_text(code);
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

// Writes report ID 0 and the data as one overlapped write.
int hid_write_report(void *handle, const uint8_t *data, size_t length, unsigned long timeout_ms)
{
    if (length > HID_MAX_REPORT) {
        send_error = "the report is too long";
        return 0;
    }
    if (!write_event) {
        write_event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        if (!write_event)
            return write_failed(GetLastError());
    }
    ResetEvent(write_event);

    OVERLAPPED overlapped{};
    overlapped.hEvent = write_event;
    uint8_t buffer[HID_MAX_REPORT + 1] = {};
    std::memcpy(buffer + 1, data, length);  // byte 0 is the report ID, 0

    DWORD written = 0;
    if (!WriteFile(handle, buffer, DWORD(length + 1), nullptr, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return write_failed(GetLastError());
        DWORD waited = WaitForSingleObject(write_event, timeout_ms);
        if (waited != WAIT_OBJECT_0) {
            // The write still uses the buffer and the OVERLAPPED on this
            // stack: cancel it and wait until it has really ended.
            DWORD code = waited == WAIT_TIMEOUT ? 0 : GetLastError();
            CancelIo(handle);
            GetOverlappedResult(handle, &overlapped, &written, TRUE);
            if (code != 0)
                return write_failed(code);
            send_error = "no answer within " + std::to_string(timeout_ms) + " ms";
            return 0;
        }
    }
    if (!GetOverlappedResult(handle, &overlapped, &written, FALSE))
        return write_failed(GetLastError());
    if (written != length + 1) {
        send_error = "the device took only " + std::to_string(written) + " of " + std::to_string(length + 1) +
                     " bytes";
        return 0;
    }
    return 1;
}

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
    HANDLE handle = open_for_writing(path);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        nothing_there = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        note_open_failure(path);
        return 0;
    }
    uint32_t vendor = 0, product = 0;
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
    // Without IDs to check, the device must at least be shaped like the
    // bootloader: a path to a keyboard gets nothing.
    if (!check_ids && !takes_bootloader_reports(handle)) {
        CloseHandle(handle);
        open_error = path + (" (" + ids_text(vendor, product)) + BOOTLOADER_SHAPE_ERROR;
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
    // The serial number and location, as a search gives them.
    for (const HidDeviceInfo &info : device_list()) {
        if (lstrcmpiA(info.path.c_str(), path) == 0) {
            choice.serial = info.serial;
            choice.location = info.location;
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

int device_send(const uint8_t *data, size_t length, double timeout_seconds)
{
    if (current_device == INVALID_HANDLE_VALUE) {
        send_error = "no device is open";
        return 0;
    }
    return hid_write_report(current_device, data, length, DWORD(timeout_seconds * 1000.0));
}

const char *device_send_error()
{
    return send_error.c_str();
}

void device_close()
{
    if (current_device == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(current_device);
    current_device = INVALID_HANDLE_VALUE;
    unlock_board();
}
