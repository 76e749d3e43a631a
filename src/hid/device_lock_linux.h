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
