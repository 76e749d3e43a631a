// Copies of this program run side by side, each with its output captured:
// how -all programs every board at once. One file per platform implements it.
#pragma once

#include <string>
#include <vector>

// One copy of this program to run: its arguments after the program name;
// afterwards its exit status (128 + the signal when one ended it) and what
// it wrote to standard output and standard error, with "\n" line ends on
// every platform.
struct CopyRun {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
};

// Runs every copy at once, each with standard input from the null device
// and its output captured, and waits until all have ended. No copy outlives
// this process. A SIGINT, SIGTERM or SIGHUP that comes meanwhile is passed
// on to every copy (on Windows the copies share the console and get its
// Ctrl-C, Ctrl-Break and close themselves), and the wait goes on; returns
// the last such signal (as take_stop_signal numbers it), or 0 when none came.
int run_copies(std::vector<CopyRun> &copies);

// Reads the file at `path` once, to its end, into a file that this process
// and every copy can open by the path returned: a pipe or a process
// substitution can be read only once. Linux: an anonymous memory file that
// the copies inherit; Windows: a temporary file, removed at the end of the
// process. A device is not read: its path comes back unchanged, for the
// HEX reader to refuse. On failure returns "" and says why in `why`.
std::string shared_copy_of(const char *path, std::string &why);
