// Text made safe to print: UTF-8 checked, control characters replaced.
#include "output/text.h"

#include <cstdint>

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

std::string one_line_outcome(std::string_view message)
{
    std::string line;
    int taken = 0;
    while (!message.empty() && taken < 2) {
        size_t end = message.find('\n');
        std::string_view piece = message.substr(0, end);
        message.remove_prefix(end == std::string_view::npos ? message.size() : end + 1);
        if (piece.empty())
            continue;
        line += (taken++ ? ": " : "") + printable(piece);
    }
    return line;
}
