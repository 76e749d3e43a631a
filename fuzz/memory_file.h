// Hands fuzz input to code that reads a file by path: an in-memory file
// (memfd) rewritten for each input and opened again through /proc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

inline std::string memory_file_with(const uint8_t *data, size_t size)
{
    static int fd = memfd_create("quorvel-fuzz", 0);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
}
