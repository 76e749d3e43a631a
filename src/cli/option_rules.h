// Options that do not go together.
#pragma once

#include "cli/options.h"
#include "output/failure.h"

// FAILURE_OPTION when the options ask for two runs at once (-all or
// -station with an option that names one board, -station with -all,
// -boot with a file or -n), with what to leave out; else FAILURE_NONE.
Failure check_option_rules(const RunOptions &options);

// FAILURE_OPTION when the bytes of -stamp='s value do not lie inside the
// part's flash and the image (below the boot section under -above64k).
// check_option_rules asks it for an address given as a number; for a
// symbol's, main asks once the file is read.
Failure check_stamp_place(const RunOptions &options);
