// The stop signals (Ctrl-C and the like): held for the upload to take
// between two reports, or left to end the process at once.
#pragma once

// From now on Ctrl-C ends the process at once with this exit status.
void exit_on_interrupt(int status);

// From now on SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and
// the closing of the console) no longer end the process: each waits to be
// taken by take_stop_signal, so that an upload stops between two reports
// and says so. Ctrl-C of an earlier exit_on_interrupt no longer ends it either.
void hold_stop_signals();

// The stop signal that came since hold_stop_signals, taken: its number
// (SIGINT, SIGTERM, SIGHUP; on Windows SIGINT, SIGBREAK and, for the closed
// console, SIGHUP), or 0 when none came. The run it stops ends with status
// 128 + that number.
int take_stop_signal();

// A descriptor that can be polled for input while a stop signal waits to
// be taken (Linux: a signalfd of the held signals), so that a run asleep
// in poll wakes for it; -1 where there is none (Windows: the console's
// events are noted by a handler of their own).
int stop_signal_descriptor();

// The signal's name for messages and events: "SIGTERM".
const char *signal_name(int number);
