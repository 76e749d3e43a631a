// The run that programs one board.
#pragma once

#include "upload/protocol.h"

// Opens the board (waiting for it with -w, resetting it first with
// -touch=), uploads the loaded image for this part, starts the application
// and ends the process: status 0 after "Done.", 1 when the board could not
// be opened or a report was not delivered, 128 + the signal when a stop
// signal ended the upload.
[[noreturn]] void run_upload(const UploadPlan &plan);
