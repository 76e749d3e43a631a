// The command line: the run's settings and the parser that fills them.
#pragma once

#include "image/mcu_table.h"
#include "output/failure.h"
#include "stamp/stamp_settings.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct RunOptions {
    const char *hex_path;  // the firmware file (HEX, ELF or binary); null until a file name is met
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
    const char *log_name;     // -log-name=: the HEX file's name for the log line (a board's copy)
    int32_t board_lock;       // -board-lock=N: the inherited descriptor (3 or more) that holds the board's lock; 0 none
    int32_t station;          // 1 after -station: program each matching board as it appears
    int32_t station_count;    // -station=N: end after N boards; 0 runs until a stop signal
    int32_t expect_app;       // 1 after -expect-app: wait for the application to appear after the upload
    uint32_t app_vendor_id;   // -expect-app=VID:PID: the IDs it must have; both 0 for any device
    uint32_t app_product_id;
    double app_wait;          // -app-wait=SECONDS: how long a board's copy waits for it (its run's -w=)
    int32_t boot;             // 1 after -boot: only start the application, write nothing
    int32_t above64k;         // 1 after -above64k: the image covers a 128 KiB part's whole flash
    int32_t show_help;        // 1 after -h or --help: show the usage text and end
    int32_t show_version;     // 1 after --version: show the version and end
    int32_t doctor;           // 1 after -doctor: check what flashing needs here and end
    int32_t binary;           // 1 after -binary[=BASE]: the file is a raw binary, not HEX or ELF
    uint32_t binary_base;     // -binary=BASE: the flash address of its first byte (0 by default)
    // -stamp=ADDR,FORMAT with -stamp-from=, -stamp-list=, -stamp-state=:
    // each board's own value in its copy of the image.
    StampSettings stamp;
    const char *stamp_value;  // -stamp-value=: a board's copy's value, taken by its run; null otherwise
};

// The process's one set of settings, all zero at start.
extern RunOptions run_options;


// How long -expect-app waits for the application to appear: -app-wait= (as
// a board's copy gets it), else the run's -w=SECONDS, else 5 s.
double expect_app_seconds();

// Reads the arguments after the program name into run_options, -json first.
// A malformed -usb=, an unknown -mmcu=, an empty -serial= or -location= and
// the like stop the reading there: the failure (FAILURE_OPTION) says what
// is wrong. -h, --help and --version set show_help or show_version and
// stop the reading there too. An option that quorvel does not know gets a
// warning on standard error and is passed over.
Failure read_arguments(int argc, char **argv);

// How a board's copy of quorvel (under -all and -station) comes by an option.
enum CopyPassing {
    COPY_PASSED,    // as this run has it: the rule's pass_on writes it
    COPY_REPLACED,  // with a value of the copy's own (its board's -device=, the settle -w=, -json)
    COPY_KEPT,      // not at all: this run does it for every board, or ends before any copy
};

// One option: its name as typed ("-v"; one that takes a value ends in "=",
// as "-usb="), its reader and what a board's copy gets of it.
struct OptionRule {
    const char *name;
    CopyPassing copy;
    // Fills run_options from what follows the name ("" for a flag), which
    // stays in argv for the settings to point into.
    Failure (*read)(const char *value);
    // COPY_PASSED: adds the option, as run_options has it, to a copy's
    // arguments, or nothing when the run does not have it; else null.
    void (*pass_on)(std::vector<std::string> &arguments);
};

// Every option that quorvel knows.
std::span<const OptionRule> option_rules();
