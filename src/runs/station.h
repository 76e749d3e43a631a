// A flashing station: each board programmed as it is plugged in, for hours.
#pragma once

// Programs every board that matches -usb= (and -serial=, -location=) as it
// appears, each by a copy of quorvel with -device= for it, side by side; a
// board that stays is not written again, one that went away and came back
// is. Runs until SIGINT or SIGTERM, or until -station=N boards have ended,
// then prints the summary and ends the process: status 0 only when no
// board failed.
[[noreturn]] void run_station();
