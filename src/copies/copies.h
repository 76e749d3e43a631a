// Copies of this program run side by side, each with its output captured:
// how -all programs every board at once. One file per platform implements it.
#pragma once

#include <string>
#include <vector>

// One copy of this program to run: its arguments after the program name;
// afterwards its exit status (128 + the signal when one ended it), what it
// wrote to standard output and standard error, with "\n" line ends on every
// platform, and its time in seconds, from the start of the run to its end.
struct CopyRun {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
    double seconds;
};

// Runs every copy at once, each with standard input from the null device
// and its output captured, and waits until all have ended. No copy outlives
// this process. A SIGINT, SIGTERM or SIGHUP that comes meanwhile is passed
// on to every copy (on Windows the copies share the console and get its
// Ctrl-C, Ctrl-Break and close themselves), and the wait goes on; returns
// the last such signal (as take_stop_signal numbers it), or 0 when none came.
int run_copies(std::vector<CopyRun> &copies);

// Copies started one by one while the run goes on, each one's standard
// output read as it comes: how -station follows every board live.

// What came from the copies since the last look: complete lines of a
// copy's standard output, or its end with its exit status (as CopyRun's)
// and all that it wrote to standard error.
struct CopyNews {
    int copy;
    std::string lines;
    bool ended;
    int status;
    std::string err;
};

// Holds the stop signals (SIGINT, SIGTERM, SIGHUP) for live_copies_wait
// to take, from now on; the copies start with the signal mask from before.
// 0 with the reason in `why` where copies cannot be run so.
int live_copies_begin(std::string &why);

// Starts one copy with these arguments, standard input from the null
// device; returns its number (from 0 up), or -1 with the reason in `why`.
// No copy outlives this process.
int live_copy_start(const std::vector<std::string> &arguments, std::string &why);

// Waits at most `seconds` for news of the copies and adds it to `news`;
// returns the stop signal that came meanwhile (passed on to every running
// copy), or 0. With `follow`, a line of output ends the wait; without, only
// the end of a copy or a signal does, and the output comes at the end of
// the wait: fewer wake-ups where nobody watches the lines as they come.
int live_copies_wait(double seconds, bool follow, std::vector<CopyNews> &news);
