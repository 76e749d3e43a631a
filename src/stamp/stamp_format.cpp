// The formats of -stamp= and the value's bytes.
#include "stamp/stamp_format.h"

#include "image/elf_reader.h"
#include "output/text.h"

#include <cctype>
#include <charconv>

namespace {

struct FormatName {
    const char *name;
    StampFormatKind kind;
    uint32_t bytes;  // a number's width; 0 for a text, which gives its own
};

constexpr FormatName FORMATS[] = {
    {"u16le", STAMP_U16LE, 2}, {"u32le", STAMP_U32LE, 4},   {"u64le", STAMP_U64LE, 8},
    {"u16be", STAMP_U16BE, 2}, {"u32be", STAMP_U32BE, 4},   {"u64be", STAMP_U64BE, 8},
    {"ascii", STAMP_ASCII, 0}, {"utf16le", STAMP_UTF16LE, 0},
};

// A whole number that fits `most`, decimal or 0x hex.
// The largest offset into a symbol: no variable a value goes into is larger.
constexpr uint64_t STAMP_MOST_OFFSET = 0xFFFF;

int read_bounded(std::string_view text, uint64_t most, uint64_t &number)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty() || text[0] == '+' || text[0] == '-')
        return 0;
    uint64_t read = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), read, base);
    if (error != std::errc() || end != text.data() + text.size() || read > most)
        return 0;
    number = read;
    return 1;
}

// Decodes one UTF-8 sequence at `at`, moving past it; -1 when it is not a
// valid one (overlong, a surrogate, beyond U+10FFFF, cut short).
int32_t next_code_point(std::string_view text, size_t &at)
{
    const uint8_t first = uint8_t(text[at]);
    const int extra = first < 0x80 ? 0 : (first & 0xE0) == 0xC0 ? 1 : (first & 0xF0) == 0xE0 ? 2 : (first & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0)
        return -1;
    int32_t point = extra == 0 ? first : first & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        const size_t next = at + size_t(i);
        if (next >= text.size() || (uint8_t(text[next]) & 0xC0) != 0x80)
            return -1;
        point = (point << 6) | (uint8_t(text[next]) & 0x3F);
    }
    static constexpr int32_t LEAST[] = {0, 0x80, 0x800, 0x10000};
    if (point < LEAST[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return -1;
    at += size_t(extra) + 1;
    return point;
}

Failure unfit(const StampSettings &settings, const StampValue &value, const char *why, const char *what_to_do)
{
    return failure(FAILURE_STAMP,
                   "quorvel: the stamp value \"%s\" does not fit %s: %s\nNothing was written to the board. %s\n",
                   printable(value.text).c_str(), stamp_format_name(settings).c_str(), why, what_to_do);
}

}  // namespace

int stamp_read_number(std::string_view text, uint64_t &number)
{
    return read_bounded(text, UINT64_MAX, number);
}

int stamp_read_place(std::string_view text, StampSettings &settings)
{
    const size_t comma = text.find(',');
    if (comma == std::string_view::npos)
        return 0;
    uint64_t address = 0, offset = 0;
    std::string_view symbol;
    const std::string_view place = text.substr(0, comma);
    if (!place.empty() && (std::isalpha(static_cast<unsigned char>(place[0])) || place[0] == '_' || place[0] == '.')) {
        const size_t plus = place.find('+');
        symbol = place.substr(0, plus);
        for (char c : symbol)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '$')
                return 0;
        if (plus != std::string_view::npos && !read_bounded(place.substr(plus + 1), STAMP_MOST_OFFSET, offset))
            return 0;
    } else if (!read_bounded(place, 0xFFFFFFFFu, address)) {
        return 0;
    }
    std::string_view format = text.substr(comma + 1);
    const size_t colon = format.find(':');
    const std::string_view name = format.substr(0, colon);
    for (const FormatName &known : FORMATS) {
        if (name != known.name)
            continue;
        uint64_t length = known.bytes;
        if (known.bytes == 0) {  // a text: its length in bytes after ':'
            if (colon == std::string_view::npos || !read_bounded(format.substr(colon + 1), STAMP_MOST_BYTES, length) ||
                length == 0 || (known.kind == STAMP_UTF16LE && length % 2 != 0))
                return 0;
        } else if (colon != std::string_view::npos) {
            return 0;
        }
        settings.address = uint32_t(address);
        settings.symbol = std::string(symbol);
        settings.symbol_offset = uint32_t(offset);
        settings.format = known.kind;
        settings.length = uint32_t(length);
        return 1;
    }
    return 0;
}

int stamp_read_counter(std::string_view text, StampSettings &settings)
{
    const size_t comma = text.find(',');
    uint64_t start = 0, step = 1;
    if (!stamp_read_number(text.substr(0, comma), start))
        return 0;
    if (comma != std::string_view::npos && (!stamp_read_number(text.substr(comma + 1), step) || step == 0))
        return 0;
    settings.start = start;
    settings.step = step;
    return 1;
}

std::string stamp_format_name(const StampSettings &settings)
{
    for (const FormatName &known : FORMATS)
        if (known.kind == settings.format)
            return known.bytes ? known.name : std::string(known.name) + ":" + std::to_string(settings.length);
    return "";
}

Failure stamp_encode(const StampSettings &settings, const StampValue &value, std::vector<uint8_t> &bytes)
{
    bytes.assign(settings.length, 0);
    switch (settings.format) {
    case STAMP_NONE:
        return Failure{};
    case STAMP_ASCII:
        if (value.text.size() > settings.length)
            return unfit(settings, value, (std::to_string(value.text.size()) + " characters").c_str(),
                         "Give values no longer than the format's length, or a longer format");
        for (size_t i = 0; i < value.text.size(); ++i) {
            const uint8_t c = uint8_t(value.text[i]);
            if (c < 0x20 || c > 0x7E)
                return unfit(settings, value, "it holds a character that is not printable ASCII",
                             "Give values of printable ASCII characters, or use utf16le:N");
            bytes[i] = c;
        }
        return Failure{};
    case STAMP_UTF16LE: {
        std::vector<uint16_t> units;
        for (size_t at = 0; at < value.text.size();) {
            const int32_t point = next_code_point(value.text, at);
            if (point < 0)
                return unfit(settings, value, "it is not valid UTF-8", "Save the list as UTF-8");
            if (point < 0x20 || point == 0x7F)
                return unfit(settings, value, "it holds a control character", "Give values of printable text");
            if (point >= 0x10000) {
                units.push_back(uint16_t(0xD800 + ((point - 0x10000) >> 10)));
                units.push_back(uint16_t(0xDC00 + ((point - 0x10000) & 0x3FF)));
            } else {
                units.push_back(uint16_t(point));
            }
        }
        if (units.size() * 2 > settings.length)
            return unfit(settings, value, (std::to_string(units.size() * 2) + " bytes as UTF-16LE").c_str(),
                         "Give values no longer than the format's length, or a longer format");
        for (size_t i = 0; i < units.size(); ++i) {
            bytes[2 * i] = uint8_t(units[i] & 0xFF);
            bytes[2 * i + 1] = uint8_t(units[i] >> 8);
        }
        return Failure{};
    }
    default:
        break;
    }
    // A number: its width, and its order of bytes.
    const bool big = settings.format == STAMP_U16BE || settings.format == STAMP_U32BE || settings.format == STAMP_U64BE;
    const uint64_t most = settings.length >= 8 ? UINT64_MAX : (uint64_t(1) << (8 * settings.length)) - 1;
    uint64_t number = value.number;
    if (!value.counted && !stamp_read_number(value.text, number))
        return unfit(settings, value, "it is not a whole number", "Give numbers, decimal or 0x hex, or use ascii:N");
    if (number > most)
        return unfit(settings, value, ("the largest is " + std::to_string(most)).c_str(),
                     "Use a wider format, or values that fit");
    for (uint32_t i = 0; i < settings.length; ++i)
        bytes[big ? settings.length - 1 - i : i] = uint8_t(number >> (8 * i));
    return Failure{};
}

Failure stamp_place_at_symbol(StampSettings &settings, const char *file, bool elf)
{
    const std::string shown = printable(file ? file : ""), name = printable(settings.symbol);
    std::string option = "-stamp=" + name;
    if (settings.symbol_offset)
        option.append("+").append(std::to_string(settings.symbol_offset));
    option.append(",").append(stamp_format_name(settings));
    if (!elf)
        return failure(FAILURE_STAMP,
                       "quorvel: %s: a symbol's address is known only from an ELF file, and \"%s\" is not one\n"
                       "Flash the ELF file that the compiler wrote, or give the address as a number (as in "
                       "-stamp=0x7F00,u32le)\n",
                       option.c_str(), shown.c_str());
    const std::vector<ElfSymbol> found = elf_flash_symbols_named(settings.symbol);
    if (found.empty()) {
        const std::string why = elf_read_report.symbols_problem.empty()
                                    ? std::string("")
                                    : " (its symbol table could not be read: " + elf_read_report.symbols_problem + ")";
        return failure(FAILURE_STAMP,
                       "quorvel: %s: \"%s\" has no symbol %s in the flash%s\nCheck the name (avr-nm lists "
                       "them): the value needs a variable whose bytes the flash holds, such as a const array in "
                       "PROGMEM; a variable that starts as zero (.bss) has none\n",
                       option.c_str(), shown.c_str(), name.c_str(), why.c_str());
    }
    if (found.size() > 1)
        return failure(FAILURE_STAMP,
                       "quorvel: %s: \"%s\" has %u symbols named %s (at 0x%04X and 0x%04X): which one is meant "
                       "cannot be told\nGive the address as a number, or give the variable a name of its own\n",
                       option.c_str(), shown.c_str(), unsigned(found.size()), name.c_str(), unsigned(found[0].address),
                       unsigned(found[1].address));
    const ElfSymbol &symbol = found[0];
    if (symbol.size != 0 && uint64_t{settings.symbol_offset} + settings.length > symbol.size)
        return failure(FAILURE_STAMP,
                       "quorvel: %s: %s holds %u bytes, and the value takes %u from byte %u: it would write past "
                       "its end\nNothing was written. Give a format that fits it, or make the variable larger\n",
                       option.c_str(), name.c_str(), unsigned(symbol.size), unsigned(settings.length),
                       unsigned(settings.symbol_offset));
    settings.address = symbol.address + settings.symbol_offset;
    return Failure{};
}

Failure stamp_check_range(const StampSettings &settings, int32_t code_size, int32_t image_size, const char *mcu)
{
    const uint64_t first = settings.address, last = uint64_t(settings.address) + settings.length - 1;
    const bool flash = code_size <= image_size;
    const int32_t end = flash ? code_size : image_size;
    if (last < uint64_t(end))
        return Failure{};
    const std::string where = flash ? std::string("the flash of ") + (mcu ? printable(mcu) : "the part") : "the firmware image";
    return failure(FAILURE_OPTION,
                   "quorvel: -stamp=0x%04llX,%s: its bytes 0x%04llX to 0x%04llX lie outside %s (0x0000 to "
                   "0x%04X)\nNothing was written. Give the address where the firmware keeps the value: its %u "
                   "bytes must fit inside\n",
                   (unsigned long long)first, stamp_format_name(settings).c_str(), (unsigned long long)first,
                   (unsigned long long)last, where.c_str(), unsigned(end - 1), unsigned(settings.length));
}
