// What an upload shows while it runs: the bar for a person at a terminal,
// the dots of -v and the block events of -json.
#pragma once

#include <cstdint>

// Starts the progress of an upload of `total` blocks; a person at a
// terminal gets a bar, redrawn in place on standard error.
void progress_start(int total);

// Whether the upload shows anything as it goes (a bar, -v dots or -json
// block events), rather than only at its end.
bool progress_shown();

// One more block is under way: the upload's block_started.
void progress_block(int32_t address, int32_t length);

// Ends the bar's line, when there is a bar, before more text goes to
// standard error.
void progress_end_line();
