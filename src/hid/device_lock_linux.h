// The one-writer lock on Linux: an exclusive flock on the open hidraw node.
#pragma once

// Takes the board's lock on its open descriptor without waiting; the lock
// lasts until the descriptor is closed. Returns 1 when this run holds it, 0
// when another run does, -1 when the lock could not be taken at all (errno
// says why).
int lock_board(int fd);

// 1 when the descriptor that device_use_held_lock named holds the lock on
// the same node as `fd`: the run that started this copy took the board
// for it.
int lock_held_for_us(int fd);

// The name that a run's writer process gives itself (its /proc comm), so
// that another run can tell a writer from a run that holds a board itself
// (a station keeps each board it wrote until the board leaves).
inline constexpr const char *WRITER_PROCESS_NAME = "quorvel-writer";

// Who holds a board's lock, as far as /proc tells.
enum BoardHolder {
    HOLDER_UNKNOWN,    // no lock seen, or its holder could not be read
    HOLDER_LIVE_RUN,   // the writer of a run that is still going
    HOLDER_ENDED_RUN,  // the writer of a run that has ended: it holds the board until
                       // the kernel ends the write that run gave up on
};

// Who holds the lock on the node open at `fd`. A lock is taken by a run's
// writer process, forked from the run and so with the run's command line
// (while the run goes on, the writer's parent is that run; once it has
// ended, the writer has another parent: init, or whichever process adopts
// orphans), or by a station itself, which is a live run.
BoardHolder board_holder(int fd);

// The process that holds the lock on the node at this path, as /proc/locks
// tells (a waiter does not count), or 0 when none does or it cannot be told.
long lock_holder_pid(const char *path);
