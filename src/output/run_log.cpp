// -log=FILE: which firmware went into which board, one line per board ended.
#include "output/run_log.h"

#include "output/events.h"
#include "output/finishers.h"
#include "output/text.h"
#include "output/version.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

struct RunLog {
    std::string path;
    bool open;
    bool failed;
    LoggedFirmware firmware;
    // A single run's board, from run_log_begin to the end of the process.
    bool pending;
    LoggedBoard board;
    std::chrono::steady_clock::time_point started;
    std::string error;
} run_log;

// Now in UTC, ISO 8601 to the second: "2026-12-09T15:32:51Z".
std::string utc_now()
{
    std::time_t now = std::time(nullptr);
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

// The error that ends a single run, for its line: the message's first two
// lines, joined.
void note_error(const Failure &failure)
{
    run_log.error = one_line_outcome(failure.message);
}

// Writes the line of the board that run_log_begin named, if any: "done" for
// status 0, else the error noted; a line not written turns 0 into 1.
void write_pending_line(int &status)
{
    if (run_log.pending) {
        run_log.pending = false;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - run_log.started).count();
        run_log_board(run_log.board,
                      status == 0             ? "done"
                      : run_log.error.empty() ? "failed with status " + std::to_string(status)
                                              : run_log.error,
                      seconds);
    }
    if (status == 0 && run_log.failed)
        status = 1;
}

}  // namespace

Failure run_log_open(const char *path, const LoggedFirmware &firmware)
{
    std::string why;
    if (!log_file_open(path, why))
        return failure(FAILURE_LOG,
                       "quorvel: cannot open the log %s: %s\nNothing was written. Give a file in a folder that "
                       "exists and that you may write to\n",
                       printable(path).c_str(), printable(why).c_str());
    run_log.path = path;
    run_log.open = true;
    run_log.firmware = firmware;
    on_failure(note_error);
    at_end(write_pending_line);
    return Failure{};
}

void run_log_board(const LoggedBoard &board, std::string_view result, double seconds)
{
    if (!run_log.open)
        return;
    const LoggedFirmware &f = run_log.firmware;
    const std::string time = utc_now();
    const LogLine line{
        time,          board.serial,   board.location,  board.path, board.vendor_id, board.product_id, f.file,
        f.file_sha256, f.image_sha256, f.mcu, result,     seconds,         VERSION};
    std::string why;
    if (!log_file_append(log_line_text(line), why) && !run_log.failed) {
        run_log.failed = true;
        std::fprintf(stderr, "quorvel: warning: cannot write the log %s: %s\n",
                     printable(run_log.path).c_str(), printable(why).c_str());
    }
}

void run_log_begin(const LoggedBoard &board)
{
    run_log.pending = run_log.open;
    run_log.board = board;
    run_log.started = std::chrono::steady_clock::now();
}

int run_log_failed()
{
    return run_log.failed;
}
