// The standard streams and the terminal behind standard error.
#pragma once

// Opens the null device onto any of descriptors 0, 1 and 2 that is closed,
// so that the device or the HEX file, opened later, can never take the place
// of standard output or standard error; and makes a write to a closed pipe
// fail instead of ending the process, so that output to `| head -1` never
// leaves a board half written. On Windows, sets the console's output code
// page to UTF-8, the encoding of all that is printed. Called first thing.
void guard_standard_streams();

// 1 when standard error is a terminal (a person watches it), else 0.
int stderr_is_terminal();

// 1 when standard error is a terminal that acts on ANSI escape sequences
// (cursor up, erase, colour); on Windows this turns them on for the
// console, where the system allows it.
int stderr_takes_escapes();

// The width of standard error's terminal in columns, as it is now (a
// window may be resized at any time); 0 when it is not known.
int stderr_columns();

// The height of standard error's terminal in rows, as it is now; 0 when it
// is not known.
int stderr_rows();
