// The one-writer lock on Windows: a named mutex per device interface path.
#pragma once

// Takes the board at this interface path for this run without waiting, by
// owning its named mutex; it stays taken until unlock_board() or the end of
// the process. Returns 1 when this run owns it, 0 when another run does, -1
// when the mutex could not be made (GetLastError() says why).
int lock_board(const char *path);

// Gives up the board that lock_board() took, if any.
void unlock_board();
