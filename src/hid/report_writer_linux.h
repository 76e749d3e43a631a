// The process that makes the hidraw writes of the current device.
#pragma once

#include "hid/device_lock_linux.h"
#include "hid/hid_device.h"

#include <cstddef>
#include <cstdint>
#include <string>

// How the start of a writer went.
enum WriterStart {
    WRITER_STARTED,      // it runs and holds the board
    WRITER_BOARD_HELD,   // another process holds the board's lock
    WRITER_NOT_STARTED,  // the writer process could not be made (errno says why)
    WRITER_LOCK_FAILED,  // the writer could not take the lock (errno says why)
};

// Starts the writer process for this open hidraw descriptor, which takes
// the board's lock (see lock_board) and holds the descriptor and the lock
// until the writer is stopped and its last write has ended in the kernel.
WriterStart writer_start(int fd);

// Why a board was not taken, for a writer that did not start: its kind and
// what follows the node's path in the message.
struct BoardRefusal {
    HidOpenError kind;
    std::string why;
};
BoardRefusal board_refusal(WriterStart start, BoardHolder holder, int error);

// How a step of a play fared.
enum WriterOutcome {
    WRITER_DELIVERED,       // written whole
    WRITER_WRITE_ERROR,     // the write failed, or the writer is gone: `error` says why
    WRITER_SHORT_WRITE,     // the device took only `written` of `length` bytes
    WRITER_LATE,            // no answer within the limit; the write may still be in the kernel
    WRITER_NOT_BEGUN,       // this machine was too busy: long past when it was due, the writer had
                            // not begun the write, or waited for a processor rather than for the device
};

struct WriterAnswer {
    WriterOutcome outcome;
    int error;      // WRITER_WRITE_ERROR: the errno
    long written;   // WRITER_SHORT_WRITE: the bytes that the device took
    size_t length;  // the report's length
    long long limit_ms;  // WRITER_LATE: the limit; WRITER_NOT_BEGUN: how long it waited
};

// The answer for what the writer says of a write of `length` bytes: the
// bytes written, or -errno.
WriterAnswer writer_outcome(long reply, size_t length, long long limit_ms);

// A write that the writer has not started this long after it was due (the
// end of the write before it and of the pause after that) was held up by
// this machine, not by the board: the writer never got a processor. So is
// one past its limit while the writer waits for a processor rather than
// for the device, once it has waited this much longer.
inline constexpr long long WRITER_START_GRACE_NS = 1'000'000'000;

// What the run sees of a play at one look, and what it makes of it.
struct PlaySight {
    int count;            // steps in the play
    int started;          // steps whose write has begun
    int delivered;        // steps delivered whole
    long long began_ns;   // started > delivered: when the write in hand began
    long long limit_ns;   // and its limit
    long long due_ns;     // started == delivered: when the next write was due to begin
    long long next_limit_ns;  // the least limit of the steps not yet begun; 0 when none is left
};

enum PlayVerdict {
    PLAY_WAIT,       // all is on time: look again by `until_ns`
    PLAY_LATE,       // the write in hand is past its limit
    PLAY_NOT_BEGUN,  // the next write is WRITER_START_GRACE_NS past when it was due
                     // (never said once every step is delivered)
};

struct PlayLook {
    PlayVerdict verdict;
    long long until_ns;
};

// What the run makes of a sight at `now_ns`, looking again at the latest
// by `tick_ns` for the progress shown. A write not yet begun may begin at
// once (or as soon as the pause before it ends) and never end: the run also
// looks again by then plus the least limit that such a write can have.
PlayLook play_look(const PlaySight &sight, long long now_ns, long long tick_ns);

// How a play ended.
struct WriterPlay {
    PlayEnd end;
    WriterAnswer answer;  // PLAY_FAILED: why step `end.at` was not delivered
};

// Where the writer reads the steps of a play from, for `count` steps; null
// without a writer, or for more than PLAY_MAX_STEPS.
PlayStep *writer_room(int count);

// Has the writer play these steps (copied to its room first, unless they
// are there already), and watches: each write within its
// limit from when the writer began it, and each begun in time. Past a
// limit, or when a write is not begun in time, the writer is told to write
// nothing more and the play ends at once, leaving the write (if any) in
// the kernel; nothing more can be played then.
WriterPlay writer_play(const PlayStep *steps, int count, const PlayWatch &watch);

// Stops the writer. When no write of it is still in the kernel, waits until
// it has freed the board, so that the board is free on return; otherwise
// the writer frees it once the kernel has ended that write.
void writer_stop();
