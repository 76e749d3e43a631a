// Messages for people: -v output and where the messages go that would
// otherwise go to standard output.
#pragma once

#include "output/failure.h"
#include "os/clock.h"
#include "os/signals.h"
#include "os/terminal.h"

#include <cstdio>

// What the outputs are asked for: set once by main from the command line.
struct OutputSettings {
    int verbose;  // -v: progress on standard output
    int json;     // -json: standard output carries only events
};
extern OutputSettings output_settings;

// Prints to standard output only with -v (and without -json); returns the
// characters written.
int log_verbose(const char *format, ...) QUORVEL_PRINTF(1);

// As log_verbose, but left in standard output's buffer, for many lines
// that come at once (the dry run's list of blocks): the next flush sends
// them.
int log_verbose_held(const char *format, ...) QUORVEL_PRINTF(1);

// Where messages for people go that would otherwise go to standard output:
// standard error with -json, which keeps standard output for events.
FILE *human_output();
