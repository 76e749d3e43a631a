// The portable console operations: the end of the process, -v output,
// failures and where messages for people go.
#include "cli/console.h"

#include "cli/events.h"
#include "cli/options.h"
#include "cli/run_log.h"

#include <cstdarg>
#include <cstdlib>
#include <string>

namespace {
ExitHook exit_hook = nullptr;
}

void set_exit_hook(ExitHook hook)
{
    exit_hook = hook;
}

void end_process(int status)
{
    run_log_end(status);
    if (status == 0 && (events_write_failed() || run_log_failed()))
        status = 1;
    if (exit_hook)
        exit_hook(status);
    std::exit(status);
}

int log_verbose(const char *format, ...)
{
    if (!run_options.verbose || run_options.json)
        return 0;
    va_list arguments;
    va_start(arguments, format);
    int written = std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fflush(stdout);
    return written;
}

void fail(const char *format, ...)
{
    // Static: the process ends (or a fuzzer's hook jumps away) before any
    // destructor here could run.
    static std::string message;
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    int length = std::vsnprintf(nullptr, 0, format, arguments);
    message.assign(size_t(length > 0 ? length : 0) + 1, '\0');
    std::vsnprintf(message.data(), message.size(), format, again);
    va_end(again);
    va_end(arguments);
    message.pop_back();  // the terminating NUL
    std::fputs(message.c_str(), stderr);
    std::fputc('\n', stderr);
    event_error(message);
    run_log_note_error(message);
    end_process(1);
}

FILE *human_output()
{
    return run_options.json ? stderr : stdout;
}
