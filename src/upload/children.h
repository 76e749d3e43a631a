// Copies of this program run side by side, each with its output captured:
// how -all programs every board at once. One file per platform implements it.
#pragma once

#include <string>
#include <vector>

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
