// -log=FILE: the record of which firmware went into which board, one JSON
// line per board ended, on the disk before the run goes on.
#pragma once

#include "output/events.h"
#include "output/failure.h"

#include <cstdint>
#include <string>
#include <string_view>

// The firmware that every line names: the HEX file's name, the SHA-256 of
// its bytes and of the image bytes sent.
struct LoggedFirmware {
    std::string file;
    std::string file_sha256;
    std::string image_sha256;
    std::string mcu;  // the -mmcu= name as given
    // What the run does to each board: "" for an upload (its lines have no
    // kind), "boot" for -boot, whose lines name no file.
    std::string kind;
};

// A board as its line names it.
struct LoggedBoard {
    std::string path;
    std::string serial;
    std::string location;
    uint32_t vendor_id;
    uint32_t product_id;
    // -stamp=: the board's value, and the SHA-256 of its image with the
    // value in it, which its line gives in place of the file's image's.
    // Both "" without.
    std::string stamp;
    std::string image_sha256;
};

// Opens the log at `path` for appending (or, for a postgresql:// URL with
// table=, connects and makes the table), before any board is touched, and
// registers its part in the end of the run (the line of a single run, a
// status that a line not written turns into 1). A failure (FAILURE_LOG)
// when it cannot be opened.
Failure run_log_open(const char *path, const LoggedFirmware &firmware);

// Appends the line of one board that ended: `result` is "done" or the error
// in one line. Written (and, for a file on a disk, flushed to the disk)
// before it returns. A line is written whole or not at all: one that cannot
// be written is shown on standard error, whole, so that nothing is lost,
// and is tried again with the next board's line and at the end of the run;
// while any line is left unwritten at the end, the run ends with status 1
// where it would have ended with 0.
void run_log_board(const LoggedBoard &board, std::string_view result, double seconds);

// A single run: the board it writes, whose line the end of the process
// writes with the run's outcome, however the run ends.
void run_log_begin(const LoggedBoard &board);

// With -expect-app: the application that appeared, for the line of the
// single run's board.
void run_log_application(const ApplicationSeen &application);

// Tries again the lines that could not be written yet, before the run
// decides its status.
void run_log_retry();

// A board's copy (-log-name=): a line that it cannot write is also handed
// to the run that started it, as a log_line event, for that run to try
// again after its next board and at its end. Called before run_log_open:
// a copy whose database cannot be reached at its start writes its board
// all the same, its row handed back.
void run_log_hand_back();

// Keeps back the line that a board's copy could not write (its log_line
// event), as if this run could not write it: shown, and tried again.
void run_log_keep(std::string_view board, std::string_view line);

// 1 when the log is incomplete: a line could not be written (and was not
// written since), or one was written but could not be flushed to the disk.
int run_log_failed();

// The platform's part (run_log_<platform>.cpp): the file itself.

enum LogOpen {
    LOG_OPENED,
    LOG_NO_READER,     // a named pipe that no program is reading
    LOG_CANNOT_OPEN,   // any other reason, in `why`
};

// Opens the file for appending at its end (created when missing, 0644),
// never waiting for a reader of a named pipe.
LogOpen log_file_open(const char *path, std::string &why);

enum LogAppend {
    LOG_APPENDED,     // the whole line is there (on the disk, for a file on a disk)
    LOG_NOT_APPENDED, // none of it stays in the file: it may be tried again
    LOG_NOT_FLUSHED,  // written, but the disk did not confirm it
};

// Appends the line in one write and, for a file on a disk, waits until it
// is on the disk; the reason in `why` when it is not appended. A part of
// the line that a full disk took is cut off again.
LogAppend log_file_append(std::string_view line, std::string &why);
