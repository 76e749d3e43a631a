// A file read once into a temporary file that every copy can open: Windows.
#include "os/shared_file.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char shared_path[MAX_PATH] = "";

void remove_shared_copy()
{
    DeleteFileA(shared_path);
}

}  // namespace

std::string shared_copy_of(const char *path, bool, std::string &why)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE))
        return path;
    std::FILE *in = std::fopen(path, "rb");
    if (!in) {
        why = std::strerror(errno);
        return "";
    }
    char directory[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, directory);
    // The name is made (as an empty file) here; it goes away as the process ends.
    std::FILE *copy = nullptr;
    if (GetTempFileNameA(directory, "qv", 0, shared_path)) {
        std::atexit(remove_shared_copy);
        copy = std::fopen(shared_path, "wb");
    }
    char buffer[65536];
    size_t got = 0;
    bool copied = copy != nullptr;
    while (copied && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        copied = std::fwrite(buffer, 1, got, copy) == got;
    copied = copied && !std::ferror(in);
    int error = errno;
    std::fclose(in);
    if (copy && std::fclose(copy) != 0)
        copied = false;
    if (!copied) {
        why = std::strerror(error);
        return "";
    }
    return shared_path;
}

int shared_file_unchanged()
{
    return 1;  // always a copy here
}
