// Programs one board: opens it, sends the image, and says how it ended.
#include "runs/run_end.h"
#include "runs/one_board.h"

#include "output/console.h"
#include "output/events.h"
#include "output/run_log.h"
#include "output/text.h"
#include "hid/hid_device.h"
#include "upload/find_board.h"
#include "upload/progress.h"
#include "upload/protocol.h"

#include <cstdio>
#include <string_view>

namespace {

// Ends the run that a signal stopped between two reports, with 128 + its number.
[[noreturn]] void stop_interrupted(int signal)
{
    progress_end_line();
    char message[320];
    std::snprintf(message, sizeof message,
                  "quorvel: interrupted after block %d of %d: the board's flash is only partly written\nRun "
                  "quorvel again with the whole image: the board stays in its bootloader until it is told to "
                  "start the application\n",
                  report_in_hand.blocks_done, blocks_to_send());
    Failure stopped = failure(FAILURE_INTERRUPTED, "%s", message);
    stopped.signal = signal;
    fail_with(stopped);
}

// A signal that came during the last report or pause stops the upload
// before the next report: the device never gets half of one. The reports
// already handed to the device are written first, so that the count of
// blocks is what the board has.
int send_report_to_device(const CommandReport &report, double timeout_seconds)
{
    if (int signal = take_stop_signal()) {
        if (!device_drain())
            return -1;
        stop_interrupted(signal);
    }
    return device_send(report.bytes.data(), report.bytes.size(), timeout_seconds);
}

constexpr UploadTransport DEVICE_TRANSPORT{send_report_to_device, device_drain, pause_seconds,
                                           progress_block};

[[noreturn]] void fail_to_write()
{
    const ReportInHand &at = report_in_hand;
    char where[64] = "";
    if (at.block_address >= 0)
        std::snprintf(where, sizeof where, " of the block at 0x%04X", unsigned(at.block_address));
    progress_end_line();
    // The bootloader may erase the flash when it takes the begin command.
    const char *state =
        at.command == CMD_BEGIN ? "The flash may have been erased" : "The flash is now only partly written";
    // What to do depends on how the write failed: a board that stopped
    // answering needs its bootloader restarted, one that went away plugging in.
    std::string_view why = device_send_error();
    const HidWriteError kind = device_send_failure();
    const char *next =
        kind == HID_WRITE_LATE
            ? ". The board stopped answering: press its reset button to restart the bootloader, "
              "then run quorvel again"
        : kind == HID_WRITE_GONE || kind == HID_WRITE_UNPLUGGED
            ? ". The board went away: plug it in again, start its bootloader and run quorvel again"
            : ": restart the bootloader and run quorvel again";
    Failure not_delivered =
        failure(FAILURE_WRITE, "Error writing to device\nThe %s command%s failed: %s. %s%s\n",
                command_name(at.command), where, printable(why).c_str(), state, next);
    not_delivered.command = command_name(at.command);
    not_delivered.address = at.block_address;
    fail_with(not_delivered);
}

}  // namespace

void run_upload()
{
    if (Failure opened = open_board(); failed(opened))
        fail_with(opened);
    hold_stop_signals();
    const DeviceChoice &choice = device_choice();
    run_log_begin(
        LoggedBoard{choice.path, choice.serial, choice.location, choice.vendor_id, choice.product_id});
    event_device(choice.path, choice.vendor_id, choice.product_id, choice.serial, choice.location);
    progress_start(blocks_to_send());
    log_verbose("Programming: ");
    std::fflush(stdout);

    if (!upload_image(DEVICE_TRANSPORT))
        fail_to_write();
    log_verbose("\nStarting Application\n");
    device_close();

    event_done();
    progress_end_line();
    std::fputs("\nDone.\n\n", stderr);
    end_process(0);
}
