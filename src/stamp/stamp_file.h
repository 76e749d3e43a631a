// The stamp state file as the system gives it: opened and locked for one
// process at a time (flock on Linux, LockFileEx on Windows), read, and
// written back in place, on the disk before the lock is let go.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct StampFile {
    intptr_t handle;  // the descriptor or HANDLE; -1 when not open
};

// Opens the file at `path` for reading and writing, creating it (empty)
// when `create` and it is missing, and waits until this process alone
// holds its lock. 1 when open and locked; 0 with the reason in `why`.
// `missing` is set to 1 when the file is not there and was not created.
int stamp_file_lock(const char *path, bool create, StampFile &file, int &missing, std::string &why);

// The whole file. 1, or 0 with the reason in `why`.
int stamp_file_read(StampFile &file, std::string &text, std::string &why);

// Puts `text` in place of what the file holds and waits until it is on the
// disk. 1, or 0 with the reason in `why`.
int stamp_file_write(StampFile &file, std::string_view text, std::string &why);

// Lets go of the lock and closes the file.
void stamp_file_unlock(StampFile &file);
