// Console operations shared by every stage of a run.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#if defined(__GNUC__)
#define QUORVEL_PRINTF(format_index) __attribute__((format(printf, format_index, format_index + 1)))
#else
#define QUORVEL_PRINTF(format_index)
#endif

// Ends the process with this status; every deliberate end of a run comes
// through here.
[[noreturn]] void end_process(int status);

// Lets a test or fuzzer take over the end of the process, to run the paths
// that end it in-process: the hook gets the status and must not return (it
// may longjmp). Nothing in quorvel itself sets one.
using ExitHook = void (*)(int status);
void set_exit_hook(ExitHook hook);

// Prints to standard output only with -v; returns the characters written.
int log_verbose(const char *format, ...) QUORVEL_PRINTF(1);

// Prints the message and one more newline to standard error and ends the
// process with status 1.
[[noreturn]] void fail(const char *format, ...) QUORVEL_PRINTF(1);

// Sleeps for the given seconds, to the millisecond (truncated), through signals.
void pause_seconds(double seconds);

// From now on Ctrl-C ends the process at once with this exit status.
void exit_on_interrupt(int status);

// Opens the null device onto any of descriptors 0, 1 and 2 that is closed,
// so that the device or the HEX file, opened later, can never take the place
// of standard output or standard error. Called first thing.
void guard_standard_streams();

// The text with every control character (C0, DEL, C1) and every byte that
// is not part of valid UTF-8 replaced by '?': for names and paths that come
// from a device or from the user, printed inside lines and fields.
std::string printable(std::string_view text);

// The same for text of several lines: the line ends stay.
std::string printable_lines(std::string_view text);

// One copy of this program to run: its arguments after the program name;
// afterwards its exit status (128 + the signal when one ended it) and what
// it wrote to standard output and standard error.
struct CopyRun {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
};

// Runs every copy at once, each with standard input from the null device
// and its output captured, and waits until all have ended.
void run_copies(std::vector<CopyRun> &copies);

// The text as a JSON string, quotes included: control characters escaped,
// bytes that are not valid UTF-8 replaced by U+FFFD.
std::string json_string(std::string_view text);

// With -json, writes one event, {"event":"NAME"...}, as a line on standard
// output; `fields` follow the name, each starting with a comma. Without
// -json it writes nothing.
void emit_event(const char *name, const std::string &fields = "");

// Fields that the error event of the next fail() carries besides the
// message ("," first).
void set_failure_fields(const std::string &fields);

// Where messages for people go that would otherwise go to standard output:
// standard error with -json, which keeps standard output for events.
FILE *human_output();

// 1 when standard error is a terminal (a person watches it), else 0.
int stderr_is_terminal();
