// Taking the board, and -expect-app, for the runs that write to one board.
#include "runs/board_run.h"

#include "cli/options.h"
#include "os/signals.h"
#include "output/console.h"
#include "output/events.h"
#include "output/run_log.h"
#include "output/text.h"
#include "runs/run_end.h"
#include "stamp/stamp_state.h"
#include "upload/expect_app.h"
#include "upload/find_board.h"
#include "upload/load_firmware.h"
#include "upload/progress.h"
#include "upload/stamp_image.h"

#include <cstdio>
#include <string>

namespace {

// -stamp=: the board's value, taken now (or given by the run that started
// this copy, which took it), in this process's image: the board's copy of
// it. Taken once the board is ours and before its first report, so that a
// board that cannot be opened costs no value. Its line in the log gets the
// value and the SHA-256 of the image with it.
void stamp_this_board(LoggedBoard &logged, std::string &shown)
{
    const StampSettings &settings = run_options.stamp;
    if (settings.format == STAMP_NONE || run_options.boot)
        return;
    StampValue value{};
    if (run_options.stamp_value)
        value = StampValue{run_options.stamp_value, 0, 0};
    else if (Failure none_left = stamp_take(settings, value); failed(none_left))
        fail_with(none_left);
    if (Failure unfit = stamp_image(settings, value); failed(unfit))
        fail_with(unfit);
    log_verbose("Stamp: %s\n", stamp_shown(settings, value).c_str());
    logged.stamp = value.text;
    if (!loaded_firmware().image_sha256.empty())  // a run that logs or shows the checksums
        logged.image_sha256 = sent_image_sha256(UploadPlan{run_options.code_size, run_options.block_size});
    shown = value.text;
}

}  // namespace

const DeviceChoice &take_board()
{
    if (Failure opened = open_board(); failed(opened))
        fail_with(opened);
    hold_stop_signals();
    const DeviceChoice &choice = device_choice();
    // Nothing has been sent yet: a board whose port cannot be watched is refused untouched.
    if (run_options.expect_app)
        if (Failure unplaced = app_watch_begin(choice.path, choice.location, printable(choice.path));
            failed(unplaced))
            fail_with(unplaced);
    LoggedBoard logged{choice.path, choice.serial, choice.location, choice.vendor_id, choice.product_id, "", ""};
    std::string stamp;
    stamp_this_board(logged, stamp);
    run_log_begin(logged);
    event_device(choice.path, choice.vendor_id, choice.product_id, choice.serial, choice.location, stamp);
    return choice;
}

void application_check_end(double since_start)
{
    if (!run_options.expect_app)
        return;
    ApplicationSeen seen{};
    const AppWanted wanted{run_options.app_vendor_id, run_options.app_product_id, expect_app_seconds(),
                           run_options.mcu};
    if (Failure missing = app_wait(wanted, since_start, seen); failed(missing)) {
        progress_end_line();
        fail_with(missing);
    }
    event_application(seen);
    run_log_application(seen);
    progress_end_line();
    std::fprintf(stderr, "Application %04x:%04x%s%s%s started at %s, %.2f s after START_APPLICATION\n",
                 unsigned(seen.vendor_id), unsigned(seen.product_id), seen.product.empty() ? "" : " (",
                 printable(seen.product).c_str(), seen.product.empty() ? "" : ")", printable(seen.location).c_str(),
                 seen.seconds);
}
