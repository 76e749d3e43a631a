#include "cli/console.h"

#include "cli/options.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {
ExitHook exit_hook = nullptr;
}

void set_exit_hook(ExitHook hook)
{
    exit_hook = hook;
}

void end_process(int status)
{
    if (exit_hook)
        exit_hook(status);
    std::exit(status);
}

int log_verbose(const char *format, ...)
{
    if (!run_options.verbose)
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
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    end_process(1);
}
