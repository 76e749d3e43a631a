// -log=FILE: which firmware went into which board, one line per board ended.
#include "output/run_log.h"

#include "database/postgres.h"
#include "output/events.h"
#include "output/finishers.h"
#include "output/text.h"
#include "output/version.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// A line that could not be written yet, and the board it names.
struct UnwrittenLine {
    std::string board;
    std::string text;
};

struct RunLog {
    std::string path;   // as messages show it (a URL without its password)
    bool database;      // -log=postgresql://: a row per line, in the table
    bool open;
    bool not_flushed;                     // a line is in the file, but the disk did not confirm it
    bool hand_back;                       // a board's copy: lines not written go to its run too
    std::vector<UnwrittenLine> unwritten; // oldest first, tried again in that order
    LoggedFirmware firmware;
    // A single run's board, from run_log_begin to the end of the process.
    bool pending;
    LoggedBoard board;
    std::chrono::steady_clock::time_point started;
    std::string error;
    bool application_seen;  // -expect-app: the application appeared
    ApplicationSeen application;
} run_log;

// Now in UTC, ISO 8601 to the second: "2026-12-09T15:32:51Z".
std::string utc_now()
{
    std::time_t now = std::time(nullptr);
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

// The board as a warning names it: its path, serial number and location.
std::string board_name(const LoggedBoard &board)
{
    std::string name = printable(board.path);
    for (const std::string *more : {&board.serial, &board.location}) {
        if (!more->empty()) {
            name += ' ';
            name += printable(*more);
        }
    }
    return name;
}

// Appends the line to the file or inserts it into the table, committed: a
// row that cannot be inserted is a line that cannot be written.
LogAppend append(std::string_view line, std::string &why)
{
    if (!run_log.database)
        return log_file_append(line, why);
    const DatabaseError error = database_log_insert(line);
    why = error.message;
    return error.kind == DATABASE_OK ? LOG_APPENDED : LOG_NOT_APPENDED;
}

// -log=postgresql://...?table=NAME: connects and makes the table, so that
// a database that cannot be reached stops the run before any board.
Failure open_database(const char *text)
{
    DatabaseUrl url;
    DatabaseError error = database_url_parse(text, "table", url);
    if (!error.kind)
        error = database_connect(DATABASE_FOR_LOG, url);
    if (!error.kind)
        error = database_log_prepare();
    const char *what_to_do = "";
    // A board's copy whose run reached the database at its start: a row
    // that it cannot insert now goes back to that run, as any line that
    // cannot be written, and the board is written all the same.
    if (error.kind == DATABASE_UNREACHABLE && run_log.hand_back)
        error = DatabaseError{};
    switch (error.kind) {
    case DATABASE_OK:
        run_log.path = url.shown;
        run_log.database = true;
        return Failure{};
    case DATABASE_BAD_URL:
        what_to_do = "Give the log's table as in -log=postgresql://USER@HOST/DATABASE?table=NAME";
        break;
    case DATABASE_NOT_BUILT:
        what_to_do = "Give a file for the log, or log into the database from a station on Linux";
        break;
    case DATABASE_NO_LIBPQ:
        what_to_do = "Or give a file for the log";
        break;
    case DATABASE_UNREACHABLE:
        what_to_do = "Check that the server runs and that the URL names it, the user and the database";
        break;
    case DATABASE_REFUSED:
    case DATABASE_LIST_EMPTY:
        what_to_do = "Check the table's name and what the user may do with it";
        break;
    }
    return failure(FAILURE_LOG, "quorvel: cannot open the log %s: %s\nNothing was written. %s\n",
                   printable(url.shown.empty() ? text : url.shown).c_str(), printable(error.message).c_str(),
                   what_to_do);
}

// Writes the lines kept back, oldest first, until one cannot be written;
// says how many went in. Returns 1 when none is left.
int write_unwritten()
{
    size_t written = 0;
    std::string why;
    while (written < run_log.unwritten.size()) {
        LogAppend appended = append(run_log.unwritten[written].text, why);
        if (appended == LOG_NOT_APPENDED)
            break;
        run_log.not_flushed |= appended == LOG_NOT_FLUSHED;
        ++written;
    }
    if (written > 0)
        std::fprintf(stderr, "quorvel: wrote %d line%s to the log %s that could not be written before\n",
                     int(written), written == 1 ? "" : "s", printable(run_log.path).c_str());
    run_log.unwritten.erase(run_log.unwritten.begin(), run_log.unwritten.begin() + long(written));
    return run_log.unwritten.empty();
}

// Appends one board's line after the ones kept back, or keeps it back too,
// and then shows it whole on standard error.
void append_line(const std::string &board, const std::string &text)
{
    std::string why = "earlier lines could not be written";
    LogAppend appended = write_unwritten() ? append(text, why) : LOG_NOT_APPENDED;
    if (appended == LOG_NOT_FLUSHED && !run_log.not_flushed)
        std::fprintf(stderr, "quorvel: warning: cannot flush the log %s to the disk: %s\n",
                     printable(run_log.path).c_str(), printable(why).c_str());
    run_log.not_flushed |= appended == LOG_NOT_FLUSHED;
    if (appended != LOG_NOT_APPENDED)
        return;
    run_log.unwritten.push_back(UnwrittenLine{board, text});
    if (run_log.hand_back)
        event_log_line(text);
    std::fprintf(stderr,
                 "quorvel: warning: cannot write the log %s: %s. The line of %s, to be tried again after the "
                 "next board and at the end:\n%s",
                 printable(run_log.path).c_str(), printable(why).c_str(), board.c_str(), text.c_str());
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
    write_unwritten();
    if (!run_log.unwritten.empty())
        std::fprintf(stderr,
                     "quorvel: the log %s is incomplete: %d line%s shown above could not be written to it; add "
                     "%s by hand\n",
                     printable(run_log.path).c_str(), int(run_log.unwritten.size()),
                     run_log.unwritten.size() == 1 ? "" : "s", run_log.unwritten.size() == 1 ? "it" : "them");
    if (status == 0 && run_log_failed())
        status = 1;
}

}  // namespace

Failure run_log_open(const char *path, const LoggedFirmware &firmware)
{
    std::string why;
    switch (is_database_url(path) ? LOG_OPENED : log_file_open(path, why)) {
    case LOG_OPENED:
        break;
    case LOG_NO_READER:
        return failure(FAILURE_LOG,
                       "quorvel: cannot open the log %s: no program is reading it\nNothing was written. Start the "
                       "program that reads the log first, then quorvel\n",
                       printable(path).c_str());
    case LOG_CANNOT_OPEN:
        return failure(FAILURE_LOG,
                       "quorvel: cannot open the log %s: %s\nNothing was written. Give a file in a folder that "
                       "exists and that you may write to\n",
                       printable(path).c_str(), printable(why).c_str());
    }
    run_log.path = path;
    if (is_database_url(path)) {
        Failure opened = open_database(path);
        if (failed(opened))
            return opened;
    }
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
        f.file_sha256, board.image_sha256.empty() ? f.image_sha256 : board.image_sha256, f.mcu, result, seconds,
        VERSION, run_log.application_seen ? &run_log.application : nullptr, f.kind, board.stamp};
    append_line(board_name(board), log_line_text(line));
}

void run_log_begin(const LoggedBoard &board)
{
    run_log.pending = run_log.open;
    run_log.board = board;
    run_log.started = std::chrono::steady_clock::now();
}

void run_log_application(const ApplicationSeen &application)
{
    run_log.application_seen = true;
    run_log.application = application;
}

void run_log_retry()
{
    if (run_log.open)
        write_unwritten();
}

void run_log_hand_back()
{
    run_log.hand_back = true;
}

void run_log_keep(std::string_view board, std::string_view line)
{
    if (!run_log.open)
        return;
    run_log.unwritten.push_back(UnwrittenLine{std::string(board), std::string(line)});
    std::fprintf(stderr,
                 "quorvel: warning: cannot write the log %s: the copy of %s could not. Its line, to be tried "
                 "again after the next board and at the end:\n%s",
                 printable(run_log.path).c_str(), std::string(board).c_str(), std::string(line).c_str());
}

int run_log_failed()
{
    return run_log.not_flushed || !run_log.unwritten.empty();
}
