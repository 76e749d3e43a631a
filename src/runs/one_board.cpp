// Programs one board: opens it, sends the image, and says how it ended.
#include "runs/one_board.h"

#include "hid/hid_device.h"
#include "os/clock.h"
#include "os/signals.h"
#include "output/console.h"
#include "output/events.h"
#include "output/run_log.h"
#include "runs/run_end.h"
#include "upload/find_board.h"
#include "upload/progress.h"
#include "upload/upload_messages.h"

#include <cstdio>
#include <string_view>

namespace {

int send_report_to_device(const CommandReport &report, double timeout_seconds)
{
    return device_send(report.bytes.data(), report.bytes.size(), timeout_seconds);
}

constexpr UploadTransport DEVICE_TRANSPORT{send_report_to_device, device_drain, pause_seconds, progress_block,
                                           take_stop_signal};

// What the advice after a failed write rests on: how the device's write failed.
WriteTrouble write_trouble()
{
    switch (device_send_failure()) {
    case HID_WRITE_LATE:
        return WRITE_NO_ANSWER;
    case HID_WRITE_GONE:
    case HID_WRITE_UNPLUGGED:
        return WRITE_BOARD_GONE;
    default:
        return WRITE_OTHER;
    }
}

}  // namespace

void run_upload(const UploadPlan &plan)
{
    if (Failure opened = open_board(); failed(opened))
        fail_with(opened);
    hold_stop_signals();
    const DeviceChoice &choice = device_choice();
    run_log_begin(
        LoggedBoard{choice.path, choice.serial, choice.location, choice.vendor_id, choice.product_id});
    event_device(choice.path, choice.vendor_id, choice.product_id, choice.serial, choice.location);
    progress_start(blocks_to_send(plan));
    log_verbose("Programming: ");
    std::fflush(stdout);

    switch (upload_image(DEVICE_TRANSPORT, plan)) {
    case UPLOAD_DONE:
        break;
    case UPLOAD_NOT_DELIVERED:
        progress_end_line();
        fail_with(not_delivered_failure(report_in_hand, write_trouble(), device_send_error()));
    case UPLOAD_STOPPED:
        progress_end_line();
        fail_with(interrupted_failure(report_in_hand.blocks_done, blocks_to_send(plan), report_in_hand.stop_signal));
    }
    log_verbose("\nStarting Application\n");
    device_close();

    event_done();
    progress_end_line();
    std::fputs("\nDone.\n\n", stderr);
    end_process(0);
}
