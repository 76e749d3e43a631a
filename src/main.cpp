// quorvel: writes an Intel HEX file into an AVR microcontroller that runs a
// USB HID bootloader. main reads the command line and picks the run.

#include "cli/console.h"
#include "cli/options.h"
#include "cli/text.h"
#include "upload/all_boards.h"
#include "upload/dry_run.h"
#include "upload/list_devices.h"
#include "upload/load_firmware.h"
#include "upload/one_board.h"
#include "upload/station.h"

#include <cstdio>

int main(int argc, char **argv)
{
    guard_standard_streams();
    read_arguments(argc, argv);
    if (run_options.list)
        list_devices();
    if (!run_options.hex_path)
        print_usage("Filename must be specified");
    if (run_options.code_size == 0)
        print_usage("MCU type must be specified");

    if (run_options.all && run_options.touch_port)
        fail("quorvel: -touch= resets one board: it cannot be combined with -all\nLeave out -all to reset "
             "and flash that one board, or -touch= to program every board in its bootloader\n");
    // Each copy of an -all run gets its own -device=: a path given here would be dropped.
    if (run_options.all && run_options.device_path)
        fail("quorvel: -device= names one board: it cannot be combined with -all\nLeave out -all to "
             "program the board at %s, or -device= to program every matching board\n",
             printable(run_options.device_path).c_str());

    if (run_options.station && (run_options.touch_port || run_options.device_path || run_options.all))
        fail(
            "quorvel: -station programs every matching board as it appears: it cannot be combined with "
            "%s\nLeave out -station to program %s, or %s to keep programming boards as they are plugged in\n",
            run_options.all          ? "-all"
            : run_options.touch_port ? "-touch="
                                     : "-device=",
            run_options.all ? "the boards present now" : "that one board",
            run_options.all          ? "-all"
            : run_options.touch_port ? "-touch="
                                     : "-device=");

    if (!run_options.json)
        std::printf("\n%s%s", BANNER_LINE, AUTHOR_LINE);

    load_firmware(run_options.hex_path);
    if (run_options.dry_run)
        run_dry_run();
    if (run_options.all)
        run_all_boards(argc, argv);
    if (run_options.station)
        run_station(argc, argv);
    run_upload();
}
