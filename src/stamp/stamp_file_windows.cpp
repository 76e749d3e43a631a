// The stamp state file on Windows: LockFileEx, and FlushFileBuffers before
// the lock is let go.
#include "stamp/stamp_file.h"

#include "os/error_text_windows.h"

#include <windows.h>

namespace {

HANDLE handle_of(const StampFile &file)
{
    return reinterpret_cast<HANDLE>(file.handle);
}

}  // namespace

int stamp_file_lock(const char *path, bool create, StampFile &file, int &missing, std::string &why)
{
    file.handle = -1;
    missing = 0;
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        why = error_text(error);
        return 0;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        why = "cannot lock it: " + error_text(GetLastError());
        CloseHandle(handle);
        return 0;
    }
    file.handle = reinterpret_cast<intptr_t>(handle);
    return 1;
}

int stamp_file_read(StampFile &file, std::string &text, std::string &why)
{
    text.clear();
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle_of(file), start, nullptr, FILE_BEGIN)) {
        why = error_text(GetLastError());
        return 0;
    }
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle_of(file), buffer, sizeof buffer, &got, nullptr)) {
            why = error_text(GetLastError());
            return 0;
        }
        if (got == 0)
            return 1;
        text.append(buffer, got);
    }
}

int stamp_file_write(StampFile &file, std::string_view text, std::string &why)
{
    LARGE_INTEGER start{};
    DWORD put = 0;
    if (!SetFilePointerEx(handle_of(file), start, nullptr, FILE_BEGIN) ||
        !WriteFile(handle_of(file), text.data(), DWORD(text.size()), &put, nullptr) || put != text.size() ||
        !SetEndOfFile(handle_of(file)) || !FlushFileBuffers(handle_of(file))) {
        why = error_text(GetLastError());
        return 0;
    }
    return 1;
}

void stamp_file_unlock(StampFile &file)
{
    if (file.handle != -1) {
        OVERLAPPED whole{};
        UnlockFileEx(handle_of(file), 0, MAXDWORD, MAXDWORD, &whole);
        CloseHandle(handle_of(file));
    }
    file.handle = -1;
}
