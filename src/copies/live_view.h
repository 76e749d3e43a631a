// What a person sees of several boards being programmed at once: on a
// terminal one line per board in progress, redrawn in place under a status
// line, and a line that stays for each board that ended; elsewhere one
// plain line per board event.
#pragma once

#include <string>
#include <string_view>

// Whether a person watches: standard error is a terminal that takes the
// escape sequences of the redrawing, without -v or -json.
bool board_view_wanted();

// Starts the view on standard error: live (redrawn) when `live`, else
// nothing is drawn and board_view_line gives the plain lines. The status
// line names the firmware: its file's name and SHA-256.
void board_view_start(bool live);

// A board whose upload began; returns its row. With -stamp=, the row shows
// the board's value.
int board_view_add(std::string_view path, std::string_view serial, std::string_view location,
                   std::string_view stamp = {});

// Block `index` of `count` of the row's upload is under way.
void board_view_progress(int row, int index, int count);

// The row's upload ended: "done in 3.6 s" or the error, in a line that stays.
void board_view_end(int row, bool done, std::string_view error, double seconds);

// Redraws the live part when it has not been redrawn for a while, so that
// the time left goes on counting while no block event comes.
void board_view_tick();

// The counts on the status line; `note` follows them ("waiting for boards").
void board_view_counts(int done, int failed, int in_progress, std::string_view note);

// A message that stays, such as a warning: above the live part on a
// terminal, else on standard error as it is.
void board_view_note(std::string_view text);

// Ends the view: the status line stays as the last line drawn.
void board_view_finish();

// One board's plain line: path, serial, location and what happened, tab-separated.
std::string board_view_line(std::string_view path, std::string_view serial, std::string_view location,
                            std::string_view what);
