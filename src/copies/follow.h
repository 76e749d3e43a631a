// Following the boards' copies of quorvel: the one loop of -all, which
// starts a fixed list of boards, and of -station, which starts boards as
// they come. It reads the copies' lines, passes their events on with their
// board, keeps the live view, ends each board (board_ended, its outcome)
// and counts them, and passes the stop signals on to the copies.
#pragma once

#include "copies/board_stamp.h"
#include "copies/outcome.h"
#include "hid/hid_device.h"

#include <chrono>
#include <string>
#include <vector>

// A board whose copy was started.
struct FollowedBoard {
    HidDeviceInfo board;
    int copy;  // its copy's number; -1 once it ended, or when it could not start
    int row;   // its row in the live view
    std::chrono::steady_clock::time_point started;
    // Its device, done and error events so far (lasting_events): what its
    // outcome and its log line rest on. Its progress is not kept, so that a
    // long run holds little per board.
    std::string events;
    bool ended;
    int status;           // once ended: its exit status
    std::string err;      // once ended: its standard error; emptied when the board is programmed
    double seconds;       // once ended: from its start to its end
    CopyOutcome outcome;  // once ended
    BoardStamp stamp;     // -stamp=: its value, taken by this run
};

// What a run adds to the loop; any of them may be null.
struct FollowHooks {
    // Whether more boards may still come (-station); null: the boards
    // started before follow_copies are all.
    bool (*taking)();
    // Once per wait for news: looks for new boards, starting each with
    // follow_board, and whatever else the run looks at as it goes.
    void (*look)();
    // A board's copy started (after board_started).
    void (*started)(const FollowedBoard &board);
    // A board's copy ended: its outcome is known and its log line written
    // (by the copy itself once its upload began, else by this run);
    // board_ended and the live view's line come right after.
    void (*ended)(const FollowedBoard &board);
    // The counts changed, or a stop signal came: the run shows them.
    void (*counts)();
};

// The boards followed and their counts: one record for the process.
struct Following {
    const char *program;  // what the copies run: null for quorvel itself
    FollowHooks hooks;
    std::vector<FollowedBoard> boards;  // every board started, in order
    int running, done, failed;
    int first_signal;  // the first stop signal passed on to the copies, 0 while none came
    int last_signal;   // the latest one
};
extern Following following;

// Starts following, with no board yet: copies of `program` (null: of
// quorvel itself). 1, or 0 with the reason in `why` where copies cannot be
// run.
int follow_begin(const char *program, const FollowHooks &hooks, std::string &why);

// Starts the copy that programs `board` with these arguments: its row in
// the live view, board_started, the started hook, the counts. A copy that
// cannot start ends at once, failed (status 127). Returns the board's
// index in following.boards.
// `lock`, when not -1, is the board's lock that the run holds, for the copy
// to inherit (copy_start). `stamp`: the board's value (board_stamp_take),
// for its row, its board_started event and its log line; one whose value
// was refused starts no copy and ends at once, failed (status 1).
int follow_board(const HidDeviceInfo &board, const std::vector<std::string> &arguments, int lock = -1,
                 const BoardStamp &stamp = BoardStamp{});

// Follows the copies until no more boards come and every copy has ended,
// waiting for news at most `step` seconds at a time. With `watch` (a live
// view or -json), each line of a copy is taken as it comes; without,
// the loop wakes only for a copy's end, a stop signal or the next step.
void follow_copies(double step, bool watch);
