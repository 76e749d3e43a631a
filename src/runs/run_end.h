// The end of a run: the one way the process ends. Only main and the run
// files call these; everything below them returns a Failure instead.
#pragma once

#include "output/failure.h"

// Runs the outputs' finishers (the -log= line of a single run, a status
// that a failed -json or log write turns into 1) and ends the process.
[[noreturn]] void end_process(int status);

// Prints the failure's message and one more newline to standard error,
// reports it to the outputs (the -json error event, the log line) and ends
// the process: with 128 + the signal for FAILURE_INTERRUPTED, else with 1.
[[noreturn]] void fail_with(const Failure &failure);

// fail_with of a failure with this message (FAILURE_SYSTEM).
[[noreturn]] void fail(const char *format, ...) QUORVEL_PRINTF(1);
