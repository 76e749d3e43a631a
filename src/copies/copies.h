// Copies of this program run side by side, one per board, each one's
// standard output read as it comes: how -all and -station program several
// boards at once. One file per platform implements it; copies/follow.h
// follows them.
#pragma once

#include <string>
#include <vector>

// What came from the copies since the last look: complete lines of a
// copy's standard output (with "\n" line ends on every platform), or its
// end with its exit status (128 + the signal when one ended it) and all
// that it wrote to standard error.
struct CopyNews {
    int copy;
    std::string lines;
    bool ended;
    int status;
    std::string err;
    bool killed;  // ended by a signal it did not catch: it said and wrote nothing at its end
};

// Holds the stop signals (SIGINT, SIGTERM, SIGHUP; on Windows the
// console's Ctrl-C, Ctrl-Break and close) for copies_wait to take, from now
// on; the copies start with the signal mask from before. 1, or 0 with the
// reason in `why` where copies cannot be run so. Once is enough: a second
// call returns 1 at once.
int copies_begin(std::string &why);

// Starts one copy with these arguments after the program name, standard
// input from the null device: of this program when `program` is null, else
// of the program at that path (for the tests). Returns its number, from 0
// up and never used twice, or -1 with the reason in `why`. No copy
// outlives this process, however it ends. On Linux, a descriptor `inherit`
// other than -1 is the copy's descriptor COPY_INHERITED_FD (the board's
// lock that this run holds for it; see device_hold); Windows passes none.
int copy_start(const char *program, const std::vector<std::string> &arguments, std::string &why,
               int inherit = -1);

inline constexpr int COPY_INHERITED_FD = 3;

// Waits at most `seconds` for news of the copies and adds it to `news`;
// returns the stop signal that came meanwhile, or 0. A stop signal is
// passed on to every running copy (on Windows the copies share the console
// and get its Ctrl-C, Ctrl-Break and close themselves). With `follow`, a
// line of output ends the wait; without, only the end of a copy or a
// signal does, and the output comes at the end of the wait: fewer wake-ups
// where nobody watches the lines as they come.
int copies_wait(double seconds, bool follow, std::vector<CopyNews> &news);

