// The dry run (-n): the upload walked without a device.
#pragma once

#include "upload/protocol.h"

// Walks the upload of the loaded image for this part without a device and
// without pauses, prints what it would send and ends the process with
// status 0.
[[noreturn]] void run_dry_run(const UploadPlan &plan);
