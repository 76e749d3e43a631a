// Programs one board: opens it, sends the image, and says how it ended.
#include "runs/one_board.h"

#include "hid/hid_device.h"
#include "os/clock.h"
#include "os/signals.h"
#include "output/console.h"
#include "output/events.h"
#include "runs/board_run.h"
#include "runs/run_end.h"
#include "upload/progress.h"
#include "upload/upload_messages.h"
#include "upload/walk_script.h"

#include <cstdio>
#include <string_view>

namespace {

// The walk, recorded in full before the first report is written.
WalkScript script;
size_t blocks_shown = 0;

// Shows each block under way once the reports before its first data
// report have been delivered.
void show_delivered(int steps)
{
    while (blocks_shown < script.blocks.size() && script.blocks[blocks_shown].after <= steps) {
        const BlockMark &block = script.blocks[blocks_shown++];
        progress_block(block.address, block.length);
    }
}

// How often what the upload shows is brought up to date.
constexpr long long SHOW_EVERY_NS = 25'000'000;

// Plays the walk on the device; report_in_hand then names the report that
// was not delivered, or the one before which a stop signal stopped it.
UploadEnd upload_to_device(const UploadPlan &plan)
{
    report_in_hand = ReportInHand{CMD_BEGIN, -1, 0, 0};
    // The steps go straight into the room that the device reads them from.
    const int steps = walk_step_count(plan);
    if (!walk_record(plan, script, device_play_room(steps), steps))
        return UPLOAD_NOT_DELIVERED;  // a block size that the reports cannot carry: nothing was sent
    const PlayWatch watch{show_delivered, take_stop_signal, progress_shown() ? SHOW_EVERY_NS : 0,
                          stop_signal_descriptor()};
    const PlayEnd end = device_play(script.steps, script.count, watch);
    if (end.outcome == PLAY_DONE)
        return UPLOAD_DONE;
    if (size_t(end.at) < script.reports.size())
        report_in_hand = script.reports[size_t(end.at)];
    if (end.outcome == PLAY_STOPPED) {
        report_in_hand.stop_signal = end.signal;
        return UPLOAD_STOPPED;
    }
    return UPLOAD_NOT_DELIVERED;
}

}  // namespace

void run_upload(const UploadPlan &plan)
{
    take_board();
    progress_start(blocks_to_send(plan));
    log_verbose("Programming: ");
    std::fflush(stdout);

    switch (upload_to_device(plan)) {
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
    application_check_end(script.count > 0 ? script.steps[script.count - 1].pause_after : 0.0);

    event_done();
    progress_end_line();
    std::fputs("\nDone.\n\n", stderr);
    end_process(0);
}
