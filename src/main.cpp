// quorvel: writes an Intel HEX file into an AVR microcontroller that runs a
// USB HID bootloader. main reads the command line and picks the run.

#include "runs/run_end.h"
#include "output/console.h"
#include "output/events.h"
#include "output/version.h"
#include "cli/options.h"
#include "cli/usage.h"
#include "output/text.h"
#include "runs/all_boards.h"
#include "runs/dry_run.h"
#include "runs/list.h"
#include "upload/load_firmware.h"
#include "runs/one_board.h"
#include "runs/station.h"

#include <cstdio>
#include <string>
#include <string_view>

// No file or no MCU: what is missing, the usage text and status 1; with
// -json, an error event says what is missing.
[[noreturn]] static void fail_usage(const char *problem)
{
    std::fprintf(stderr, "%s\n\n", problem);
    write_usage(stderr);
    event_error(std::string(problem) + "\nquorvel --help shows how to run quorvel");
    end_process(1);
}

int main(int argc, char **argv)
{
    guard_standard_streams();
    for (int i = 1; i < argc; ++i)
        output_settings.json |= std::string_view(argv[i]) == "-json";
    events_start();
    const Failure options = read_arguments(argc, argv);
    output_settings.verbose = run_options.verbose;
    if (failed(options))
        fail_with(options);
    if (run_options.show_help) {
        write_usage(human_output());  // with -json, standard output carries only events
        end_process(0);
    }
    if (run_options.show_version) {
        std::fprintf(human_output(), "quorvel %s\n", VERSION);
        end_process(0);
    }
    if (run_options.list)
        list_devices();
    if (!run_options.hex_path)
        fail_usage("Filename must be specified");
    if (run_options.code_size == 0)
        fail_usage("MCU type must be specified");

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
        run_all_boards();
    if (run_options.station)
        run_station();
    run_upload();
}
