// Finding the board to write to: the search, the wait for it, -touch=, and
// what to say when no board is there.
#pragma once

#include "output/failure.h"

// How long a matching device that cannot be opened is tried again while
// waiting: udev creates the node and grants access a little after the
// device appears.
inline constexpr double SETTLE_SECONDS = 2.0;

// Opens the board that run_options names (-device=, or a search by -usb=,
// -serial= and -location=): first resets it into its bootloader with
// -touch=, waits for it with -w (and after -touch=). Returns FAILURE_NONE
// with the board open, else the failure that says what was looked for:
// FAILURE_BUSY for a board that another run holds, FAILURE_TOUCH when the
// reset failed, FAILURE_OPTION for options that cannot find a board,
// FAILURE_NO_BOARD when no usable board is there. With -v, says which
// device is used and what else the search saw.
Failure open_board();

struct HidDeviceInfo;

// Whether a device found without -usb= may be the bootloader: 1 unless it
// opens and its report descriptor shows that it does not take the
// bootloader's reports (a keyboard). One that cannot be opened counts, so
// that its own run says why. Leaves the current device open.
int may_be_bootloader(const HidDeviceInfo &info);
