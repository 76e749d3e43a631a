// -expect-app: the protocol cannot read the flash back, so "Done." alone
// only means that every report was delivered. What can be checked is what
// the board does next: its bootloader leaves the bus and the application, a
// new USB device, appears at the same USB port.
#pragma once

#include "output/events.h"
#include "output/failure.h"

#include <cstdint>
#include <string>

struct AppWanted {
    uint32_t vendor_id;  // the application's IDs; both 0 for any device
    uint32_t product_id;
    double seconds;   // the longest wait after START_APPLICATION
    const char *mcu;  // the -mmcu= part, for the advice; null when not given
};


// Before anything is written: notes the port of the open board (at
// `hid_path`, found at `location`) and what is there now, the bootloader.
// FAILURE_OPTION when the system does not place the board on a USB port:
// then nothing can be watched, and nothing has been written.
Failure app_watch_begin(const std::string &hid_path, const std::string &location, const std::string &shown);

// After START_APPLICATION, delivered `since_start` seconds ago: waits until
// the bootloader has left and a device has appeared at its port, and says
// what appeared. FAILURE_APPLICATION when the bootloader stays, nothing
// appears, or a device with other IDs than `wanted` appears, within
// `wanted.seconds`; FAILURE_INTERRUPTED for a stop signal meanwhile.
Failure app_wait(const AppWanted &wanted, double since_start, ApplicationSeen &seen);
