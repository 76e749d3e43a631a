// One line of JSON as the -json events and the -log= lines are written.
#include "output/json_line.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

// JSON text with every control character escaped as \uXXXX: nlohmann
// writes \b \t \n \f \r short and DEL and the C1 controls raw, which a
// terminal or a strict reader may act on. Only strings hold these, and the
// text is valid UTF-8 already, so C1 comes as the bytes C2 80 to C2 9F.
std::string escape_controls(std::string_view text)
{
    std::string result;
    char code[8];
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        unsigned next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        unsigned control = 0;  // 0: no control here
        if (byte == '\\') {
            std::string_view shorts = "btnfr", values = "\b\t\n\f\r";
            size_t which = shorts.find(char(next));
            if (which == std::string_view::npos) {
                result.append(text.substr(i, 2));  // any other escape, "\\" too, stays as it is
                ++i;
                continue;
            }
            control = static_cast<unsigned char>(values[which]);
        } else if (byte == 0x7F) {
            control = byte;
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            control = next;
        }
        if (!control) {
            result += char(byte);
            continue;
        }
        std::snprintf(code, sizeof code, "\\u%04x", control);
        result += code;
        i += byte == 0x7F ? 0 : 1;
    }
    return result;
}

}  // namespace

namespace event_json {

// An ID as the events give it: four lower-case hex digits, as a string.
std::string hex_id(uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x", unsigned(id));
    return text;
}

// One line of JSON text with its line end; invalid UTF-8 becomes U+FFFD.
double hundredths(double seconds)
{
    double scaled = seconds * 100.0;
    if (!(scaled > -1e15 && scaled < 1e15))
        return seconds;  // too large for a whole count (or not a number): as it is
    // The cast drops the fraction; what it dropped is exact at this size.
    long long whole = static_cast<long long>(scaled);
    double dropped = scaled - static_cast<double>(whole);
    if (dropped >= 0.5)
        ++whole;
    else if (dropped <= -0.5)
        --whole;
    return static_cast<double>(whole) / 100.0;
}

std::string line_text(const Json &value)
{
    return escape_controls(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) + '\n';
}

}  // namespace event_json
