// The device search that every platform shares, and the record of the last
// open: which device was chosen, which were passed over and why.

#include "hid/search.h"

#include <cstdio>

namespace {

// What the last device_open or device_open_path found.
struct OpenRecord {
    DeviceChoice choice;
    std::string error;  // the devices passed over, one line each; or why the open failed
    HidOpenError kind;
} record{DeviceChoice{}, "", HID_OPEN_NONE};

// Keeps one more reason why a matching device was not used.
void note_passed_over(const std::string &why)
{
    if (!record.error.empty())
        record.error += '\n';
    record.error += why;
}

}  // namespace

std::string ids_text(uint32_t vendor_id, uint32_t product_id)
{
    char text[24];
    std::snprintf(text, sizeof text, "%04x:%04x", unsigned(vendor_id), unsigned(product_id));
    return text;
}

std::string not_bootloader_text(const std::string &path, uint32_t vendor_id, uint32_t product_id)
{
    return path + " (" + ids_text(vendor_id, product_id) +
           ") is a HID device that does not take the bootloader's 64-byte reports; if it is the bootloader, "
           "name its IDs with -usb=";
}

void open_record_clear()
{
    record = OpenRecord{DeviceChoice{}, "", HID_OPEN_NONE};
}

void open_record_fail(HidOpenError kind, const std::string &why)
{
    record.kind = kind;
    record.error = why;
}

DeviceChoice &open_record_choice()
{
    return record.choice;
}

int search_devices(const DeviceFilter &filter, const SearchSteps &steps)
{
    open_record_clear();
    int taken = 0;
    std::string first_busy;  // the error when no matching device can be used
    HidOpenError first_kind = HID_OPEN_NONE;
    HidOpenError busy_kind = HID_OPEN_BUSY;
    for (HidDeviceInfo info : steps.list()) {
        DeviceLook look = steps.look(filter, info, !taken);
        record.choice.matching += look.matches;  // once one is taken, the rest are only counted
        if (taken)
            continue;
        if (look.taken) {
            taken = 1;
            record.choice.path = info.path;
            record.choice.vendor_id = info.vendor_id;
            record.choice.product_id = info.product_id;
            record.choice.serial = info.serial;
            record.choice.location = info.location;
        } else if (look.kind != HID_OPEN_NONE) {
            note_passed_over(look.why);
            if (first_kind == HID_OPEN_NONE)
                first_kind = look.kind;
            if ((look.kind == HID_OPEN_BUSY || look.kind == HID_OPEN_BUSY_LEFT_WRITE) && first_busy.empty()) {
                first_busy = look.why;
                busy_kind = look.kind;
            }
        }
    }
    if (taken)
        return 1;
    if (record.choice.matching == 0) {
        record.kind = HID_OPEN_ABSENT;
    } else if (!first_busy.empty()) {
        record.kind = busy_kind;
        record.error = first_busy;
    } else {
        // A listed device whose node is gone is still there for the search:
        // it is not waited for like an absent one, its error is final.
        record.kind =
            first_kind == HID_OPEN_NONE || first_kind == HID_OPEN_ABSENT ? HID_OPEN_OTHER : first_kind;
    }
    return 0;
}

const char *device_open_error()
{
    return record.error.c_str();
}

HidOpenError device_open_failure()
{
    return record.kind;
}

int device_absent()
{
    return record.kind == HID_OPEN_ABSENT;
}

int device_busy()
{
    return record.kind == HID_OPEN_BUSY || record.kind == HID_OPEN_BUSY_LEFT_WRITE;
}

const DeviceChoice &device_choice()
{
    return record.choice;
}
