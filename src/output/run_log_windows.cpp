// The -log= file on Windows: opened for appending only, so that the lines
// of several stations sharing one file never overwrite each other, and
// flushed to the disk after each line.
#include "output/run_log.h"

#include <windows.h>

namespace {

HANDLE log_handle = INVALID_HANDLE_VALUE;
bool on_disk = false;  // a file on a disk: flushed after each line

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

LogOpen log_file_open(const char *path, std::string &why)
{
    log_handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log_handle == INVALID_HANDLE_VALUE) {
        // A named pipe whose server is not there.
        const bool no_reader = GetLastError() == ERROR_PIPE_BUSY || GetLastError() == ERROR_PIPE_NOT_CONNECTED;
        why = last_error_text();
        return no_reader ? LOG_NO_READER : LOG_CANNOT_OPEN;
    }
    on_disk = GetFileType(log_handle) == FILE_TYPE_DISK;
    return LOG_OPENED;
}

LogAppend log_file_append(std::string_view line, std::string &why)
{
    // A full disk refuses the whole write on Windows: nothing to cut off.
    DWORD written = 0;
    if (!WriteFile(log_handle, line.data(), DWORD(line.size()), &written, nullptr) || written != line.size()) {
        why = written != 0 && written != line.size() ? "the disk is full" : last_error_text();
        return LOG_NOT_APPENDED;
    }
    if (on_disk && !FlushFileBuffers(log_handle)) {
        why = last_error_text();
        return LOG_NOT_FLUSHED;
    }
    return LOG_APPENDED;
}
