// -doctor on Windows: the HID collections with the IDs, whether each opens
// for writing, whether another quorvel run holds it (its named mutex) and
// whether it takes the bootloader's reports. There are no nodes, rules or
// groups to look at.

#include "hid/doctor.h"

#include "hid/hid_device.h"
#include "hid/report_shape.h"
#include "hid/search.h"
#include "os/error_text_windows.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

void device_checks(const HidDeviceInfo &info, std::vector<DoctorCheck> &checks)
{
    const std::string &path = info.path;
    checks.push_back(DoctorCheck{path, "collection", FINDING_OK,
                                 "a HID collection with the IDs " + ids_text(info.vendor_id, info.product_id) +
                                     (info.name.empty() ? "" : " (" + info.name + ")"),
                                 ""});
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    const DWORD code = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (handle != INVALID_HANDLE_VALUE)
        checks.push_back(DoctorCheck{path, "access", FINDING_OK, "it opens for writing", ""});
    else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        checks.push_back(DoctorCheck{path, "access", FINDING_NODE_MISSING,
                                     "it is gone: " + error_text(code),
                                     "plug the board in again and start its bootloader"});
    else
        checks.push_back(DoctorCheck{
            path, "access", FINDING_NO_ACCESS, "it does not open for writing: " + error_text(code),
            code == ERROR_ACCESS_DENIED
                ? "Windows keeps keyboards and mice to itself: pick the board's bootloader collection"
                : "close the program that holds it open, or plug the board in again"});
    if (device_in_use(path.c_str()))
        checks.push_back(DoctorCheck{path, "lock", FINDING_HELD, "another quorvel run is writing it (its mutex is held)",
                                     "wait for that run to end, or add -w to wait for the board"});
    else
        checks.push_back(DoctorCheck{path, "lock", FINDING_OK, "free: no quorvel run holds it", ""});
    if (handle == INVALID_HANDLE_VALUE) {
        checks.push_back(DoctorCheck{path, "reports", FINDING_UNKNOWN, "not looked at: it cannot be opened", ""});
        return;
    }
    const std::string problem = report_shape_problem(reinterpret_cast<intptr_t>(handle));
    CloseHandle(handle);
    if (problem.empty())
        checks.push_back(DoctorCheck{path, "reports", FINDING_OK,
                                     "takes the bootloader's reports (one 64-byte output report, no report IDs)",
                                     ""});
    else
        checks.push_back(DoctorCheck{path, "reports", FINDING_WRONG_SHAPE, "not the bootloader's: " + problem,
                                     "pick the board's bootloader collection with -device= (quorvel -list "
                                     "shows them)"});
}

}  // namespace

DoctorReport doctor_checks(const DeviceFilter &filter)
{
    DoctorReport report;
    const std::vector<HidDeviceInfo> devices = device_list();
    std::vector<HidDeviceInfo> chosen;
    for (const HidDeviceInfo &device : devices)
        if (device_filter_passes(filter, device))
            chosen.push_back(device);
    const std::string ids = ids_text(filter.vendor_id, filter.product_id);
    const std::string in_all =
        std::to_string(devices.size()) + " HID collection" + (devices.size() == 1 ? "" : "s") + " in all";
    if (chosen.empty()) {
        report.system.push_back(DoctorCheck{
            "system", "devices", FINDING_NO_DEVICE,
            (filter.match_ids ? "no HID collection with the IDs " + ids + " is present"
                              : std::string("no HID collection is present")) +
                " (" + in_all + ")",
            "put the board in its bootloader (press its reset button), then check its IDs with: quorvel -list"});
        return report;
    }
    report.system.push_back(DoctorCheck{"system", "devices", FINDING_OK,
                                        std::to_string(chosen.size()) +
                                            (filter.match_ids ? " with the IDs " + ids : std::string(" looked at")) +
                                            " (" + in_all + ")",
                                        ""});
    for (const HidDeviceInfo &device : chosen) {
        report.devices.push_back(DoctorDevice{device.path, {}});
        device_checks(device, report.devices.back().checks);
    }
    return report;
}
