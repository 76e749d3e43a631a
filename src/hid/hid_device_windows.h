// The overlapped write of the Windows transport, on any open handle.
#pragma once

#include <cstddef>
#include <cstdint>

// One report on an open overlapped handle, with the time limit in
// milliseconds: the write that device_send makes. Returns 1 when the whole
// report was written within the limit, else 0 (the reason in
// device_send_error()); also 0 for INVALID_HANDLE_VALUE, no device.
int hid_write_report(void *handle, const uint8_t *data, size_t length, unsigned long timeout_ms);
