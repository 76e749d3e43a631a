// -log=FILE: the record of which firmware went into which board, one JSON
// line per board ended, on the disk before the run goes on.
#pragma once

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
};

// A board as its line names it.
struct LoggedBoard {
    std::string path;
    std::string serial;
    std::string location;
    uint32_t vendor_id;
    uint32_t product_id;
};

// Opens the log at `path` for appending, before any board is touched, and
// registers its part in the end of the run (the line of a single run, a
// status that a line not written turns into 1). A failure (FAILURE_LOG)
// when it cannot be opened.
Failure run_log_open(const char *path, const LoggedFirmware &firmware);

// Appends the line of one board that ended: `result` is "done" or the error
// in one line. Written and flushed to the disk before it returns; a line
// that cannot be written gives a warning, and the run ends with status 1
// where it would have ended with 0.
void run_log_board(const LoggedBoard &board, std::string_view result, double seconds);

// A single run: the board it writes, whose line end_process writes with
// the run's outcome (run_log_end), however the run ends.
void run_log_begin(const LoggedBoard &board);

// 1 when a line could not be written.
int run_log_failed();

// The platform's part (run_log_<platform>.cpp): the file itself.

// Opens the file for appending at its end (created when missing, 0644);
// 0 with the reason in `why`.
int log_file_open(const char *path, std::string &why);

// Appends the line in one write and waits until it is on the disk; 0 with
// the reason in `why`.
int log_file_append(std::string_view line, std::string &why);
