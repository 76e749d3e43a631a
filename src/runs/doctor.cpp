// -doctor: the checks of hid/doctor, printed one line each, and the status
// that says whether a board can be flashed now.
#include "runs/doctor.h"

#include "cli/options.h"
#include "hid/doctor.h"
#include "hid/search.h"
#include "output/console.h"
#include "output/text.h"
#include "runs/run_end.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

void print_check(FILE *out, const DoctorCheck &check, size_t subject_width)
{
    std::fprintf(out, "%-7s %-*s %s: %s%s%s\n", finding_verdict(check.finding), int(subject_width),
                 printable(check.subject).c_str(), check.name.c_str(), printable(check.text).c_str(),
                 check.fix.empty() ? "" : ". Fix: ", printable(check.fix).c_str());
}

}  // namespace

void run_doctor()
{
    const bool ids = run_options.vendor_id != 0 || run_options.product_id != 0;
    // -serial= and -location= narrow the devices looked at, as they narrow a search.
    const DoctorReport report = doctor_checks(
        DeviceFilter{ids, run_options.vendor_id, run_options.product_id, run_options.serial, run_options.location});
    // Standard output carries only events under -json: the lines go to standard error then.
    FILE *out = human_output();
    size_t width = 0;
    for (const DoctorCheck &check : report.system)
        width = std::max(width, printable(check.subject).size());
    for (const DoctorDevice &device : report.devices)
        width = std::max(width, printable(device.path).size());
    width = std::min(width, size_t(16));  // a Windows path would push every line far to the right
    for (const DoctorCheck &check : report.system)
        print_check(out, check, width);
    std::string ready;
    for (const DoctorDevice &device : report.devices) {
        for (const DoctorCheck &check : device.checks)
            print_check(out, check, width);
        if (device_flashable(device.checks)) {
            if (!ready.empty())
                ready.push_back(' ');
            ready.append(printable(device.path));
        }
    }
    const int count = flashable_devices(report);
    const std::string which = ids ? "with the IDs " + ids_text(run_options.vendor_id, run_options.product_id)
                                  : "that takes the bootloader's reports";
    if (count > 0)
        std::fprintf(out, "Ready: %d board%s %s can be flashed now: %s\n", count, count == 1 ? "" : "s",
                     which.c_str(), ready.c_str());
    else
        std::fprintf(out, "Not ready: no board %s can be flashed now\n", which.c_str());
    end_process(count > 0 ? 0 : 1);
}
