// One writer per board on Windows: each run owns a named mutex derived from
// the device's interface path, and -list looks for that mutex to show the
// boards that are held. The HID driver does not give exclusive handles
// reliably, so the handle itself cannot be the lock.
//
// The mutex exists while a run holds a handle to it; when a run ends without
// closing it, the system releases it, and the next owner finds it abandoned,
// which is as good as free.

#include "hid/device_lock_windows.h"

#include "hid/hid_device.h"

#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

HANDLE owned = nullptr;

// "Global\quorvel-" and a 64-bit FNV-1a hash of the lower-cased path: the
// same for every way of writing the path's letters, in every session, and
// free of the backslashes that a name may not hold.
std::string mutex_name(const char *path)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char *c = path; *c; ++c) {
        hash ^= uint8_t(std::tolower(static_cast<unsigned char>(*c)));
        hash *= 0x100000001b3ull;
    }
    char name[48];
    std::snprintf(name, sizeof name, "Global\\quorvel-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

}  // namespace

int lock_board(const char *path)
{
    unlock_board();
    HANDLE mutex = CreateMutexA(nullptr, FALSE, mutex_name(path).c_str());
    if (!mutex)
        return -1;
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        DWORD code = GetLastError();
        CloseHandle(mutex);
        SetLastError(code);
        return waited == WAIT_TIMEOUT ? 0 : -1;
    }
    owned = mutex;
    return 1;
}

void unlock_board()
{
    if (!owned)
        return;
    ReleaseMutex(owned);
    CloseHandle(owned);
    owned = nullptr;
}

// A copy takes its board's mutex itself: a station cannot hold it for it.
int device_hold(const char *, int &held)
{
    held = -1;
    return -1;
}

void device_let_go(int) {}

int device_holds()
{
    return 0;
}

void device_use_held_lock(int) {}

// The mutex exists while some run holds it. (A look by another -list at
// the same instant makes it exist too, for that instant.)
int device_in_use(const char *path)
{
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, mutex_name(path).c_str());
    if (!mutex)
        return 0;
    CloseHandle(mutex);
    return 1;
}
