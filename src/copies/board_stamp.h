// -stamp= under -all and -station: this run takes each board's value
// before it starts the board's copy, and hands it down (-stamp-value=).
// So the value is on the disk (or in the database) before the copy can
// send anything, no copy takes one of its own, and this run knows each
// board's value for the board's row, its board_started event, and the log
// line that it writes for a copy that ended before it could.
#pragma once

#include "output/failure.h"
#include "upload/protocol.h"

#include <string>
#include <vector>

struct BoardStamp {
    std::string value;         // "" when the run stamps nothing
    std::string image_sha256;  // of the image with the value in it
    // Not "": no value could be taken, and the board is not written; the
    // failure's message.
    std::string refused;
};

// Takes the next value for a board whose copy is about to start: `stamp`
// gets it, and `arguments` (the copy's, from copy_arguments) its
// -stamp-value=. Nothing when the run stamps nothing. A failure
// (FAILURE_STAMP) when no value can be taken.
Failure board_stamp_take(const UploadPlan &plan, std::vector<std::string> &arguments, BoardStamp &stamp);
