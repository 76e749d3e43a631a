// The command line: the run's settings and the parser that fills them.
#pragma once

#include <cstdint>

struct RunOptions {
    const char *hex_path;  // the HEX file; null until a file name is met
    uint32_t vendor_id;    // USB IDs to match; 0 until -usb= is met
    uint32_t product_id;
    int32_t code_size;        // flash bytes of the MCU; 0 until -mmcu= is met
    int32_t block_size;       // bytes per programming block, 128 or 256
    int32_t verbose;          // 1 after -v
    int32_t dry_run;          // 1 after -n: walk the upload without a device
    int32_t wait;             // 1 after -w: wait for the bootloader to appear
    double wait_limit;        // -w=SECONDS: the longest wait; 0 waits without limit
    int32_t list;             // 1 after -list: list the HID devices and end
    const char *device_path;  // -device=: this device instead of a search
    const char *serial;       // -serial=: only the device with this USB serial number
    const char *location;     // -location=: only the device plugged in here ("1-2.3")
    int32_t json;             // 1 after -json: standard output carries only JSON events
    int32_t all;              // 1 after -all: every matching board at once
    int32_t all_count;        // -all=N: exactly this many boards; 0 for any number
    const char *touch_port;   // -touch=: reset the board through this serial port first
    const char *mcu;          // the -mmcu= name as given, for the log
    const char *log_path;     // -log=: append one JSON line per board ended to this file
    int32_t station;          // 1 after -station: program each matching board as it appears
    int32_t station_count;    // -station=N: end after N boards; 0 runs until a stop signal
};

// The process's one set of settings, all zero at start.
extern RunOptions run_options;


// Looks up an MCU name ("atmega32u4", "at90usb1287", ...). Returns 1 and sets
// the two sizes, or 0 for a name that is not in the table.
int find_mcu(const char *name, int32_t &code_size, int32_t &block_size);

// Reads the arguments after the program name into run_options, -json first.
// A malformed -usb=, an unknown -mmcu= or an empty -serial= or -location=
// ends the run through fail(); -h, --help and --version print their text
// (on standard error with -json) and end the run with status 0.
void read_arguments(int argc, char **argv);

// Writes what is missing ("Filename must be specified") and the usage text
// to standard error, and ends the process with status 1; with -json, an
// error event says what is missing.
[[noreturn]] void print_usage(const char *problem);
