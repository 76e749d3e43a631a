// The process that makes the hidraw writes of the current device.
#pragma once

#include <cstddef>
#include <cstdint>

// An answer's outcome when the writer did not answer within the limit.
inline constexpr long WRITER_LATE = -1'000'000;

// Starts the writer process for this open hidraw descriptor, which takes
// the board's lock (see lock_board) and holds the descriptor and the lock
// until the writer is stopped and its last write has ended in the kernel.
// Returns 1 when it runs, 0 when another run holds the board, -1 when the
// writer could not start or the lock could not be taken (errno says why).
int writer_start(int fd);

// At most this many reports are handed over and not yet answered.
inline constexpr int WRITER_QUEUE = 2;

// Hands these bytes to the writer, which writes them once it has written
// the reports handed over before; the time limit runs from then. Returns 1,
// or -errno when the writer is gone or WRITER_QUEUE reports are unanswered.
long writer_hand(const uint8_t *bytes, size_t length, long long limit_ms);

// The reports handed over and not yet answered.
int writer_unanswered();

struct WriterAnswer {
    long outcome;  // the bytes written, -errno when the write failed, or WRITER_LATE
    size_t length;
    long long limit_ms;
};

// Waits for the answer to the oldest report not yet answered, at most until
// its limit has passed since its write began. Past the limit the write goes
// on in the writer, which then writes nothing more: nothing more may be
// handed over.
WriterAnswer writer_answer();

// Stops the writer. When no write of it is still in the kernel, waits until
// it has freed the board, so that the board is free on return; otherwise
// the writer frees it once the kernel has ended that write.
void writer_stop();
