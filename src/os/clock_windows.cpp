// The clock on Windows: pauses to the millisecond.
#include "os/clock.h"

#include <windows.h>

#include <timeapi.h>

#include <algorithm>
#include <cstdlib>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

void end_timer_period()
{
    timeEndPeriod(1);
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
