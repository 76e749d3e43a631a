// The -log= file on Windows: opened for appending only, so that the lines
// of several stations sharing one file never overwrite each other, and
// flushed to the disk after each line.
#include "output/run_log.h"

#include <windows.h>

namespace {

HANDLE log_handle = INVALID_HANDLE_VALUE;

std::string last_error_text()
{
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0,
                   text, sizeof text, nullptr);
    std::string why(text);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == '.'))
        why.pop_back();
    return why;
}

}  // namespace

int log_file_open(const char *path, std::string &why)
{
    log_handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log_handle == INVALID_HANDLE_VALUE)
        why = last_error_text();
    return log_handle != INVALID_HANDLE_VALUE;
}

int log_file_append(std::string_view line, std::string &why)
{
    DWORD written = 0;
    if (!WriteFile(log_handle, line.data(), DWORD(line.size()), &written, nullptr) ||
        written != line.size() || !FlushFileBuffers(log_handle)) {
        why = last_error_text();
        return 0;
    }
    return 1;
}
