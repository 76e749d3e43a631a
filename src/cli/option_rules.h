// Options that do not go together.
#pragma once

#include "cli/options.h"
#include "output/failure.h"

// FAILURE_OPTION when the options ask for two runs at once (-all or
// -station with an option that names one board, -station with -all,
// -boot with a file or -n), with what to leave out; else FAILURE_NONE.
Failure check_option_rules(const RunOptions &options);
