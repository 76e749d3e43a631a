// Starts the application of one board: the start-application command alone.
#include "runs/boot.h"

#include "hid/hid_device.h"
#include "os/signals.h"
#include "output/console.h"
#include "output/events.h"
#include "runs/board_run.h"
#include "runs/run_end.h"
#include "upload/upload_messages.h"
#include "upload/walk_script.h"

#include <cstdio>

namespace {

WalkScript script;

void nothing_shown(int) {}

// Plays the start-application command on the device, as the last step of
// an upload is played; the failure, if it was not delivered or not sent.
Failure start_on_device()
{
    if (!walk_record_start(script, device_play_room(START_STEPS), START_STEPS))
        return start_not_delivered_failure(WRITE_OTHER, "the report could not be handed to the device");
    const PlayWatch watch{nothing_shown, take_stop_signal, 0, stop_signal_descriptor()};
    const PlayEnd end = device_play(script.steps, script.count, watch);
    switch (end.outcome) {
    case PLAY_DONE:
        return Failure{};
    case PLAY_STOPPED:
        return start_interrupted_failure(end.signal);
    case PLAY_FAILED:
        break;
    }
    return start_not_delivered_failure(write_trouble(), device_send_error());
}

}  // namespace

void run_boot()
{
    take_board();
    if (Failure started = start_on_device(); failed(started))
        fail_with(started);
    log_verbose("Starting Application\n");
    device_close();
    application_check_end(script.count > 0 ? script.steps[script.count - 1].pause_after : 0.0);

    event_done();
    std::fputs("\nDone.\n\n", stderr);
    end_process(0);
}
