// quorvel: writes an Intel HEX file into an AVR microcontroller that runs a
// USB HID bootloader. main reads the command line, checks what every run
// needs, and hands over to the kind of run asked for; each run ends the
// process with its status.

#include "cli/option_rules.h"
#include "cli/options.h"
#include "os/terminal.h"
#include "output/console.h"
#include "output/events.h"
#include "output/run_log.h"
#include "output/version.h"
#include "runs/all_boards.h"
#include "runs/dry_run.h"
#include "runs/list.h"
#include "runs/one_board.h"
#include "runs/run_end.h"
#include "runs/station.h"
#include "upload/load_firmware.h"

#include <cstdio>
#include <string_view>

namespace {

// Ends a run that was not ended by one of the runs, when a failure
// stands in its way.
void stop_on(const Failure &result)
{
    if (failed(result))
        fail_with(result);
}

}  // namespace

int main(int argc, char **argv)
{
    guard_standard_streams();
    for (int i = 1; i < argc; ++i)
        output_settings.json |= std::string_view(argv[i]) == "-json";
    events_start();
    read_arguments(argc, argv);
    output_settings.verbose = run_options.verbose;

    if (run_options.list)
        run_list();
    if (!run_options.hex_path)
        print_usage("Filename must be specified");
    if (run_options.code_size == 0)
        print_usage("MCU type must be specified");
    stop_on(check_option_rules(run_options));

    if (!run_options.json)
        std::printf("\n%s%s", BANNER_LINE, AUTHOR_LINE);
    const UploadPlan plan{run_options.code_size, run_options.block_size};
    stop_on(load_firmware(run_options.hex_path, plan, run_options.mcu, run_options.dry_run));
    if (run_options.log_path)
        stop_on(run_log_open(run_options.log_path, loaded_firmware()));

    if (run_options.dry_run)
        run_dry_run(plan);
    if (run_options.all)
        run_all_boards(argc, argv);
    if (run_options.station)
        run_station(argc, argv);
    run_upload(plan);
}
