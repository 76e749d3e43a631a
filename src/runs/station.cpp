// -station: each matching board programmed once as it appears, by a copy of
// quorvel of its own, with a live view, a log line and a summary at the end.
#include "runs/run_end.h"
#include "runs/station.h"

#include "output/console.h"
#include "output/events.h"
#include "cli/options.h"
#include "output/run_log.h"
#include "output/text.h"
#include "hid/hid_device.h"
#include "runs/all_boards.h"
#include "copies/live_view.h"
#include "copies/copies.h"
#include "upload/load_firmware.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How often the boards present are looked at: a board that appears is
// being written within this time, and a look reads only a few sysfs files.
constexpr std::chrono::milliseconds LOOK_STEP{50};

// How often the HEX file on the disk is looked at.
constexpr std::chrono::seconds FILE_STEP{1};

struct StationBoard {
    HidDeviceInfo info;
    int copy;  // its copy of quorvel; -1 once it has ended
    int row;   // in the live view
    Clock::time_point started;
    std::string events;  // its -json lines so far
    std::string result;  // "Done" or the error, once ended
};

// The HEX file on the disk as the run found it: a change is said once.
struct FileSeen {
    bool present;
    std::uintmax_t size;
    std::filesystem::file_time_type written;
};

struct Station {
    std::vector<StationBoard> boards;  // every board started, in order
    std::set<std::string> written;     // paths of boards written that have not gone away since
    int running, done, failed;
    int stop_signal;
    Clock::time_point looked_at;
    FileSeen file;
    Clock::time_point file_checked_at;
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
    std::string note = station.stop_signal
                           ? std::string("stopping (") + signal_name(station.stop_signal) + ")"
                       : limit > 0 ? std::to_string(limit - int(station.boards.size())) + " more to come"
                                   : "waiting for boards (Ctrl-C to stop)";
    board_view_counts(station.done, station.failed, station.running, note);
}

void plain_line(const StationBoard &board, const std::string &what)
{
    std::fprintf(human_output(), "%s\n",
                 board_view_line(board.info.path, board.info.serial, board.info.location, what).c_str());
    std::fflush(human_output());
}

void end_board(StationBoard &board, int status, const std::string &err)
{
    board.copy = -1;
    --station.running;
    board.result = copy_outcome(status, err, board.events, station.stop_signal);
    const bool done = status == 0;
    (done ? station.done : station.failed) += 1;
    const double seconds = seconds_since(board.started);
    const HidDeviceInfo &b = board.info;
    run_log_board(LoggedBoard{b.path, b.serial, b.location, b.vendor_id, b.product_id},
                  done ? "done" : board.result, seconds);
    event_board_ended(BoardOutcome{b.path, b.serial, b.location, done, board.result}, seconds);
    board_view_end(board.row, done, board.result, seconds);
    char text[48];
    std::snprintf(text, sizeof text, "Done in %.1f s", seconds);
    if (!board_view_wanted())
        plain_line(board, done ? text : board.result);
    show_counts();
}

void start_board(int argc, char **argv, const HidDeviceInfo &info)
{
    std::vector<std::string> arguments = copy_arguments(argc, argv, info);
    arguments.insert(arguments.begin(), "-json");  // its progress, read as it comes
    std::string why;
    const int copy = live_copy_start(arguments, why);
    station.boards.push_back(StationBoard{info, copy, board_view_add(info.path, info.serial, info.location),
                                          Clock::now(), "", ""});
    station.written.insert(info.path);
    ++station.running;
    event_board_started(info.path, info.serial, info.location);
    if (!board_view_wanted())
        plain_line(station.boards.back(), "Programming");
    if (copy < 0)
        end_board(station.boards.back(), 127, "quorvel: cannot start a copy of itself\n" + why + "\n");
    show_counts();
}

bool taking_boards()
{
    return !station.stop_signal &&
           (run_options.station_count == 0 || int(station.boards.size()) < run_options.station_count);
}

// Starts a copy for each board that appeared since the last look; forgets
// the boards that went away, so that each is written again when it comes back.
void look_for_boards(int argc, char **argv)
{
    station.looked_at = Clock::now();
    std::set<std::string> present;
    const std::vector<HidDeviceInfo> found = matching_boards();
    for (const HidDeviceInfo &info : found)
        present.insert(info.path);
    std::erase_if(station.written, [&](const std::string &path) {
        if (present.count(path))
            return false;
        for (const StationBoard &board : station.boards)
            if (board.copy >= 0 && board.info.path == path)
                return false;  // its copy says how it went
        return true;
    });
    for (const HidDeviceInfo &info : found)
        if (taking_boards() && !station.written.count(info.path))
            start_board(argc, argv, info);
}

void take_news(const std::vector<CopyNews> &news)
{
    for (const CopyNews &item : news) {
        for (StationBoard &board : station.boards) {
            if (board.copy != item.copy)
                continue;
            if (item.ended) {
                end_board(board, item.status, item.err);
                break;
            }
            board.events += item.lines;
            pass_on_board_events(item.lines, board.info.path, board.info.serial, board.info.location);
            int index = 0, count = 0;
            if (board_view_wanted() && last_block_event(item.lines, index, count))
                board_view_progress(board.row, index, count);
            break;
        }
    }
}

[[noreturn]] void end_station(Clock::time_point begun)
{
    const double seconds = seconds_since(begun);
    show_counts();
    board_view_finish();
    std::vector<BoardOutcome> outcomes;
    for (const StationBoard &board : station.boards)
        outcomes.push_back(BoardOutcome{board.info.path, board.info.serial, board.info.location,
                                        board.result == "Done", board.result});
    event_summary(outcomes, seconds);
    std::string stopped =
        station.stop_signal ? std::string("stopped by ") + signal_name(station.stop_signal) : "ended";
    std::fprintf(stderr, "\nStation %s after %.1f s: %d board%s done, %d failed\n", stopped.c_str(), seconds,
                 station.done, station.done == 1 ? "" : "s", station.failed);
    for (const StationBoard &board : station.boards)
        if (board.result != "Done")
            std::fprintf(
                stderr, "Failed: %s\n",
                board_view_line(board.info.path, board.info.serial, board.info.location, board.result)
                    .c_str());
    if (station.failed)
        std::fputs("Program the failed boards again: unplug each, start its bootloader and plug it in\n",
                   stderr);
    std::fputc('\n', stderr);
    end_process(station.failed ? 1 : 0);
}

}  // namespace

void run_station(int argc, char **argv)
{
    if (run_options.vendor_id == 0 && run_options.product_id == 0)
        fail("quorvel: -station needs the bootloaders' IDs\nGive them with -usb=<vid:pid> (quorvel -list "
             "shows the HID devices present)\n");
    std::string why;
    if (!live_copies_begin(why))
        fail("quorvel: -station cannot run copies of itself\n%s\n", printable(why).c_str());
    station.file = file_now(loaded_firmware().file);
    const Clock::time_point begun = Clock::now();
    board_view_start(board_view_wanted());
    if (!board_view_wanted()) {
        std::fprintf(
            human_output(),
            "Station: programming each board with the IDs %04x:%04x as it appears (Ctrl-C to stop)\n",
            unsigned(run_options.vendor_id), unsigned(run_options.product_id));
        std::fflush(human_output());
    }
    show_counts();
    while (taking_boards() || station.running > 0) {
        if (taking_boards() && Clock::now() - station.looked_at >= LOOK_STEP)
            look_for_boards(argc, argv);
        if (Clock::now() - station.file_checked_at >= FILE_STEP)
            check_file();
        std::vector<CopyNews> news;
        if (int signal = live_copies_wait(0.05, board_view_wanted() || run_options.json, news);
            signal && !station.stop_signal) {
            station.stop_signal = signal;
            show_counts();
        }
        take_news(news);
    }
    end_station(begun);
}
