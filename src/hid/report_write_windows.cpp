// The overlapped write of the Windows transport: a report goes out as one
// overlapped WriteFile whose completion is awaited with the time limit; a
// write that times out is cancelled, and awaited, before its buffer goes away.

#include "os/error_text_windows.h"
#include "hid/hid_device.h"
#include "hid/hid_device_windows.h"
#include "hid/send_failure.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

HANDLE write_event = nullptr;  // completion event of every write, kept for the run

// "A device which does not exist was specified": mingw-w64's winerror.h lacks it.
constexpr DWORD NO_SUCH_DEVICE = 433;

// Says why the write failed.
int write_failed(DWORD code)
{
    // What a write returns once the board has been unplugged or has reset
    // itself, depending on the driver and on how far its removal has got.
    const bool gone = code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_FILE_NOT_FOUND ||
                      code == NO_SUCH_DEVICE || code == ERROR_DEV_NOT_EXIST || code == ERROR_DEVICE_REMOVED;
    if (gone)
        note_send_failure(HID_WRITE_GONE,
                          std::string(send_failure_reading(HID_WRITE_GONE)) + " (" + error_text(code) + ")");
    else
        note_send_failure(HID_WRITE_OTHER, error_text(code));
    return 0;
}

}  // namespace

// Writes report ID 0 and the data as one overlapped write.
int hid_write_report(void *handle, const uint8_t *data, size_t length, unsigned long timeout_ms)
{
    if (handle == INVALID_HANDLE_VALUE) {
        note_send_failure(HID_WRITE_OTHER, "no device is open");
        return 0;
    }
    if (length > HID_MAX_REPORT) {
        note_send_failure(HID_WRITE_OTHER, "the report is too long");
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
            note_send_failure(HID_WRITE_LATE, "no answer within " + std::to_string(timeout_ms) + " ms");
            return 0;
        }
    }
    if (!GetOverlappedResult(handle, &overlapped, &written, FALSE))
        return write_failed(GetLastError());
    if (written != length + 1) {
        note_send_failure(HID_WRITE_OTHER, "the device took only " + std::to_string(written) + " of " +
                                               std::to_string(length + 1) + " bytes");
        return 0;
    }
    return 1;
}
