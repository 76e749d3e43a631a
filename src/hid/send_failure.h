// Why the last report was not delivered: the kind that callers decide on
// (HidWriteError, hid_device.h) and the text for people beside it. Kept by
// the platform's write, read through device_send_failure() and
// device_send_error().
#pragma once

#include "hid/hid_device.h"

#include <string>

// Keeps this as the last write's failure.
void note_send_failure(HidWriteError kind, const std::string &why);

// How a failure of this kind begins when the board went away: "the device
// is gone", "the board stopped answering or was unplugged mid-transfer";
// null for the other kinds.
const char *send_failure_reading(HidWriteError kind);
