// The raw binary reader.
#include "image/binary_reader.h"

#include "image/firmware_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

int32_t load_binary_file(const char *path, uint32_t base, std::string &problem)
{
    image_reset();
    problem.clear();
    // A device is no firmware file, and reading one may never end.
    struct stat node;
    if (stat(path, &node) == 0 && (S_ISCHR(node.st_mode) || S_ISBLK(node.st_mode))) {
        problem = "it is a device, not a file";
        return BINARY_READ_OPEN_FAILED;
    }
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        problem = std::strerror(errno);
        return BINARY_READ_OPEN_FAILED;
    }
    const uint64_t limit = uint64_t(image_size());
    uint64_t address = base;
    uint8_t piece[16384];
    size_t got;
    bool too_large = false;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) {
        if (address + got > limit) {
            too_large = true;
            break;
        }
        for (size_t i = 0; i < got; ++i)
            image_store(uint32_t(address + i), piece[i]);
        address += got;
    }
    const bool read_failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (read_failed) {
        problem = std::strerror(error);
        return BINARY_READ_OPEN_FAILED;
    }
    const uint64_t size = address - base;
    if (too_large) {
        // Its size as the system knows it (the reading stopped at the limit).
        struct stat read_file;
        const unsigned long long file_size =
            stat(path, &read_file) == 0 ? static_cast<unsigned long long>(read_file.st_size) : 0;
        char text[200];
        std::snprintf(text, sizeof text, "%llu bytes from 0x%X reach beyond address 0x%llX", file_size,
                      unsigned(base), static_cast<unsigned long long>(limit - 1));
        problem = text;
        return BINARY_READ_TOO_LARGE;
    }
    firmware_image.data_byte_count = int32_t(size);
    firmware_image.end_record_seen = true;  // a binary has no end record: it is whole
    return int32_t(size);
}
