// -expect-app: watching the board's USB port after START_APPLICATION.
#include "upload/expect_app.h"

#include "os/clock.h"
#include "os/signals.h"
#include "os/usb_port.h"
#include "output/text.h"

#include <chrono>
#include <cstdio>
#include <string_view>

namespace {

// The board's port, and what was there before the upload: its bootloader.
struct AppWatch {
    std::string port;
    UsbPortDevice bootloader;
};
AppWatch watch;

// How often the port is looked at: the application's appearance is timed
// to this.
constexpr double LOOK_SECONDS = 0.02;

std::string ids_text(uint32_t vendor_id, uint32_t product_id)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", unsigned(vendor_id & 0xFFFF), unsigned(product_id & 0xFFFF));
    return text;
}

// The advice that every outcome but one shares: the firmware itself.
std::string built_for(const char *mcu)
{
    return mcu && *mcu ? std::string("Check that the firmware was built for ") + mcu + " and this board"
                       : std::string("Check that the firmware was built for this board");
}

}  // namespace

Failure app_watch_begin(const std::string &hid_path, const std::string &location, const std::string &shown)
{
    watch.port = usb_port_of(hid_path, location);
    watch.bootloader = usb_port_look(watch.port);
    if (!watch.bootloader.present)
        return failure(FAILURE_OPTION,
                       "quorvel cannot tell which USB port %s is plugged into, so -expect-app cannot watch "
                       "for the application there\nNothing was written. Leave out -expect-app, or plug the "
                       "board into a USB port of this machine (not through a virtual or network device)\n",
                       shown.c_str());
    return Failure{FAILURE_NONE, "", 0, nullptr, -1};
}

Failure app_wait(const AppWanted &wanted, double since_start, ApplicationSeen &seen)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(since_start));
    const std::string where = printable(usb_port_name(watch.port));
    const bool any = wanted.vendor_id == 0 && wanted.product_id == 0;
    bool left = false;
    for (;;) {
        const UsbPortDevice now = usb_port_look(watch.port);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!now.present) {
            left = true;
        } else if (now.identity != watch.bootloader.identity) {
            seen = ApplicationSeen{now.vendor_id, now.product_id, now.product, now.serial, usb_port_name(watch.port),
                           seconds};
            if (any || (now.vendor_id == wanted.vendor_id && now.product_id == wanted.product_id))
                return Failure{FAILURE_NONE, "", 0, nullptr, -1};
            return failure(FAILURE_APPLICATION,
                           "A device %s appeared at %s, not %s: another firmware started, or the application "
                           "has other IDs\n%s, or give the application's IDs to -expect-app= (quorvel -list "
                           "shows what is plugged in)\n",
                           ids_text(now.vendor_id, now.product_id).c_str(), where.c_str(),
                           ids_text(wanted.vendor_id, wanted.product_id).c_str(), built_for(wanted.mcu).c_str());
        }
        if (seconds >= wanted.seconds) {
            if (!left)
                return failure(FAILURE_APPLICATION,
                               "The board is still in its bootloader %g s after START_APPLICATION: the "
                               "application did not start\n%s\n",
                               wanted.seconds, built_for(wanted.mcu).c_str());
            return failure(FAILURE_APPLICATION,
                           "No device appeared at %s within %g s after START_APPLICATION: the bootloader left, "
                           "but the application did not come up on USB\n%s; an application that does not use "
                           "USB cannot be checked this way: leave out -expect-app\n",
                           where.c_str(), wanted.seconds, built_for(wanted.mcu).c_str());
        }
        if (const int signal = take_stop_signal(); signal != 0) {
            Failure stopped = failure(FAILURE_INTERRUPTED,
                                      "quorvel: interrupted while waiting for the application: the firmware was "
                                      "written and START_APPLICATION delivered, but whether the application "
                                      "started is not known\nLook at the board, or run quorvel -list to see what "
                                      "is plugged in at %s\n",
                                      where.c_str());
            stopped.signal = signal;
            return stopped;
        }
        pause_seconds(LOOK_SECONDS);
    }
}
