// The end of a run: the outputs' finishers, then the process's end.
#include "runs/run_end.h"

#include "output/finishers.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void end_process(int status)
{
    std::exit(run_finishers(status));
}

void fail_with(const Failure &failure)
{
    std::fputs(failure.message.c_str(), stderr);
    std::fputc('\n', stderr);
    report_failure(failure);
    end_process(failure.kind == FAILURE_INTERRUPTED ? 128 + failure.signal : 1);
}

void fail(const char *format, ...)
{
    // Static: the process ends before any destructor here could run.
    static Failure failure{FAILURE_SYSTEM, "", 0, nullptr, -1};
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    int length = std::vsnprintf(nullptr, 0, format, arguments);
    failure.message.assign(size_t(length > 0 ? length : 0) + 1, '\0');
    std::vsnprintf(failure.message.data(), failure.message.size(), format, again);
    va_end(again);
    va_end(arguments);
    failure.message.pop_back();  // the terminating NUL
    fail_with(failure);
}
