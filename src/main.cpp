// quorvel: writes an Intel HEX file into an AVR microcontroller that runs a
// USB HID bootloader. main reads the command line, checks what every run
// needs, and hands over to the kind of run asked for; each run ends the
// process with its status.

#include "cli/option_rules.h"
#include "cli/options.h"
#include "cli/usage.h"
#include "hid/hid_device.h"
#include "image/firmware_file.h"
#include "image/firmware_image.h"
#include "os/terminal.h"
#include "output/console.h"
#include "output/events.h"
#include "output/run_log.h"
#include "output/version.h"
#include "runs/all_boards.h"
#include "runs/boot.h"
#include "runs/doctor.h"
#include "runs/dry_run.h"
#include "runs/list.h"
#include "runs/one_board.h"
#include "runs/run_end.h"
#include "runs/station.h"
#include "stamp/stamp_format.h"
#include "stamp/stamp_state.h"
#include "upload/load_firmware.h"

#include <cstdio>
#include <string>

namespace {

// Ends the run when a failure stands in its way.
void stop_on(const Failure &result)
{
    if (failed(result))
        fail_with(result);
}

// No file or no MCU: what is missing, the usage text and status 1; with
// -json, an error event says what is missing.
[[noreturn]] void fail_usage(const char *problem)
{
    std::fprintf(stderr, "%s\n\n", problem);
    write_usage(stderr);
    event_error(std::string(problem) + "\nquorvel --help shows how to run quorvel");
    end_process(1);
}

}  // namespace

int main(int argc, char **argv)
{
    guard_standard_streams();
    // -json is known before any argument is judged: an error in one before
    // it ends as an event too.
    const Failure options = read_arguments(argc, argv);
    output_settings = OutputSettings{run_options.verbose, run_options.json};
    events_start();
    stop_on(options);

    if (run_options.show_help) {
        write_usage(human_output());  // with -json, standard output carries only events
        end_process(0);
    }
    if (run_options.show_version) {
        std::fprintf(human_output(), "quorvel %s\n", VERSION);
        end_process(0);
    }
    if (run_options.list)
        run_list();
    if (run_options.doctor)
        run_doctor();
    // -boot writes nothing: it needs neither a file nor the part.
    if (!run_options.hex_path && !run_options.boot)
        fail_usage("Filename must be specified");
    if (run_options.code_size == 0 && !run_options.boot)
        fail_usage("MCU type must be specified");
    stop_on(check_option_rules(run_options));

    if (!run_options.json)
        std::printf("\n%s%s", BANNER_LINE, AUTHOR_LINE);
    const UploadPlan plan{run_options.code_size, run_options.block_size};
    // The checksums cost more than the rest of the load: only for a run
    // that shows them or logs them (-all and -station log every board).
    const bool checksums = run_options.verbose || run_options.dry_run || run_options.json || run_options.log_path ||
                           run_options.all || run_options.station;
    // -above64k: the image covers the part's whole flash, not its first 64 KiB only.
    if (run_options.above64k && !run_options.boot)
        image_set_size(run_options.code_size);
    if (!run_options.boot)
        stop_on(load_firmware(run_options.hex_path, FirmwareInput{run_options.binary != 0, run_options.binary_base},
                              plan, run_options.mcu, run_options.dry_run, checksums,
                              run_options.all || run_options.station));
    // -stamp=NAME,...: the symbol's address, from the ELF file just read.
    if (!run_options.stamp.symbol.empty() && !run_options.boot) {
        stop_on(stamp_place_at_symbol(run_options.stamp, run_options.hex_path, firmware_read.format == FORMAT_ELF));
        stop_on(check_stamp_place(run_options));
    }
    // -stamp=: before any board, the values can be had (the state file is
    // made, the list read) and the next one fits; a board's copy is given
    // its value, and the dry run only looks.
    if (run_options.stamp.format != STAMP_NONE && !run_options.stamp_value && !run_options.dry_run) {
        StampValue first{};
        stop_on(stamp_check(run_options.stamp, first));
    }
    if (run_options.log_path) {
        // A board's copy names the file as the run that started it was given it.
        LoggedFirmware logged = loaded_firmware();
        if (run_options.boot)
            logged = LoggedFirmware{"", "", "", run_options.mcu ? run_options.mcu : "", "boot"};
        if (run_options.log_name)
            logged.file = run_options.log_name;
        if (run_options.log_name)
            run_log_hand_back();
        stop_on(run_log_open(run_options.log_path, logged));
    }

    if (run_options.board_lock)
        device_use_held_lock(run_options.board_lock);
    if (run_options.dry_run)
        run_dry_run(plan);
    if (run_options.all)
        run_all_boards();
    if (run_options.station)
        run_station();
    if (run_options.boot)
        run_boot();
    run_upload(plan);
}
