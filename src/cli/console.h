// Console operations shared by every stage of a run: the end of the
// process, messages for people, and the platform's terminal, sleep and
// signals.
#pragma once

#include <cstdio>

#if defined(__GNUC__)
#define QUORVEL_PRINTF(format_index) __attribute__((format(printf, format_index, format_index + 1)))
#else
#define QUORVEL_PRINTF(format_index)
#endif

// Ends the process with this status (a 0 becomes 1 when the -json stream
// could not be written); every deliberate end of a run comes through here.
[[noreturn]] void end_process(int status);

// Lets a test or fuzzer take over the end of the process, to run the paths
// that end it in-process: the hook gets the status and must not return (it
// may longjmp). Nothing in quorvel itself sets one.
using ExitHook = void (*)(int status);
void set_exit_hook(ExitHook hook);

// Prints to standard output only with -v; returns the characters written.
int log_verbose(const char *format, ...) QUORVEL_PRINTF(1);

// Prints the message and one more newline to standard error and ends the
// process with status 1; with -json, an error event says the same.
[[noreturn]] void fail(const char *format, ...) QUORVEL_PRINTF(1);

// Where messages for people go that would otherwise go to standard output:
// standard error with -json, which keeps standard output for events.
FILE *human_output();

// The platform's part (console_<platform>.cpp):

// Sleeps for the given seconds, to the millisecond (truncated), through signals.
void pause_seconds(double seconds);

// From now on Ctrl-C ends the process at once with this exit status.
void exit_on_interrupt(int status);

// From now on SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and
// the closing of the console) no longer end the process: each waits to be
// taken by take_stop_signal, so that an upload stops between two reports
// and says so. Ctrl-C of an earlier exit_on_interrupt no longer ends it either.
void hold_stop_signals();

// The stop signal that came since hold_stop_signals, taken: its number
// (SIGINT, SIGTERM, SIGHUP; on Windows SIGINT, SIGBREAK and, for the closed
// console, SIGHUP), or 0 when none came. The run it stops ends with status
// 128 + that number.
int take_stop_signal();

// The signal's name for messages and events: "SIGTERM".
const char *signal_name(int number);

// Opens the null device onto any of descriptors 0, 1 and 2 that is closed,
// so that the device or the HEX file, opened later, can never take the place
// of standard output or standard error; and makes a write to a closed pipe
// fail instead of ending the process, so that output to `| head -1` never
// leaves a board half written. On Windows, sets the console's output code
// page to UTF-8, the encoding of all that is printed. Called first thing.
void guard_standard_streams();

// 1 when standard error is a terminal (a person watches it), else 0.
int stderr_is_terminal();

// 1 when standard error is a terminal that acts on ANSI escape sequences
// (cursor up, erase, colour); on Windows this turns them on for the
// console, where the system allows it.
int stderr_takes_escapes();

// The width of standard error's terminal in columns, as it is now (a
// window may be resized at any time); 0 when it is not known.
int stderr_columns();
