// -doctor: what flashing a board needs here, checked one line each.
#pragma once

// Prints one line per check of the system and of each HID device that
// -usb= names (every HID device without -usb=): its verdict (OK, NOTE,
// UNKNOWN, PROBLEM), what it looked at, what it found and the command that
// fixes a problem; then whether a board can be flashed now. Ends the
// process: status 0 only when a board can be flashed now, else 1.
[[noreturn]] void run_doctor();
