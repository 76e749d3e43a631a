// Raw binary reader: the file's bytes, in order, into the firmware image
// from a base address up. Only ever used when asked for (-binary): a file
// is never guessed to be a raw binary.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int32_t BINARY_READ_OPEN_FAILED = -1;  // not opened, or a read error
inline constexpr int32_t BINARY_READ_TOO_LARGE = -2;    // the bytes reach beyond the image

// Loads the file at `path` into `firmware_image` from `base` upward and
// returns the number of bytes, or one of the negative results above, with
// the reason in `problem`.
int32_t load_binary_file(const char *path, uint32_t base, std::string &problem);
