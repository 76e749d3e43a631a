// -station: each matching board programmed once as it appears, by a copy of
// quorvel of its own, with a live view, a log line and a summary at the end.
#include "runs/run_end.h"
#include "runs/station.h"

#include "cli/copy_arguments.h"
#include "cli/options.h"
#include "copies/board_stamp.h"
#include "copies/copies.h"
#include "copies/follow.h"
#include "copies/live_view.h"
#include "copies/matching_boards.h"
#include "hid/hid_device.h"
#include "output/console.h"
#include "output/events.h"
#include "output/output_queue.h"
#include "output/run_log.h"
#include "output/text.h"
#include "upload/find_board.h"
#include "upload/load_firmware.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How often the boards present are looked at: a board that appears is
// being written within this time, and a look reads only a few sysfs files.
constexpr std::chrono::milliseconds LOOK_STEP{50};

// How often the HEX file on the disk is looked at.
constexpr std::chrono::seconds FILE_STEP{1};

// The HEX file on the disk as the run found it: a change is said once.
struct FileSeen {
    bool present;
    std::uintmax_t size;
    std::filesystem::file_time_type written;
};

// A board that the station met on this plug-in, until it leaves the bus:
// one it writes or wrote, or one that another run held when it appeared.
// A board is told from the next one at the same path by its plug-in
// identity (HidDeviceInfo::plug), so that a board plugged in on a node that
// another board just left is a new board.
struct MetBoard {
    std::string path;
    std::string plug;
    int held;        // the lock that the station holds on it (device_hold), or -1
    bool elsewhere;  // another run held it: shown once, neither written nor failed
};

// A board that appeared but could not be opened yet (udev may still be
// setting its node up): looked at again, for as long as a copy would wait.
struct UnopenedBoard {
    std::string path;
    std::string plug;
    Clock::time_point since;
};

// What the station keeps beside the boards followed (copies/follow.h).
struct Station {
    std::vector<MetBoard> met;  // boards met that have not left since
    std::vector<UnopenedBoard> unopened;
    Clock::time_point looked_at;
    FileSeen file;
    Clock::time_point file_checked_at;
    // -stamp=: no value could be taken for a board (a list that ran out, a
    // state that cannot be written): no more boards are taken.
    bool out_of_values;
} station;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

FileSeen file_now(const std::string &path)
{
    std::error_code error;
    FileSeen seen{std::filesystem::exists(path, error), 0, {}};
    if (seen.present) {
        seen.size = std::filesystem::file_size(path, error);
        seen.written = std::filesystem::last_write_time(path, error);
    }
    return seen;
}

// Says once per change that the HEX file changed on the disk: the run goes
// on with the image it read at its start.
void check_file()
{
    if (run_options.boot)
        return;  // no file
    const std::string &path = loaded_firmware().file;
    station.file_checked_at = Clock::now();
    FileSeen now = file_now(path);
    FileSeen &before = station.file;
    if (now.present == before.present && now.size == before.size && now.written == before.written)
        return;
    before = now;
    board_view_note("quorvel: warning: \"" + printable(path) + "\" " +
                    (now.present ? "changed on the disk" : "is gone from the disk") +
                    ": every board still gets the firmware read at the start (SHA-256 " +
                    loaded_firmware().file_sha256 + ")");
}

void show_counts()
{
    const int limit = run_options.station_count;
    const int signal = following.first_signal;
    std::string note = signal      ? std::string("stopping (") + signal_name(signal) + ")"
                       : limit > 0 ? std::to_string(limit - int(following.boards.size())) + " more to come"
                                   : "waiting for boards (Ctrl-C to stop)";
    board_view_counts(following.done, following.failed, following.running, note);
}

void plain_line(const HidDeviceInfo &board, const std::string &what)
{
    output_text(human_output() == stdout ? OUTPUT_STDOUT : OUTPUT_STDERR,
                board_view_line(board.path, board.serial, board.location, what) + "\n", OUTPUT_KEEP);
}

void board_started(const FollowedBoard &board)
{
    if (!board_view_wanted())
        plain_line(board.board, run_options.boot            ? "Starting"
                                : board.stamp.value.empty() ? "Programming"
                                                            : "Programming, stamp " + printable(board.stamp.value));
}

MetBoard *met_board(const HidDeviceInfo &board)
{
    for (MetBoard &met : station.met)
        if (met.path == board.path && met.plug == board.plug)
            return &met;
    return nullptr;
}

// Its plain line (its log line is written: copies/follow.h). A board that
// failed is let go, for another run to try; one that is programmed stays
// taken until it leaves.
void board_ended(const FollowedBoard &board)
{
    const HidDeviceInfo &b = board.board;
    const bool done = copy_programmed(board.outcome.end);
    MetBoard *met = met_board(b);
    if (!done && met && met->held >= 0) {
        device_let_go(met->held);
        met->held = -1;
    }
    char text[48];
    std::snprintf(text, sizeof text, "Done in %.1f s", board.seconds);
    if (!board_view_wanted())
        plain_line(b, done ? text : board.outcome.text);
}

bool taking_boards()
{
    return !following.first_signal && !station.out_of_values &&
           (run_options.station_count == 0 || int(following.boards.size()) < run_options.station_count);
}

// Says once that another run holds a board that appeared: it is left alone.
void held_elsewhere(const HidDeviceInfo &board)
{
    const char *what = "Held by another run: left alone";
    if (board_view_wanted())
        board_view_note(board_view_line(board.path, board.serial, board.location, what));
    else
        plain_line(board, what);
}

// Takes a board that appeared and starts its copy, which inherits the
// station's lock on it: no other run can take the board from now until it
// leaves. A board that another run holds is left alone.
void take_board(const HidDeviceInfo &info)
{
    int held = -1;
    const int taken = device_hold(info.path.c_str(), held);
    if (taken == 0) {
        station.met.push_back(MetBoard{info.path, info.plug, -1, true});
        held_elsewhere(info);
        return;
    }
    if (taken < 0) {
        // Not open yet: looked at again, until a copy would have given up
        // waiting; then its copy tries, and says why it cannot (on Windows
        // at once: its copy takes it itself).
        auto waiting =
            std::find_if(station.unopened.begin(), station.unopened.end(),
                         [&](const UnopenedBoard &u) { return u.path == info.path && u.plug == info.plug; });
        if (waiting == station.unopened.end()) {
            station.unopened.push_back(UnopenedBoard{info.path, info.plug, Clock::now()});
            waiting = station.unopened.end() - 1;
        }
        if (Clock::now() - waiting->since < std::chrono::duration<double>(SETTLE_SECONDS) && device_holds())
            return;
    }
    std::erase_if(station.unopened,
                  [&](const UnopenedBoard &u) { return u.path == info.path && u.plug == info.plug; });
    station.met.push_back(MetBoard{info.path, info.plug, held, false});
    std::vector<std::string> arguments = copy_arguments(info.path, firmware_shared_path(), SETTLE_SECONDS);
    if (held >= 0)
        arguments.insert(arguments.end() - 2, "-board-lock=" + std::to_string(COPY_INHERITED_FD));
    // Its value is on the disk before its copy starts; without one it is
    // not written, and neither is any board after it.
    BoardStamp stamp;
    if (Failure none_left = board_stamp_take(UploadPlan{run_options.code_size, run_options.block_size}, arguments,
                                             stamp);
        failed(none_left)) {
        stamp.refused = none_left.message;
        station.out_of_values = true;
        board_view_note("quorvel: no more boards are taken: the next one has no stamp value");
    }
    follow_board(info, arguments, held, stamp);
}

// Starts a copy for each board that appeared since the last look; forgets
// the boards that left the bus (letting go of their locks), so that each
// is written again when it comes back.
void look_for_boards()
{
    station.looked_at = Clock::now();
    const std::vector<HidDeviceInfo> found = matching_boards(may_be_bootloader);
    std::erase_if(station.met, [&](const MetBoard &met) {
        for (const HidDeviceInfo &info : found)
            if (info.path == met.path && info.plug == met.plug)
                return false;
        for (const FollowedBoard &board : following.boards)
            if (board.copy >= 0 && board.board.path == met.path && board.board.plug == met.plug)
                return false;  // its copy says how it went
        device_let_go(met.held);
        return true;
    });
    std::erase_if(station.unopened, [&](const UnopenedBoard &unopened) {
        for (const HidDeviceInfo &info : found)
            if (info.path == unopened.path && info.plug == unopened.plug)
                return false;
        return true;
    });
    for (const HidDeviceInfo &info : found)
        if (taking_boards() && !met_board(info))
            take_board(info);
}

// Each step: new boards now and then while boards are taken, and the file.
void look()
{
    if (taking_boards() && Clock::now() - station.looked_at >= LOOK_STEP)
        look_for_boards();
    if (Clock::now() - station.file_checked_at >= FILE_STEP)
        check_file();
}

[[noreturn]] void end_station(Clock::time_point begun)
{
    const double seconds = seconds_since(begun);
    show_counts();
    board_view_finish();
    std::vector<BoardOutcome> outcomes;
    for (const FollowedBoard &board : following.boards)
        outcomes.push_back(BoardOutcome{board.board.path, board.board.serial, board.board.location,
                                        copy_programmed(board.outcome.end), board.outcome.text});
    run_log_retry();
    output_drain();  // what was queued so far: a stream that could not be written counts in the status
    const int status = following.failed || run_log_failed() || events_write_failed() ? 1 : 0;
    event_summary(outcomes, seconds, status);
    output_drain();  // all that was queued comes before the last words
    const int signal = following.first_signal;
    std::string stopped = signal ? std::string("stopped by ") + signal_name(signal) : "ended";
    std::fprintf(stderr, "\nStation %s after %.1f s: %d board%s done, %d failed\n", stopped.c_str(), seconds,
                 following.done, following.done == 1 ? "" : "s", following.failed);
    for (const FollowedBoard &board : following.boards)
        if (!copy_programmed(board.outcome.end))
            std::fprintf(stderr, "Failed: %s\n",
                         board_view_line(board.board.path, board.board.serial, board.board.location,
                                         board.outcome.text)
                             .c_str());
    if (following.failed)
        std::fputs("Program the failed boards again: unplug each, start its bootloader and plug it in\n",
                   stderr);
    std::fputc('\n', stderr);
    end_process(status);
}

}  // namespace

void run_station()
{
    if (run_options.vendor_id == 0 && run_options.product_id == 0)
        fail("quorvel: -station needs the bootloaders' IDs\nGive them with -usb=<vid:pid> (quorvel -list "
             "shows the HID devices present)\n");
    std::string why;
    if (!follow_begin(nullptr, FollowHooks{taking_boards, look, board_started, board_ended, show_counts},
                      why))
        fail("quorvel: -station cannot run copies of itself\n%s\n", printable(why).c_str());
    // From here on, nothing waits for standard output or error: a reader
    // that stopped reading must not hold up boards or the log.
    output_queue_start();
    station.file = file_now(loaded_firmware().file);
    const Clock::time_point begun = Clock::now();
    board_view_start(board_view_wanted());
    if (!board_view_wanted()) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "Station: %s each board with the IDs %04x:%04x as it appears (Ctrl-C to stop)\n",
                      run_options.boot ? "starting the application of" : "programming",
                      unsigned(run_options.vendor_id), unsigned(run_options.product_id));
        output_text(human_output() == stdout ? OUTPUT_STDOUT : OUTPUT_STDERR, text, OUTPUT_KEEP);
    }
    show_counts();
    follow_copies(0.05, board_view_wanted() || run_options.json);
    end_station(begun);
}
