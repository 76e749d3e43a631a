// The last write's failure, as a kind and a text.

#include "hid/send_failure.h"

namespace {

struct SendFailure {
    HidWriteError kind;
    std::string why;
} last_failure{HID_WRITE_NONE, ""};

}  // namespace

void note_send_failure(HidWriteError kind, const std::string &why)
{
    last_failure = SendFailure{kind, why};
}

const char *send_failure_reading(HidWriteError kind)
{
    switch (kind) {
    case HID_WRITE_GONE:
        return "the device is gone";
    case HID_WRITE_UNPLUGGED:
        return "the board stopped answering or was unplugged mid-transfer";
    case HID_WRITE_NONE:
    case HID_WRITE_LATE:
    case HID_WRITE_OTHER:
    case HID_WRITE_HOST_STALLED:
        break;
    }
    return nullptr;
}

HidWriteError device_send_failure()
{
    return last_failure.kind;
}

const char *device_send_error()
{
    return last_failure.why.c_str();
}
