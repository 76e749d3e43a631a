// The loop that follows the boards' copies, for -all and -station alike.
#include "copies/follow.h"

#include "copies/copies.h"
#include "copies/live_view.h"
#include "output/events.h"
#include "output/run_log.h"


Following following;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void show_counts()
{
    if (following.hooks.counts)
        following.hooks.counts();
}

void end_board(FollowedBoard &board, int status, const std::string &err, bool killed)
{
    board.copy = -1;
    board.ended = true;
    board.status = status;
    board.err = err;
    board.seconds = seconds_since(board.started);
    board.outcome = copy_outcome(status, err, board.events, following.last_signal);
    --following.running;
    const HidDeviceInfo &b = board.board;
    const bool done = copy_programmed(board.outcome.end);
    (done ? following.done : following.failed) += 1;
    // A copy whose upload began (its device event) wrote its own line when
    // it ended, whatever happens to this run; one that never got so far, or
    // that a signal killed before it could, has its line from here.
    if (!has_event(board.events, "device") || killed)
        run_log_board(LoggedBoard{b.path, b.serial, b.location, b.vendor_id, b.product_id, board.stamp.value,
                                  board.stamp.image_sha256},
                      done ? "done" : board.outcome.text, board.seconds);
    // The lines kept back (also one that its copy handed back) are tried
    // again after each board.
    run_log_retry();
    if (following.hooks.ended)
        following.hooks.ended(board);
    event_board_ended(BoardOutcome{b.path, b.serial, b.location, done, board.outcome.text}, board.seconds);
    board_view_end(board.row, done, board.outcome.text, board.seconds);
    show_counts();
    // Nothing more to say of a board that is programmed: a long run keeps
    // little per board. (A copy that ended with 0 is done whatever it said.)
    if (done)
        std::string().swap(board.err);
    if (board.outcome.end == COPY_DONE)
        std::string().swap(board.events);
}

// The lines of a copy: its events passed on, its progress in the view.
void take_lines(FollowedBoard &board, const std::string &lines)
{
    board.events += lasting_events(lines);
    // A line that the copy could not write to the log: this run keeps it.
    for (const std::string &line : log_line_events(lines))
        run_log_keep(board.board.serial.empty() ? board.board.path : board.board.path + " " + board.board.serial,
                     line);
    pass_on_board_events(lines, board.board.path, board.board.serial, board.board.location);
    int index = 0, count = 0;
    if (last_block_event(lines, index, count))
        board_view_progress(board.row, index, count);
}

void take_news(const std::vector<CopyNews> &news)
{
    for (const CopyNews &item : news)
        for (FollowedBoard &board : following.boards) {
            if (board.copy != item.copy)
                continue;
            if (item.ended)
                end_board(board, item.status, item.err, item.killed);
            else
                take_lines(board, item.lines);
            break;
        }
}

bool taking_boards()
{
    return following.hooks.taking && following.hooks.taking();
}

}  // namespace

int follow_begin(const char *program, const FollowHooks &hooks, std::string &why)
{
    following = Following{program, hooks, {}, 0, 0, 0, 0, 0};
    return copies_begin(why);
}

int follow_board(const HidDeviceInfo &board, const std::vector<std::string> &arguments, int lock,
                 const BoardStamp &stamp)
{
    std::string why;
    const int copy = stamp.refused.empty() ? copy_start(following.program, arguments, why, lock) : -1;
    following.boards.push_back(FollowedBoard{board, copy,
                                             board_view_add(board.path, board.serial, board.location, stamp.value),
                                             std::chrono::steady_clock::now(), "", false, 0, "", 0,
                                             CopyOutcome{COPY_FAILED, ""}, stamp});
    ++following.running;
    event_board_started(board.path, board.serial, board.location, stamp.value);
    FollowedBoard &started = following.boards.back();
    if (following.hooks.started)
        following.hooks.started(started);
    if (!stamp.refused.empty())
        end_board(started, 1, stamp.refused, false);
    else if (copy < 0)
        end_board(started, 127, "quorvel: cannot start a copy of itself\n" + why + "\n", false);
    else
        show_counts();
    return int(following.boards.size() - 1);
}

void follow_copies(double step, bool watch)
{
    while (taking_boards() || following.running > 0) {
        if (following.hooks.look)
            following.hooks.look();
        std::vector<CopyNews> news;
        if (int signal = copies_wait(step, watch, news)) {
            following.last_signal = signal;
            if (!following.first_signal)
                following.first_signal = signal;
            show_counts();
        }
        take_news(news);
        board_view_tick();
    }
}
