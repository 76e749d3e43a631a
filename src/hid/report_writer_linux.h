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

// At most this many reports are handed over and not yet answered.
inline constexpr int WRITER_QUEUE = 2;

// Hands these bytes to the writer, which writes them once it has written
// the reports handed over before; the time limit runs from then. Returns 1,
// or -errno when the writer is gone or WRITER_QUEUE reports are unanswered.
long writer_hand(const uint8_t *bytes, size_t length, long long limit_ms);

// The reports handed over and not yet answered.
int writer_unanswered();

// How a report handed over fared.
enum WriterOutcome {
    WRITER_DELIVERED,    // written whole
    WRITER_WRITE_ERROR,  // the write failed, or the writer is gone: `error` says why
    WRITER_SHORT_WRITE,  // the device took only `written` of `length` bytes
    WRITER_LATE,         // no answer within the limit; the write may still be in the kernel
};

struct WriterAnswer {
    WriterOutcome outcome;
    int error;      // WRITER_WRITE_ERROR: the errno
    long written;   // WRITER_SHORT_WRITE: the bytes that the device took
    size_t length;  // the report's length
    long long limit_ms;
};

// The answer for what the writer says of a write of `length` bytes: the
// bytes written, or -errno.
WriterAnswer writer_outcome(long reply, size_t length, long long limit_ms);

// Waits for the answer to the oldest report not yet answered, at most until
// its limit has passed since its write began. Past the limit the write goes
// on in the writer, which then writes nothing more: nothing more may be
// handed over.
WriterAnswer writer_answer();

// Stops the writer. When no write of it is still in the kernel, waits until
// it has freed the board, so that the board is free on return; otherwise
// the writer frees it once the kernel has ended that write.
void writer_stop();
