// A file read once, to be read again: by this process and by every copy
// of quorvel that it starts; or, read by this process alone, kept open.
#pragma once

#include <string>

// Reads the file at `path` once, to its end, into a file that this process
// and every copy can open by the path returned: a pipe or a process
// substitution can be read only once. Linux: an anonymous memory file that
// the copies inherit; Windows: a temporary file, removed at the end of the
// process. A device is not read: its path comes back unchanged, for the
// HEX reader to refuse. On failure returns "" and says why in `why`.
//
// Without `for_copies`, on Linux, a regular file that has not been written
// to for a while is not copied: the path returned reads it through a
// descriptor kept open, which keeps its bytes even when its name is given
// to another file, and shared_file_unchanged says whether it was written
// to meanwhile. (Copying costs more than reading the file.)
std::string shared_copy_of(const char *path, bool for_copies, std::string &why);

// 0 when the file that shared_copy_of kept open, rather than copied, has
// been written to since (its size or modification time is no longer what
// it was); else 1.
int shared_file_unchanged();
