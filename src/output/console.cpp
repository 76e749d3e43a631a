// Messages for people: -v output and where the messages go.
#include "output/console.h"

#include <cstdarg>

OutputSettings output_settings;

int log_verbose(const char *format, ...)
{
    if (!output_settings.verbose || output_settings.json)
        return 0;
    va_list arguments;
    va_start(arguments, format);
    int written = std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fflush(stdout);
    return written;
}

int log_verbose_held(const char *format, ...)
{
    if (!output_settings.verbose || output_settings.json)
        return 0;
    va_list arguments;
    va_start(arguments, format);
    int written = std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    return written;
}

FILE *human_output()
{
    return output_settings.json ? stderr : stdout;
}
