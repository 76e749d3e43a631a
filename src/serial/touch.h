// The serial-port touch: resets a board into its bootloader through its USB serial port.
//
// One file per platform implements this header: touch_linux.cpp over
// termios and sysfs, touch_windows.cpp over the Windows communications API.
#pragma once

#include <string>

// The running application of a board usually has a USB serial port, and
// resets into its bootloader when that port is opened at 1200 baud and
// closed. board_touch() does that to the port ("/dev/ttyACM0", "COM5"):
// it sets 1200 baud, drops DTR and closes the port, and writes nothing.
// Returns 1 when done, 0 when there is no such port, -1 when the port is
// there but could not be used (the reason in `why`).
int board_touch(const char *port, std::string &why);

// 1 when the serial port is there, else 0; opens nothing. `location` gets
// where the board behind it is plugged in, as HidDeviceInfo::location gives
// it for its bootloader, or empty when the system does not say.
int serial_port_present(const char *port, std::string &location);
