// What every platform's device search shares: the record of the last open
// (the device chosen, the devices passed over and why, the failure's kind)
// and the search itself over the present interfaces. The platform gives the
// steps that touch a device (hid_device_<platform>.cpp).
#pragma once

#include "hid/hid_device.h"

#include <cstdint>
#include <string>
#include <vector>

// What a platform's step made of one listed interface.
struct DeviceLook {
    int matches;        // 1 when the filter lets it through: it is counted
    int taken;          // 1 when it is now the current device, taken for this run
    HidOpenError kind;  // why it was not taken, when it was tried; HID_OPEN_NONE when it was not tried
    std::string why;    // that reason for people, one line naming the device
};

// The platform's steps of a search.
struct SearchSteps {
    // The present interfaces, in the order in which they are tried.
    std::vector<HidDeviceInfo> (*list)();
    // Looks at one listed interface. With `take`, an interface that the
    // filter lets through is opened, proven and taken as the current device
    // (filling in what the system gives of it: IDs, serial number), or the
    // reason is given; without, it is only counted when it matches.
    DeviceLook (*look)(const DeviceFilter &filter, HidDeviceInfo &info, int take);
};

// Takes the first listed interface that the steps can take, counting the
// others that match, and keeps what happened for device_choice(),
// device_open_error() and device_open_failure(). Returns 1 when one was
// taken. A board that another run holds is passed over; when no other
// could be taken, that is the error.
int search_devices(const DeviceFilter &filter, const SearchSteps &steps);

// The open record emptied, before an open by path.
void open_record_clear();

// An open by path that failed, with its kind and the reason for people.
void open_record_fail(HidOpenError kind, const std::string &why);

// The choice of the open by path in progress, for the platform to fill in.
DeviceChoice &open_record_choice();

// "5e1a:0001".
std::string ids_text(uint32_t vendor_id, uint32_t product_id);

// The reason for a device at this path that does not take the bootloader's
// reports, when the run did not name IDs: it is only known not to be a
// bootloader.
std::string not_bootloader_text(const std::string &path, uint32_t vendor_id, uint32_t product_id);
