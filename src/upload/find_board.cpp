// Finding the board: the search, the wait with its settle time, -touch=,
// and the messages for a board that is not there.
#include "upload/find_board.h"

#include "cli/options.h"
#include "hid/hid_device.h"
#include "os/clock.h"
#include "os/signals.h"
#include "output/console.h"
#include "output/events.h"
#include "output/text.h"
#include "serial/touch.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// How often a wait looks again: a bootloader that appears is in use within
// 50 ms, and a look reads only a few small sysfs files.
constexpr double WAIT_STEP = 0.05;

// What -touch= did, for the search and for the message when no bootloader
// appeared.
struct TouchRecord {
    int port_found;        // 1 when the port was there and was reset
    std::string location;  // where the reset board is plugged in, when known
} touch_record;

// The location that the search looks at: -location=, or else where the
// board that -touch= reset is plugged in, when the system says; null: any.
const char *searched_location()
{
    if (run_options.location)
        return run_options.location;
    if (run_options.touch_port && !run_options.device_path && !touch_record.location.empty())
        return touch_record.location.c_str();
    return nullptr;
}

// What a search by -usb=, -serial= and -location= lets through.
DeviceFilter search_filter()
{
    const uint32_t vendor_id = run_options.vendor_id, product_id = run_options.product_id;
    return DeviceFilter{vendor_id != 0 || product_id != 0, vendor_id, product_id, run_options.serial,
                        searched_location()};
}

int open_device_once()
{
    const uint32_t vendor_id = run_options.vendor_id, product_id = run_options.product_id;
    if (run_options.device_path)
        return device_open_path(run_options.device_path, vendor_id != 0 || product_id != 0, vendor_id,
                                product_id);
    return device_open(search_filter());
}

// The devices that the search could mean: those that it lets through,
// and without -usb= only those that may take the bootloader's reports.
std::vector<HidDeviceInfo> candidates()
{
    const DeviceFilter filter = search_filter();
    std::vector<HidDeviceInfo> found;
    for (const HidDeviceInfo &device : device_list())
        if (device_filter_passes(filter, device) && (filter.match_ids || may_be_bootloader(device)))
            found.push_back(device);
    return found;
}

// Where they are plugged in ("1-2.1, 1-2.2"; the path of one that the
// system does not place), for messages.
std::string places_of(const std::vector<HidDeviceInfo> &devices)
{
    std::string places;
    for (const HidDeviceInfo &device : devices)
        places +=
            (places.empty() ? "" : ", ") + printable(device.location.empty() ? device.path : device.location);
    return places;
}

// What the search looked for, for messages: "the IDs 5e1a:0001", with
// "and the serial number "X"" and "and the location "1-2"" when given.
std::string searched_for()
{
    char ids[32];
    std::snprintf(ids, sizeof ids, "the IDs %04x:%04x", unsigned(run_options.vendor_id),
                  unsigned(run_options.product_id));
    std::string text = run_options.vendor_id || run_options.product_id ? ids : "";
    for (auto [label, value] : {std::pair{"the serial number", run_options.serial},
                                std::pair{"the location", searched_location()}}) {
        if (value)
            text += (text.empty() ? "" : " and ") + std::string(label) + " \"" + printable(value) + "\"";
    }
    return text;
}

// The end of a wait of -w=SECONDS that saw no device appear.
Failure waited_in_vain(double waited)
{
    if (run_options.device_path)
        return failure(FAILURE_NO_BOARD, "Unable to open device\nNothing appeared at %s in %g s of waiting\n",
                       printable(run_options.device_path).c_str(), waited);
    return failure(
        FAILURE_NO_BOARD,
        "Unable to open device\nNo HID device with %s appeared in %g s of waiting: is the board in its "
        "bootloader? (see quorvel -list)\n",
        searched_for().c_str(), waited);
}

// How long -touch= waits for the bootloader without -w: a board resets and
// its bootloader enumerates within about a second.
constexpr double TOUCH_WAIT_SECONDS = 5.0;

// The end of a wait after -touch= that saw no bootloader appear.
Failure touch_in_vain(double waited)
{
    std::string port = printable(run_options.touch_port);
    if (!touch_record.port_found)
        return failure(
            FAILURE_NO_BOARD,
            "Unable to open device\nThere is no serial port %s, and no HID device with %s appeared in %g s: "
            "is the board plugged in? (see quorvel -list)\n",
            port.c_str(), searched_for().c_str(), waited);
    return failure(
        FAILURE_NO_BOARD,
        "Unable to open device\nThe board at %s did not enter its bootloader: no HID device with %s appeared "
        "in %g s after the reset. Its application may not reset on a 1200-baud touch: press the board's "
        "reset button instead, or allow longer with -w=SECONDS\n",
        port.c_str(), searched_for().c_str(), waited);
}

// -touch=PORT: resets the board's running application into its bootloader
// through its serial port. The search then looks only at the USB port the
// board is plugged in, where the system says which that is; where it does
// not, a bootloader with these IDs that is there already could be another
// board's, and the run ends rather than guess.
Failure touch_board()
{
    const char *port = run_options.touch_port;
    std::string shown = printable(port);
    int present = serial_port_present(port, touch_record.location);
    // Resetting a board other than the one -location= names would help no one.
    if (run_options.location && !touch_record.location.empty() &&
        touch_record.location != run_options.location)
        return failure(
            FAILURE_OPTION,
            "quorvel: -touch=%s is plugged in at %s, not at -location=%s\nGive the serial port of the "
            "board at %s, or leave out -location= (see quorvel -list)\n",
            shown.c_str(), printable(touch_record.location).c_str(), printable(run_options.location).c_str(),
            printable(run_options.location).c_str());
    if (present && !run_options.device_path && !searched_location() && !run_options.serial &&
        (run_options.vendor_id || run_options.product_id)) {
        const DeviceFilter same_ids{true, run_options.vendor_id, run_options.product_id, nullptr, nullptr};
        for (const HidDeviceInfo &device : device_list()) {
            if (device_filter_passes(same_ids, device))
                return failure(
                    FAILURE_NO_BOARD,
                    "Unable to open device\nA bootloader with the IDs %04x:%04x is present already (%s), and "
                    "it cannot be told from the board at %s: pick one with -location= or -serial=, or leave "
                    "out -touch= (see quorvel -list)\n",
                    unsigned(device.vendor_id), unsigned(device.product_id), printable(device.path).c_str(),
                    shown.c_str());
        }
    }
    std::string why;
    int touched = present ? board_touch(port, why) : 0;
    if (touched < 0)
        return failure(
            FAILURE_TOUCH,
            "Unable to reset the board through %s\n%s: press the board's reset button instead, and leave "
            "out -touch=\n",
            shown.c_str(), printable(why).c_str());
    touch_record.port_found = touched;
    event_touch(port, touched != 0, touch_record.location);
    if (touched)
        std::fprintf(human_output(), "Reset the board at %s into its bootloader (1200 baud)\n",
                     shown.c_str());
    else
        std::fprintf(human_output(), "There is no serial port %s: looking for a board in its bootloader\n",
                     shown.c_str());
    std::fflush(human_output());
    return Failure{FAILURE_NONE, "", 0, nullptr, -1};
}

// Why the board could not be opened: nothing to look for, a board that
// another run holds, the devices passed over, or none there.
Failure not_opened()
{
    if (!run_options.device_path && run_options.vendor_id == 0 && run_options.product_id == 0 &&
        !run_options.serial && !run_options.location)
        return failure(
            FAILURE_OPTION,
            "Unable to open device\nName the bootloader with -usb=<vid:pid> or -device=<path> (quorvel -list "
            "shows the HID devices present)\n");
    if (device_busy()) {
        const bool waited = run_options.wait || run_options.touch_port;
        const char *advice =
            device_open_failure() == HID_OPEN_BUSY_LEFT_WRITE
                ? (waited ? "The board is free once that write ends: try again then, or allow a longer wait "
                            "with -w=SECONDS"
                          : "The board is free once that write ends: try again then, or add -w to wait for it")
                : (waited ? "Wait for that run to end, or allow a longer wait with -w=SECONDS"
                          : "Wait for that run to end, or add -w to wait for the board to become free");
        return failure(FAILURE_BUSY, "quorvel: %s\nNothing was written. %s\n",
                       printable(device_open_error()).c_str(), advice);
    }
    if (*device_open_error())
        return failure(FAILURE_NO_BOARD, "Unable to open device\n%s\n",
                       printable_lines(device_open_error()).c_str());
    return failure(
        FAILURE_NO_BOARD,
        "Unable to open device\nNo HID device with %s is present: see quorvel -list. Start the bootloader "
        "(press the board's reset button), or add -w to wait for it\n",
        searched_for().c_str());
}

// Opens the device; with -w, waits for it to appear (with -w=SECONDS, at
// most that long); after -touch=, for TOUCH_WAIT_SECONDS unless -w says
// otherwise. A device that is there but cannot be opened is tried again
// for SETTLE_SECONDS before its error is final. Returns FAILURE_NONE once
// the device is open.
Failure open_device()
{
    const Failure opened{FAILURE_NONE, "", 0, nullptr, -1};
    if (open_device_once())
        return opened;
    const bool touched = run_options.touch_port != nullptr;
    if (!run_options.wait && !touched)
        return not_opened();
    if (device_busy())
        std::fprintf(human_output(), "Waiting for the board to become free: %s (Ctrl-C to stop)\n",
                     printable(device_open_error()).c_str());
    else if (touched)
        std::fprintf(human_output(), "Waiting for the bootloader (Ctrl-C to stop)\n");
    else if (run_options.device_path)
        std::fprintf(
            human_output(),
            "Waiting for %s: press the board's reset button to start its bootloader (Ctrl-C to stop)\n",
            printable(run_options.device_path).c_str());
    else if (run_options.vendor_id || run_options.product_id)
        std::fprintf(human_output(),
                     "Waiting for the bootloader %04X:%04X: press the board's reset button to start it "
                     "(Ctrl-C to stop)\n",
                     unsigned(run_options.vendor_id), unsigned(run_options.product_id));
    else
        std::fprintf(human_output(),
                     "Waiting for the HID device with %s: press the board's reset button to start its "
                     "bootloader (Ctrl-C to stop)\n",
                     searched_for().c_str());
    std::fflush(human_output());
    exit_on_interrupt(130);
    const double limit = run_options.wait ? run_options.wait_limit : TOUCH_WAIT_SECONDS;
    double waited = 0;
    double failing_for = 0;  // how long a device that is there has refused to open
    while (failing_for < SETTLE_SECONDS) {
        if (limit > 0 && waited >= limit) {
            if (!device_absent())
                return not_opened();  // there but not usable: the open's error says why
            return touched ? touch_in_vain(limit) : waited_in_vain(limit);
        }
        double step = limit > 0 && limit - waited < WAIT_STEP ? limit - waited : WAIT_STEP;
        pause_seconds(step);
        waited += step;
        if (open_device_once())
            return opened;
        // A board that another run writes is waited for like an absent one.
        failing_for = device_absent() || device_busy() ? 0 : failing_for + step;
    }
    return not_opened();
}

// A search that several devices pass. A serial number was meant to name
// one board, and after -touch= at a port that the system does not place
// the reset board cannot be told from another: both refuse, before
// anything is written. IDs alone name a kind of board: the first is used,
// as always, with a warning.
// Sets `count` to how many devices the search could mean.
Failure settle_ambiguity(int &count)
{
    const Failure settled{FAILURE_NONE, "", 0, nullptr, -1};
    count = device_choice().matching;
    if (run_options.device_path || count < 2)
        return settled;
    const std::vector<HidDeviceInfo> found = candidates();
    count = int(found.size());
    if (count < 2)
        return settled;
    if (run_options.serial && !searched_location()) {
        device_close();
        return failure(
            FAILURE_NO_BOARD,
            "Unable to open device\n%d devices have the serial number \"%s\" (at %s): add -location= to pick "
            "one, or use -all to program them all (see quorvel -list)\n",
            count, printable(run_options.serial).c_str(), places_of(found).c_str());
    }
    if (run_options.touch_port && !searched_location()) {
        device_close();
        return failure(
            FAILURE_NO_BOARD,
            "Unable to open device\n%d bootloaders with %s are present after the reset through %s (at %s), "
            "and the system does not say where that port is plugged in: nothing was written. Add -location= "
            "to pick the board (see quorvel -list)\n",
            count, searched_for().c_str(), printable(run_options.touch_port).c_str(),
            places_of(found).c_str());
    }
    std::fprintf(stderr,
                 "quorvel: warning: %d devices have %s; writing to the first, %s. Pick one with -serial=, "
                 "-location= or -device=, or program them all with -all (see quorvel -list)\n",
                 count, searched_for().c_str(), printable(device_choice().path).c_str());
    return settled;
}

// Says in -v output which device is used, and why when the search could
// mean `count` > 1 of them, and what else the search saw.
void describe_device(int count)
{
    const DeviceChoice &choice = device_choice();
    log_verbose("Device: %s (%04x:%04x)\n", printable(choice.path).c_str(), unsigned(choice.vendor_id),
                unsigned(choice.product_id));
    if (count > 1)
        log_verbose("Chosen: %s, the first usable of %d devices with %s\n", printable(choice.path).c_str(),
                    count, searched_for().c_str());
    if (*device_open_error())
        log_verbose("Passed over: %s\n", printable_lines(device_open_error()).c_str());
}

}  // namespace

int may_be_bootloader(const HidDeviceInfo &info)
{
    return device_may_take_bootloader_reports(info);
}

Failure open_board()
{
    // A path names its device; a search needs IDs, a serial number or a
    // location. Without any there is nothing to look for: bootloader
    // commands must never go to whatever device happens to report 0000:0000.
    bool have_target = run_options.device_path || run_options.vendor_id != 0 || run_options.product_id != 0 ||
                       run_options.serial || run_options.location;
    if (!have_target)
        return not_opened();
    if (run_options.touch_port) {
        const Failure touched = touch_board();
        if (failed(touched))
            return touched;
    }
    const Failure opened = open_device();
    if (failed(opened))
        return opened;
    int count = 0;
    const Failure settled = settle_ambiguity(count);
    if (failed(settled))
        return settled;
    log_verbose("Found HID Bootloader\n");
    describe_device(count);
    return settled;
}
