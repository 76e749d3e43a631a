// Taking the board, and -expect-app, for the runs that write to one board.
#include "runs/board_run.h"

#include "cli/options.h"
#include "os/signals.h"
#include "output/events.h"
#include "output/run_log.h"
#include "output/text.h"
#include "runs/run_end.h"
#include "upload/expect_app.h"
#include "upload/find_board.h"
#include "upload/progress.h"

#include <cstdio>

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
    run_log_begin(LoggedBoard{choice.path, choice.serial, choice.location, choice.vendor_id, choice.product_id});
    event_device(choice.path, choice.vendor_id, choice.product_id, choice.serial, choice.location);
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
