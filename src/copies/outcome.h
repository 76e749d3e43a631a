// How a board's copy of quorvel ended, as a value, with its line for people.
#pragma once

#include <string>
#include <string_view>

enum CopyEnd {
    COPY_DONE,         // status 0: the board is programmed
    COPY_FAILED,       // any other status
    COPY_INTERRUPTED,  // a status other than 0 after this run passed a stop signal on
    // Status 1 after its done event: the board is programmed, but the copy
    // could not write its line to the log (its standard error holds the line).
    COPY_DONE_UNLOGGED,
};

// Whether the board of a copy that ended so is programmed.
inline bool copy_programmed(int end)
{
    return end == COPY_DONE || end == COPY_DONE_UNLOGGED;
}

struct CopyOutcome {
    CopyEnd end;
    // For people, in one line: "Done", or the copy's error: the error event
    // among its -json events, else the first two lines of its standard
    // error, joined; a copy that the passed-on signal ended before it said
    // anything was interrupted before its upload.
    std::string text;
};

// The outcome of a copy that ended with `status`, having written `err` to
// standard error and `events` to standard output; `passed_on` is the stop
// signal passed on to the copies, or 0.
CopyOutcome copy_outcome(int status, std::string_view err, std::string_view events, int passed_on);
