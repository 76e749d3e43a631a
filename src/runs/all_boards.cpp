// -all: finds every matching board and programs each with a copy of quorvel.
#include "runs/run_end.h"
#include "runs/all_boards.h"

#include "output/console.h"
#include "output/events.h"
#include "cli/options.h"
#include "output/run_log.h"
#include "output/text.h"
#include "hid/hid_device.h"
#include "copies/live_view.h"
#include "copies/copies.h"
#include "upload/find_board.h"
#include "upload/load_firmware.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr double WAIT_STEP = 0.25;

}  // namespace

std::vector<HidDeviceInfo> matching_boards()
{
    const RunOptions &o = run_options;
    const bool match_ids = o.vendor_id != 0 || o.product_id != 0;
    DeviceFilter filter{match_ids, o.vendor_id, o.product_id, o.serial, o.location};
    std::vector<HidDeviceInfo> boards;
    for (const HidDeviceInfo &info : device_list())
        // Without -usb=, a keyboard with the serial number or location asked for is no board.
        if (device_filter_passes(filter, info) && (match_ids || may_be_bootloader(info)))
            boards.push_back(info);
    return boards;
}

namespace {

// The boards to program: with -w, waits until there are enough (N with
// -all=N, else one), or until the wait's limit.
std::vector<HidDeviceInfo> boards_to_program()
{
    const size_t wanted = run_options.all_count > 0 ? size_t(run_options.all_count) : 1;
    std::vector<HidDeviceInfo> boards = matching_boards();
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
            boards = matching_boards();
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

}  // namespace

std::vector<std::string> copy_arguments(int argc, char **argv, const HidDeviceInfo &board)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument(argv[i]);
        if (argument == "-all" || argument.starts_with("-all=") || argument == "-station" ||
            argument.starts_with("-station=") || argument.starts_with("-log=") || argument == "-w" ||
            argument.starts_with("-w=") || argument.starts_with("-device=") ||
            argument.starts_with("-serial=") || argument.starts_with("-location=") ||
            !argument.starts_with('-'))
            continue;
        arguments.emplace_back(argument);
    }
    if (run_options.wait || run_options.station) {
        char settle[32];
        std::snprintf(settle, sizeof settle, "-w=%g", SETTLE_SECONDS);
        arguments.push_back(settle);
    }
    arguments.push_back("-device=" + board.path);
    arguments.push_back(firmware_shared_path());
    return arguments;
}

std::string copy_outcome(int status, std::string_view err, std::string_view events, int passed_on)
{
    if (status == 0)
        return "Done";
    std::string line = last_error_event(events);
    if (line.empty())
        line = one_line_outcome(err);
    if (line.empty() && passed_on)
        return std::string("interrupted by ") + signal_name(passed_on) + " before its upload began";
    return line.empty() ? "failed with status " + std::to_string(status) : line;
}

namespace {

// Which boards failed and how to program only them again: each one's USB
// port, which stays the same across re-plugs, else its path.
std::string retry_text(const std::vector<HidDeviceInfo> &boards, const std::vector<CopyRun> &copies)
{
    std::string selectors;
    for (size_t i = 0; i < boards.size(); ++i) {
        if (copies[i].status == 0)
            continue;
        const HidDeviceInfo &board = boards[i];
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

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// For a person at a terminal and for -json: the copies followed live (each
// with -json, its events read as they come), in the board view instead of
// the lines at the end, and their events streamed as they come, between
// board_started and board_ended. Fills in each copy's status, output,
// errors and time; returns the stop signal passed on, or 0.
int run_copies_live(std::vector<CopyRun> &copies, const std::vector<HidDeviceInfo> &boards)
{
    std::string why;
    if (!live_copies_begin(why))
        fail("quorvel: -all cannot run copies of itself\n%s\n", printable(why).c_str());
    board_view_start(board_view_wanted());
    const auto started = std::chrono::steady_clock::now();
    std::vector<int> numbers, rows;
    int running = 0, done = 0, failed = 0, passed_on = 0;
    for (size_t i = 0; i < copies.size(); ++i) {
        std::vector<std::string> arguments = copies[i].arguments;
        arguments.insert(arguments.begin(), "-json");
        numbers.push_back(live_copy_start(arguments, why));
        rows.push_back(board_view_add(boards[i].path, boards[i].serial, boards[i].location));
        event_board_started(boards[i].path, boards[i].serial, boards[i].location);
        running += numbers[i] >= 0;
        if (numbers[i] < 0) {
            copies[i] = CopyRun{{}, 127, "", "quorvel: cannot start a copy of itself\n" + why + "\n", 0};
            board_view_end(rows[i], false, copy_outcome(127, copies[i].err, "", 0), 0);
            ++failed;
        }
    }
    while (running > 0) {
        board_view_counts(done, failed, running,
                          passed_on ? std::string("stopping (") + signal_name(passed_on) + ")" : "");
        std::vector<CopyNews> news;
        if (int signal = live_copies_wait(0.25, true, news))
            passed_on = signal;
        for (const CopyNews &item : news) {
            size_t i = 0;
            while (numbers[i] != item.copy)
                ++i;
            int index = 0, count = 0;
            copies[i].out += item.lines;
            pass_on_board_events(item.lines, boards[i].path, boards[i].serial, boards[i].location);
            if (!item.ended) {
                if (last_block_event(item.lines, index, count))
                    board_view_progress(rows[i], index, count);
                continue;
            }
            copies[i].status = item.status;
            copies[i].err = item.err;
            copies[i].seconds = seconds_since(started);
            --running;
            (item.status == 0 ? done : failed) += 1;
            const std::string result = copy_outcome(item.status, item.err, copies[i].out, passed_on);
            board_view_end(rows[i], item.status == 0, result, copies[i].seconds);
            event_board_ended(
                BoardOutcome{boards[i].path, boards[i].serial, boards[i].location, item.status == 0, result},
                copies[i].seconds);
        }
    }
    board_view_counts(done, failed, 0, "");
    board_view_finish();
    return passed_on;
}

}  // namespace

void run_all_boards(int argc, char **argv)
{
    const RunOptions &o = run_options;
    if (o.vendor_id == 0 && o.product_id == 0 && !o.serial && !o.location)
        fail("Unable to open device\nName the bootloaders with -usb=<vid:pid>, -serial= or -location= "
             "(quorvel "
             "-list shows the HID devices present)\n");
    std::vector<HidDeviceInfo> boards = boards_to_program();
    std::vector<CopyRun> copies;
    for (const HidDeviceInfo &board : boards)
        copies.push_back(CopyRun{copy_arguments(argc, argv, board), 0, "", "", 0});
    std::fprintf(stderr, "Programming %d board%s at once\n", int(boards.size()),
                 boards.size() == 1 ? "" : "s");
    const auto started = std::chrono::steady_clock::now();
    const bool live = board_view_wanted(), follow = live || o.json;
    const int passed_on = follow ? run_copies_live(copies, boards) : run_copies(copies);

    int failed = 0;
    std::vector<std::string> results;
    for (size_t i = 0; i < boards.size(); ++i) {
        failed += copies[i].status != 0;
        results.push_back(copy_outcome(copies[i].status, copies[i].err, copies[i].out, passed_on));
        const HidDeviceInfo &b = boards[i];
        run_log_board(LoggedBoard{b.path, b.serial, b.location, b.vendor_id, b.product_id},
                      copies[i].status == 0 ? "done" : results[i], copies[i].seconds);
        if (!live)
            std::fprintf(human_output(), "%s\t%s\t%s\t%s\n", printable(boards[i].path).c_str(),
                         printable(boards[i].serial).c_str(), printable(boards[i].location).c_str(),
                         results[i].c_str());
    }
    std::vector<BoardOutcome> summary;
    for (size_t i = 0; i < boards.size(); ++i)
        summary.push_back(BoardOutcome{boards[i].path, boards[i].serial, boards[i].location,
                                       copies[i].status == 0, results[i]});
    // The summary is the last event: the failures are told to people only.
    event_summary(summary, seconds_since(started));
    std::fflush(human_output());
    if (passed_on)
        stop_interrupted(passed_on, failed, int(boards.size()));
    if (failed) {
        std::fprintf(stderr, "\n%d of %d boards failed\n%s\n\n", failed, int(boards.size()),
                     retry_text(boards, copies).c_str());
        end_process(1);
    }
    std::fputs("\nDone.\n\n", stderr);
    end_process(0);
}
