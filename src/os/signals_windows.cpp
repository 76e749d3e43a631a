// The stop signals on Windows: the console's Ctrl-C, Ctrl-Break and close
// events, at once or held for the upload to take.
#include "os/signals.h"

#include <windows.h>

#include <csignal>
#include <cstdio>

namespace {

volatile LONG interrupt_status = 1;

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

}  // namespace

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

int stop_signal_descriptor()
{
    return -1;
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
