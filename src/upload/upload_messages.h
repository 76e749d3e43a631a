// What an upload says when it does not end well: the failure of a report
// that was not delivered and of an upload that a stop signal ended, with
// what to do next. The same words wherever the walk runs.
#pragma once

#include "output/failure.h"
#include "upload/protocol.h"

#include <string_view>

// How a report's write failed, as far as the advice goes.
enum WriteTrouble {
    WRITE_NO_ANSWER,   // the board did not take it within its limit: restart the bootloader
    WRITE_BOARD_GONE,  // the board went away (unplugged, gone from the bus): plug it in again
    WRITE_HOST_BUSY,   // this computer did not send it in time: the board is not at fault
    WRITE_OTHER,       // any other error
};

// FAILURE_WRITE: "Error writing to device", then which command of which
// block failed, `why` (the transport's words: "no answer within 50 ms"),
// what the flash now holds and what to do; with the command's name and
// its block's address for the error event.
Failure not_delivered_failure(const ReportInHand &at, WriteTrouble trouble, std::string_view why);

// FAILURE_INTERRUPTED: the upload stopped by `signal` after `blocks_done`
// of `blocks` blocks, and how to finish the job.
Failure interrupted_failure(int blocks_done, int blocks, int signal);

// -boot's FAILURE_WRITE: the start-application command was not delivered.
// The same two lines as an upload's failure of that command, but for the
// flash, which -boot never writes; with the command's name for the event.
Failure start_not_delivered_failure(WriteTrouble trouble, std::string_view why);

// -boot's FAILURE_INTERRUPTED: `signal` came before the start-application
// command was sent.
Failure start_interrupted_failure(int signal);
