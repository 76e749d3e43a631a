// The process that makes the hidraw writes of the current device.
#pragma once

#include <cstddef>
#include <cstdint>

// What writer_send returns when the writer did not answer within the limit.
inline constexpr long WRITER_LATE = -1'000'000;

// Starts the writer process for this open hidraw descriptor, which takes
// the board's lock (see lock_board) and holds the descriptor and the lock
// until the writer is stopped and its last write has ended in the kernel.
// Returns 1 when it runs, 0 when another run holds the board, -1 when the
// writer could not start or the lock could not be taken (errno says why).
int writer_start(int fd);

// Has the writer write these bytes to the device, and waits at most
// `limit_ms` for the outcome. Returns the bytes written, -errno when the
// write failed, or WRITER_LATE when it had not ended within the limit: the
// write then goes on in the writer, and nothing more may be sent.
long writer_send(const uint8_t *bytes, size_t length, long long limit_ms);

// Stops the writer. When no write of it is still in the kernel, waits until
// it has freed the board, so that the board is free on return; otherwise
// the writer frees it once the kernel has ended that write.
void writer_stop();
