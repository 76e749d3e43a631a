// The boards that the selection names.
#include "copies/matching_boards.h"

#include "cli/options.h"

std::vector<HidDeviceInfo> matching_boards(int (*may_be_bootloader)(const HidDeviceInfo &info))
{
    const RunOptions &o = run_options;
    const bool match_ids = o.vendor_id != 0 || o.product_id != 0;
    DeviceFilter filter{match_ids, o.vendor_id, o.product_id, o.serial, o.location};
    std::vector<HidDeviceInfo> boards;
    for (const HidDeviceInfo &info : device_list())
        if (device_filter_passes(filter, info) && (match_ids || may_be_bootloader(info)))
            boards.push_back(info);
    return boards;
}
