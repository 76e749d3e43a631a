#include "cli/console.h"

#include "cli/options.h"

#include <cstdarg>
#include <cstdint>
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
    if (!run_options.verbose || run_options.json)
        return 0;
    va_list arguments;
    va_start(arguments, format);
    int written = std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fflush(stdout);
    return written;
}

namespace {
std::string failure_fields;
}

void set_failure_fields(const std::string &fields)
{
    failure_fields = fields;
}

void fail(const char *format, ...)
{
    // Static: the process ends (or a fuzzer's hook jumps away) before any
    // destructor here could run.
    static std::string message, event;
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
    if (run_options.json) {
        // The first line is the message, the rest says more.
        std::string_view text(message);
        while (text.starts_with('\n'))
            text.remove_prefix(1);
        while (text.ends_with('\n'))
            text.remove_suffix(1);
        size_t end = text.find('\n');
        std::string_view detail = end == std::string_view::npos ? "" : text.substr(end + 1);
        event = ",\"message\":" + json_string(text.substr(0, end)) + ",\"detail\":" + json_string(detail) +
                failure_fields;
        emit_event("error", event);
    }
    end_process(1);
}

FILE *human_output()
{
    return run_options.json ? stderr : stdout;
}

void emit_event(const char *name, const std::string &fields)
{
    if (!run_options.json)
        return;
    std::printf("{\"event\":\"%s\"%s}\n", name, fields.c_str());
    std::fflush(stdout);
}

namespace {

// The length of the valid UTF-8 sequence at the start of `text` (0 when it
// is not one), and whether it is printable: not a C0 or C1 control, not DEL.
size_t utf8_sequence(std::string_view text, bool &printable_character)
{
    auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    unsigned lead = byte(0);
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0)
        return 0;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    static constexpr uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < SMALLEST[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    printable_character = code >= 0x20 && !(code >= 0x7F && code <= 0x9F);
    return length;
}

}  // namespace

std::string printable(std::string_view text)
{
    std::string result;
    while (!text.empty()) {
        bool shown = false;
        size_t length = utf8_sequence(text, shown);
        result += shown ? text.substr(0, length) : "?";
        text.remove_prefix(length ? length : 1);
    }
    return result;
}

std::string printable_lines(std::string_view text)
{
    std::string result;
    for (size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1))
        result += printable(text.substr(0, end)) + '\n';
    return result + printable(text);
}

std::string json_string(std::string_view text)
{
    std::string result = "\"";
    while (!text.empty()) {
        bool shown = false;
        size_t length = utf8_sequence(text, shown);
        unsigned char c = static_cast<unsigned char>(text[0]);
        if (length == 0) {
            result += "\\ufffd";
        } else if (c == '"' || c == '\\') {
            result += '\\';
            result += char(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            result += escape;
        } else {
            result += text.substr(0, length);
        }
        text.remove_prefix(length ? length : 1);
    }
    return result + "\"";
}
