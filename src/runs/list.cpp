// -list: every present HID interface, with the ones that -usb= names marked
// and the ones that another run writes to shown as busy.
#include "runs/run_end.h"
#include "runs/list.h"

#include "output/console.h"
#include "output/events.h"
#include "cli/options.h"
#include "output/text.h"
#include "hid/hid_device.h"

#include <cstdio>
#include <vector>

namespace {

// Whether -list marks the device as a match: it has the IDs of -usb=.
bool listed_as_match(const HidDeviceInfo &device)
{
    bool have_ids = run_options.vendor_id != 0 || run_options.product_id != 0;
    return have_ids &&
           device_filter_passes(
               DeviceFilter{true, run_options.vendor_id, run_options.product_id, nullptr, nullptr}, device);
}

}  // namespace

void run_list()
{
    std::vector<HidDeviceInfo> devices = device_list();
    if (run_options.json) {
        std::vector<ListedDevice> listed;
        for (const HidDeviceInfo &device : devices)
            listed.push_back(ListedDevice{device.path, device.vendor_id, device.product_id,
                                          listed_as_match(device), device.name, device.serial,
                                          device.location, device_in_use(device.path.c_str()) != 0});
        print_device_array(listed);
        end_process(0);
    }
    if (devices.empty())
        std::puts("No HID devices found");
    for (const HidDeviceInfo &device : devices) {
        // The name comes from the device: keep the line a line, the fields fields.
        // A board that another run writes gets a seventh field, "busy".
        bool match = listed_as_match(device);
        std::printf("%s\t%04x:%04x\t%s\t%s\t%s\t%s%s\n", printable(device.path).c_str(),
                    unsigned(device.vendor_id), unsigned(device.product_id), match ? "match" : "-",
                    printable(device.name).c_str(), printable(device.serial).c_str(),
                    printable(device.location).c_str(), device_in_use(device.path.c_str()) ? "\tbusy" : "");
    }
    end_process(0);
}
