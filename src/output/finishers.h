// What the outputs do when a run ends: the -json stream and the -log= file
// register here what must happen at the end of the process (a log line, a
// status that a failed write turns into 1), so that the one place that ends
// the process need not know them.
#pragma once

#include "output/failure.h"

// Called with the failure that ends the run, before the process ends: the
// error event, the log line's result.
using FailureReporter = void (*)(const Failure &failure);

// Called with the exit status as the process ends; may turn a 0 into 1.
using Finisher = void (*)(int &status);

// Registers each once (a second registration of the same function is ignored).
void on_failure(FailureReporter reporter);
void at_end(Finisher finisher);

// Runs the registered reporters, in the order of registration.
void report_failure(const Failure &failure);

// Runs the registered finishers, the last registered first (as atexit
// does: a log line written at the end sees the run's own status, before the
// -json stream, registered earlier, turns it into 1), and returns the
// status they leave.
int run_finishers(int status);
