// The console operations that differ by platform, on Windows: the pause,
// Ctrl-C, the standard streams and the terminal.
#include "output/console.h"

#include <windows.h>

#include <timeapi.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <io.h>

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

// The console's stop events as signal numbers: Ctrl-C is SIGINT (status
// 130), Ctrl-Break SIGBREAK (149), and the closing of the console counts as
// SIGHUP (129), as a closed terminal does on Linux.
constexpr LONG CLOSED_CONSOLE_SIGNAL = 1;
volatile LONG stop_signal = 0;

BOOL WINAPI note_stop(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        InterlockedExchange(&stop_signal, SIGINT);
        return TRUE;
    case CTRL_BREAK_EVENT:
        InterlockedExchange(&stop_signal, SIGBREAK);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // The system ends the process when this returns: keep it from
        // returning, so that the run stops between reports and ends itself
        // (within the few seconds that the system allows).
        InterlockedExchange(&stop_signal, CLOSED_CONSOLE_SIGNAL);
        Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
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

void hold_stop_signals()
{
    // Called last, this handler is asked first, and takes the events.
    SetConsoleCtrlHandler(note_stop, TRUE);
}

int take_stop_signal()
{
    return int(InterlockedExchange(&stop_signal, 0));
}

const char *signal_name(int number)
{
    static char name[24];
    switch (number) {
    case SIGINT:
        return "SIGINT";
    case SIGBREAK:
        return "SIGBREAK";
    case CLOSED_CONSOLE_SIGNAL:
        return "SIGHUP";
    case SIGTERM:
        return "SIGTERM";
    }
    std::snprintf(name, sizeof name, "signal %d", number);
    return name;
}

void guard_standard_streams()
{
    // The device is a kernel handle, never one of the C runtime's
    // descriptors 0-2, and the HEX file is opened read-only and closed
    // again before anything more is printed. A write to a closed pipe fails
    // with an error here, never with a signal. What is printed is UTF-8
    // (the manifest makes it the ANSI code page too): so is the console's.
    SetConsoleOutputCP(CP_UTF8);
}

int stderr_is_terminal()
{
    return _isatty(2) != 0;
}

int stderr_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int stderr_takes_escapes()
{
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return _isatty(2) && GetConsoleMode(console, &mode) &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
}
