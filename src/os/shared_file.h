// A file read once, to be read again: by this process and by every copy
// of quorvel that it starts.
#pragma once

#include <string>

// Reads the file at `path` once, to its end, into a file that this process
// and every copy can open by the path returned: a pipe or a process
// substitution can be read only once. Linux: an anonymous memory file that
// the copies inherit; Windows: a temporary file, removed at the end of the
// process. A device is not read: its path comes back unchanged, for the
// HEX reader to refuse. On failure returns "" and says why in `why`.
std::string shared_copy_of(const char *path, std::string &why);
