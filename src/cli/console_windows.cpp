// The console helpers that differ by platform: Windows.
#include "cli/console.h"

#include <windows.h>

#include <timeapi.h>

#include <algorithm>
#include <cstdlib>
#include <io.h>
#include <string>
#include <vector>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

volatile LONG interrupt_status = 1;

void end_timer_period()
{
    timeEndPeriod(1);
}

BOOL WINAPI exit_on_control(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    ExitProcess(UINT(interrupt_status));
}

// How late the system wakes a sleeper, learned from earlier pauses: a pause
// sleeps to this much short of its end and spins on the clock for the rest.
// The estimate rises by a quarter of each excess and falls by an eighth (it
// follows the usual lateness, not its peaks); it never grows past the cap.
// All in ticks of the performance counter, so that no rounding can make a
// pause end early.
long long timer_lateness = 0;

long long ticks_per_second()
{
    static const long long frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return frequency;
}

long long now_ticks()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// A high-resolution waitable timer where the system has one (Windows 10
// 1803 on); null elsewhere, and Sleep serves instead.
HANDLE fine_timer()
{
    static const HANDLE timer =
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    return timer;
}

void sleep_ticks(long long ticks)
{
    long long hundreds_of_ns = ticks * 10'000'000LL / ticks_per_second();  // rounded down: never long
    if (hundreds_of_ns <= 0)
        return;
    LARGE_INTEGER due;
    due.QuadPart = -hundreds_of_ns;  // relative
    if (fine_timer() && SetWaitableTimer(fine_timer(), &due, 0, nullptr, nullptr, FALSE))
        WaitForSingleObject(fine_timer(), INFINITE);
    else
        Sleep(DWORD(hundreds_of_ns / 10'000));
}

}  // namespace

void pause_seconds(double seconds)
{
    // A 1 ms timer for the rest of the run: else the 10 ms pause after each
    // block lasts a whole 15.6 ms tick, about 1.4 s more for 256 blocks.
    static const bool fine_period = [] {
        timeBeginPeriod(1);
        std::atexit(end_timer_period);
        return true;
    }();
    (void)fine_period;
    long long milliseconds = static_cast<long long>(seconds * 1000.0);
    if (milliseconds <= 0)
        return;
    // Rounded up: the pause lasts at least its whole milliseconds.
    long long end = now_ticks() + (milliseconds * ticks_per_second() + 999) / 1000;
    long long wake = end - timer_lateness;
    sleep_ticks(wake - now_ticks());
    long long late = now_ticks() - wake;
    timer_lateness += late > timer_lateness ? (late - timer_lateness) / 4 : -(timer_lateness - late) / 8;
    timer_lateness = std::clamp(timer_lateness, 0LL, ticks_per_second() / 500);  // at most 2 ms
    // Never end early: the rest is short, spin it away.
    while (now_ticks() < end) {
    }
}

void exit_on_interrupt(int status)
{
    interrupt_status = status;
    SetConsoleCtrlHandler(exit_on_control, TRUE);
}

void guard_standard_streams()
{
    // Nothing to do: the device is a kernel handle, never one of the C
    // runtime's descriptors 0-2, and the HEX file is opened read-only and
    // closed again before anything more is printed.
}

namespace {

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::string quoted(const std::string &argument)
{
    std::string result = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        result.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, '\\');
    return result + "\"";
}

// A temporary file that the copy writes to and that goes away when closed.
HANDLE capture_file()
{
    char directory[MAX_PATH] = "", path[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, directory);
    GetTempFileNameA(directory, "qv", 0, path);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

std::string read_back(HANDLE file)
{
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return text;
}

}  // namespace

void run_copies(std::vector<CopyRun> &copies)
{
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
    struct Started {
        HANDLE process, out, err;
    };
    std::vector<Started> started;
    for (CopyRun &copy : copies) {
        Started child{nullptr, capture_file(), capture_file()};
        std::string command_line = quoted(self);
        for (const std::string &argument : copy.arguments)
            command_line += " " + quoted(argument);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nothing;
        startup.hStdOutput = child.out;
        startup.hStdError = child.err;
        PROCESS_INFORMATION process{};
        if (CreateProcessA(self, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process)) {
            CloseHandle(process.hThread);
            child.process = process.hProcess;
        }
        started.push_back(child);
    }
    for (size_t i = 0; i < copies.size(); ++i) {
        DWORD status = 127;
        if (started[i].process) {
            WaitForSingleObject(started[i].process, INFINITE);
            GetExitCodeProcess(started[i].process, &status);
            CloseHandle(started[i].process);
        }
        copies[i].status = int(status);
        copies[i].out = read_back(started[i].out);
        copies[i].err = read_back(started[i].err);
        if (!started[i].process)
            copies[i].err = "quorvel: cannot start a copy of itself\n";
    }
    CloseHandle(nothing);
}

int stderr_is_terminal()
{
    return _isatty(2) != 0;
}
