// Messages for people: -v output and where the messages go.
#include "output/console.h"

#include <cstdarg>

OutputSettings output_settings;

namespace {

// -v's text, when -v is on and -json off: the characters written.
int verbose_text(const char *format, va_list arguments)
{
    if (!output_settings.verbose || output_settings.json)
        return 0;
    return std::vfprintf(stdout, format, arguments);
}

}  // namespace

int log_verbose(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int written = verbose_text(format, arguments);
    va_end(arguments);
    if (written > 0)
        std::fflush(stdout);
    return written;
}

int log_verbose_held(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int written = verbose_text(format, arguments);
    va_end(arguments);
    return written;
}

FILE *human_output()
{
    return output_settings.json ? stderr : stdout;
}
