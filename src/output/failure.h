// What went wrong, as a value: the kind that the code decides on, and the
// message for people beside it. Below main and the runs nothing ends the
// process: a function returns a Failure (or 1/0 and fills one in), and its
// caller decides what comes next.
#pragma once

#include <cstdint>
#include <string>

#if defined(__GNUC__)
#define QUORVEL_PRINTF(format_index) __attribute__((format(printf, format_index, format_index + 1)))
#else
#define QUORVEL_PRINTF(format_index)
#endif

enum FailureKind {
    FAILURE_NONE = 0,     // nothing went wrong
    FAILURE_USAGE,        // no file or no MCU: the usage text follows the message
    FAILURE_OPTION,       // an option that cannot be read or options that do not go together
    FAILURE_FIRMWARE,     // the HEX file cannot be read, holds nothing, or does not fit the MCU
    FAILURE_LOG,          // the -log= file cannot be opened
    FAILURE_NO_BOARD,     // no usable board: none there, none that may be written, or several alike
    FAILURE_BUSY,         // the board is being written by another quorvel run
    FAILURE_TOUCH,        // the reset through the serial port failed
    FAILURE_WRITE,        // a report was not delivered
    FAILURE_INTERRUPTED,  // a stop signal ended the run; `signal` names it
    FAILURE_SYSTEM,       // the system refused what the run needs (copies of quorvel, a pipe)
    FAILURE_APPLICATION,  // -expect-app: the application did not appear after START_APPLICATION
    FAILURE_STAMP,        // -stamp=: no value for the board (state, list or database), or it does not fit
};

struct Failure {
    FailureKind kind;
    // Its first line says what went wrong, the next ones what to do; each
    // line ends in "\n", as the message is printed (one more "\n" follows).
    std::string message;
    int signal;           // FAILURE_INTERRUPTED: the stop signal's number
    const char *command;  // FAILURE_WRITE: the command whose report failed ("data"), else null
    int32_t address;      // FAILURE_WRITE: the address of its block, or -1 outside a block
};

// A failure of this kind with the message formatted as printf does.
Failure failure(FailureKind kind, const char *format, ...) QUORVEL_PRINTF(2);

// 1 when `result` is a failure, 0 for FAILURE_NONE.
inline int failed(const Failure &result)
{
    return result.kind != FAILURE_NONE;
}
