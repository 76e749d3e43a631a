// -all: finds every matching board and programs each with a copy of quorvel.
#include "runs/run_end.h"
#include "runs/all_boards.h"

#include "cli/copy_arguments.h"
#include "cli/options.h"
#include "copies/board_stamp.h"
#include "copies/follow.h"
#include "copies/live_view.h"
#include "copies/matching_boards.h"
#include "output/console.h"
#include "output/events.h"
#include "output/output_queue.h"
#include "output/run_log.h"
#include "output/text.h"
#include "upload/find_board.h"
#include "upload/load_firmware.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double WAIT_STEP = 0.25;

// The boards to program: with -w, waits until there are enough (N with
// -all=N, else one), or until the wait's limit.
std::vector<HidDeviceInfo> boards_to_program()
{
    const size_t wanted = run_options.all_count > 0 ? size_t(run_options.all_count) : 1;
    std::vector<HidDeviceInfo> boards = matching_boards(may_be_bootloader);
    if (boards.size() < wanted && run_options.wait) {
        std::fprintf(human_output(),
                     "Waiting for %d board%s: press the reset buttons to start their bootloaders (Ctrl-C to "
                     "stop)\n",
                     int(wanted), wanted == 1 ? "" : "s");
        std::fflush(human_output());
        exit_on_interrupt(130);
        const double limit = run_options.wait_limit;
        for (double waited = 0; boards.size() < wanted && (limit <= 0 || waited < limit);
             waited += WAIT_STEP) {
            pause_seconds(limit > 0 && limit - waited < WAIT_STEP ? limit - waited : WAIT_STEP);
            boards = matching_boards(may_be_bootloader);
        }
    }
    if (boards.empty())
        fail("Unable to open device\nNo board matches: see quorvel -list. Start the bootloaders (press the "
             "boards' reset buttons), or add -w to wait for them\n");
    if (run_options.all_count > 0 && boards.size() != wanted)
        fail("Unable to open device\n%d boards match, not %d: none was programmed (see quorvel -list)\n",
             int(boards.size()), int(wanted));
    return boards;
}

// Which boards failed and how to program only them again: each one's USB
// port, which stays the same across re-plugs, else its path.
std::string retry_text()
{
    std::string selectors;
    for (const FollowedBoard &followed : following.boards) {
        if (copy_programmed(followed.outcome.end))
            continue;
        const HidDeviceInfo &board = followed.board;
        selectors += (selectors.empty() ? "" : ", ") + printable(board.path) + " (" +
                     (board.location.empty() ? "-device=" + printable(board.path)
                                             : "-location=" + printable(board.location)) +
                     ")";
    }
    return "Failed: " + selectors +
           ". To retry one of them, run quorvel again with its option in place of -all";
}

// Ends the run that a signal stopped, once every copy has ended, with 128 +
// the signal's number. The summary was the last event: this is for people.
[[noreturn]] void stop_interrupted(int signal, int failed, int boards)
{
    std::fprintf(stderr,
                 "\nquorvel: interrupted by %s: %d of %d boards were not programmed\nRun quorvel again for "
                 "the boards whose line does not say Done: their flash may be only partly written\n\n",
                 signal_name(signal), failed, boards);
    end_process(128 + signal);
}

// The live view's status line.
void show_counts()
{
    const int signal = following.last_signal;
    board_view_counts(following.done, following.failed, following.running,
                      signal ? std::string("stopping (") + signal_name(signal) + ")" : "");
}

}  // namespace

void run_all_boards()
{
    const RunOptions &o = run_options;
    if (o.vendor_id == 0 && o.product_id == 0 && !o.serial && !o.location)
        fail("Unable to open device\nName the bootloaders with -usb=<vid:pid>, -serial= or -location= "
             "(quorvel "
             "-list shows the HID devices present)\n");
    const std::vector<HidDeviceInfo> boards = boards_to_program();
    // -stamp=: every board's value is taken before any copy starts, so that
    // one that cannot be had stops the run before any board is written.
    std::vector<std::vector<std::string>> arguments;
    std::vector<BoardStamp> stamps(boards.size());
    const UploadPlan plan{o.code_size, o.block_size};
    for (size_t i = 0; i < boards.size(); ++i) {
        arguments.push_back(copy_arguments(boards[i].path, firmware_shared_path(), SETTLE_SECONDS));
        if (Failure none_left = board_stamp_take(plan, arguments.back(), stamps[i]); failed(none_left)) {
            if (i > 0)
                none_left.message += "The values taken for the boards before it (" + stamps[0].value + " to " +
                                     stamps[i - 1].value + ") are not used again\n";
            fail_with(none_left);
        }
    }
    std::fprintf(stderr, "%s %d board%s at once\n", o.boot ? "Starting the application of" : "Programming",
                 int(boards.size()), boards.size() == 1 ? "" : "s");
    const auto started = std::chrono::steady_clock::now();
    std::string why;
    if (!follow_begin(nullptr, FollowHooks{nullptr, nullptr, nullptr, nullptr, show_counts}, why))
        fail("quorvel: -all cannot run copies of itself\n%s\n", printable(why).c_str());
    output_queue_start();  // following the copies never waits for standard output or error
    // A person at a terminal sees the boards live; elsewhere a line per
    // board comes at the end. -json passes each copy's events on as they come.
    const bool live = board_view_wanted();
    board_view_start(live);
    for (size_t i = 0; i < boards.size(); ++i)
        follow_board(boards[i], arguments[i], -1, stamps[i]);
    follow_copies(live ? 0.05 : 0.25, live || o.json);  // a live view redraws its times as they pass
    board_view_counts(following.done, following.failed, 0, "");
    board_view_finish();
    output_drain();

    // The outcomes again, now that every copy has ended: a copy that said
    // nothing before a stop signal that came later was interrupted.
    const int passed_on = following.last_signal;
    std::vector<BoardOutcome> summary;
    std::vector<CopyOutcome> outcomes;
    for (const FollowedBoard &followed : following.boards)
        outcomes.push_back(copy_outcome(followed.status, followed.err, followed.events, passed_on));
    // Each board's log line was written as it ended (copies/follow.h).
    for (size_t i = 0; i < following.boards.size(); ++i) {
        const HidDeviceInfo &b = following.boards[i].board;
        const bool done = copy_programmed(outcomes[i].end);
        if (!live)
            std::fprintf(human_output(), "%s\t%s\t%s\t%s\n", printable(b.path).c_str(),
                         printable(b.serial).c_str(), printable(b.location).c_str(),
                         outcomes[i].text.c_str());
        summary.push_back(BoardOutcome{b.path, b.serial, b.location, done, outcomes[i].text});
    }
    // The status first, for the summary's ok: a log line that still cannot
    // be written turns 0 into 1 (the end of the process says so again).
    const int failed = following.failed;
    run_log_retry();
    output_drain();  // what was queued so far: a stream that could not be written counts in the status
    const int status = passed_on                                             ? 128 + passed_on
                       : failed || run_log_failed() || events_write_failed() ? 1
                                                                             : 0;
    // The summary is the last event: the failures are told to people only.
    event_summary(summary, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                  status);
    output_drain();
    std::fflush(human_output());
    if (passed_on)
        stop_interrupted(passed_on, failed, int(boards.size()));
    if (failed) {
        std::fprintf(stderr, "\n%d of %d boards failed\n%s\n\n", failed, int(boards.size()),
                     retry_text().c_str());
        end_process(1);
    }
    std::fputs("\nDone.\n\n", stderr);
    end_process(0);
}
