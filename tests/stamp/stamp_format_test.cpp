// -stamp=: reading the place and the counter, each format's bytes, and the
// values and ranges that are refused.
#include "stamp/stamp_format.h"

#include "image/elf_reader.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

StampSettings place(const char *text)
{
    StampSettings settings{};
    EXPECT_EQ(stamp_read_place(text, settings), 1) << text;
    return settings;
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

TEST(StampFormat, ReadsThePlaceAndRefusesMalformedOnes)
{
    struct Case {
        const char *text;
        int read;
        uint32_t address;
        StampFormatKind format;
        uint32_t length;
    };
    const Case cases[] = {
        {"0x7F00,u32le", 1, 0x7F00, STAMP_U32LE, 4},
        {"32512,u16be", 1, 0x7F00, STAMP_U16BE, 2},
        {"0X10,u64be", 1, 0x10, STAMP_U64BE, 8},
        {"0,ascii:12", 1, 0, STAMP_ASCII, 12},
        {"0x100,utf16le:24", 1, 0x100, STAMP_UTF16LE, 24},
        {"0x100,ascii:1024", 1, 0x100, STAMP_ASCII, 1024},
        {"0x7F00", 0, 0, STAMP_NONE, 0},             // no format
        {",u32le", 0, 0, STAMP_NONE, 0},             // no address
        {"7F00,u32le", 0, 0, STAMP_NONE, 0},         // hex without 0x
        {"-1,u32le", 0, 0, STAMP_NONE, 0},
        {"0x7F00,u24le", 0, 0, STAMP_NONE, 0},       // no such format
        {"0x7F00,U32LE", 0, 0, STAMP_NONE, 0},
        {"0x7F00,u32le:4", 0, 0, STAMP_NONE, 0},     // a number has its own width
        {"0x7F00,ascii", 0, 0, STAMP_NONE, 0},       // a text needs its length
        {"0x7F00,ascii:0", 0, 0, STAMP_NONE, 0},
        {"0x7F00,ascii:1025", 0, 0, STAMP_NONE, 0},
        {"0x7F00,utf16le:23", 0, 0, STAMP_NONE, 0},  // half a code unit
        {"0x7F00,u32le,", 0, 0, STAMP_NONE, 0},
        {"0x1FFFFFFFF,u32le", 0, 0, STAMP_NONE, 0},
        // An ELF symbol's name, with an offset into it: the address comes later.
        {"serial_number,utf16le:24", 1, 0, STAMP_UTF16LE, 24},
        {"_serial.id$2+2,u16le", 1, 0, STAMP_U16LE, 2},
        {"serial_descriptor+0x2,utf16le:24", 1, 0, STAMP_UTF16LE, 24},
        {"serial-number,u32le", 0, 0, STAMP_NONE, 0},  // not a C name
        {"serial+,u32le", 0, 0, STAMP_NONE, 0},
        {"serial+-2,u32le", 0, 0, STAMP_NONE, 0},
        {"serial+0x10000,u32le", 0, 0, STAMP_NONE, 0},  // past any variable
        {"+2,u32le", 0, 0, STAMP_NONE, 0},
    };
    for (const Case &c : cases) {
        StampSettings settings{};
        EXPECT_EQ(stamp_read_place(c.text, settings), c.read) << c.text;
        EXPECT_EQ(settings.address, c.address) << c.text;
        EXPECT_EQ(settings.format, c.format) << c.text;
        EXPECT_EQ(settings.length, c.length) << c.text;
        if (c.read) {
            const std::string text = c.text, place = text.substr(0, text.find(','));
            EXPECT_EQ(text.substr(text.find(',') + 1), stamp_format_name(settings));
            // A name is kept with its offset; a number leaves no name.
            const bool named = !std::isdigit(static_cast<unsigned char>(place[0]));
            EXPECT_EQ(settings.symbol, named ? place.substr(0, place.find('+')) : "") << c.text;
            EXPECT_EQ(settings.symbol_offset, place.find('+') == std::string::npos ? 0u : 2u) << c.text;
        }
    }
}

TEST(StampFormat, ReadsTheCounter)
{
    struct Case {
        const char *text;
        int read;
        uint64_t start, step;
    };
    const Case cases[] = {
        {"1000", 1, 1000, 1},
        {"0x1000,2", 1, 0x1000, 2},
        {"0,0x10", 1, 0, 16},
        {"18446744073709551615", 1, UINT64_MAX, 1},
        {"18446744073709551616", 0, 0, 0},  // past 64 bits
        {"5,0", 0, 0, 0},                   // a step of 0 gives one value forever
        {"-1", 0, 0, 0},
        {"+1", 0, 0, 0},
        {"1,", 0, 0, 0},
        {"", 0, 0, 0},
        {"1e3", 0, 0, 0},
    };
    for (const Case &c : cases) {
        StampSettings settings{};
        EXPECT_EQ(stamp_read_counter(c.text, settings), c.read) << c.text;
        EXPECT_EQ(settings.start, c.start) << c.text;
        EXPECT_EQ(settings.step, c.step) << c.text;
    }
}

TEST(StampFormat, EachFormatsBytesAndTheValuesThatDoNotFit)
{
    struct Case {
        const char *place;
        StampValue value;
        const char *bytes;  // as hex; null: refused
    };
    const Case cases[] = {
        {"0,u16le", {"4660", 1, 0x1234}, "3412"},
        {"0,u16be", {"4660", 1, 0x1234}, "1234"},
        {"0,u32le", {"1000", 1, 1000}, "e8030000"},
        {"0,u32be", {"1000", 1, 1000}, "000003e8"},
        {"0,u64le", {"", 1, 0x0102030405060708}, "0807060504030201"},
        {"0,u64be", {"", 1, UINT64_MAX}, "ffffffffffffffff"},
        {"0,u16le", {"65535", 1, 65535}, "ffff"},
        {"0,u16le", {"65536", 1, 65536}, nullptr},
        {"0,u32be", {"4294967296", 1, 4294967296}, nullptr},
        // A list's numbers are read from their text, decimal or 0x hex.
        {"0,u16le", {"0x10", 0, 0}, "1000"},
        {"0,u32le", {"70000", 0, 0}, "70110100"},
        {"0,u16le", {"70000", 0, 0}, nullptr},
        {"0,u32le", {"12a", 0, 0}, nullptr},
        {"0,u32le", {"-1", 0, 0}, nullptr},
        // Text: padded with NUL, refused when longer or not printable ASCII.
        {"0,ascii:6", {"SN-1", 0, 0}, "534e2d310000"},
        {"0,ascii:4", {"SN-1", 0, 0}, "534e2d31"},
        {"0,ascii:4", {"SN-12", 0, 0}, nullptr},
        {"0,ascii:8", {"caf\xc3\xa9", 0, 0}, nullptr},
        {"0,ascii:8", {"a\tb", 0, 0}, nullptr},
        // A counter's number as text.
        {"0,ascii:4", {"1000", 1, 1000}, "31303030"},
        // UTF-16LE code units, for a USB string descriptor's body.
        {"0,utf16le:8", {"QV-1", 0, 0}, "510056002d003100"},
        {"0,utf16le:8", {"QV1", 0, 0}, "5100560031000000"},
        {"0,utf16le:6", {"QV-1", 0, 0}, nullptr},
        {"0,utf16le:4", {"\xc3\xa9", 0, 0}, "e9000000"},                  // U+00E9
        {"0,utf16le:4", {"\xe2\x82\xac", 0, 0}, "ac200000"},              // U+20AC
        {"0,utf16le:4", {"\xf0\x9f\x94\x91", 0, 0}, "3dd811dd"},          // U+1F511: a surrogate pair
        {"0,utf16le:2", {"\xf0\x9f\x94\x91", 0, 0}, nullptr},             // the pair does not fit
        {"0,utf16le:8", {"\xc3", 0, 0}, nullptr},                         // cut short
        {"0,utf16le:8", {"\xc0\xaf", 0, 0}, nullptr},                     // overlong
        {"0,utf16le:8", {"\xed\xa0\x80", 0, 0}, nullptr},                 // a surrogate in UTF-8
        {"0,utf16le:8", {"\xff", 0, 0}, nullptr},
        {"0,utf16le:8", {"a\nb", 0, 0}, nullptr},
    };
    for (const Case &c : cases) {
        const StampSettings settings = place(c.place);
        std::vector<uint8_t> bytes;
        const Failure result = stamp_encode(settings, c.value, bytes);
        const std::string label = std::string(c.place) + " " + c.value.text;
        if (c.bytes) {
            EXPECT_EQ(result.kind, FAILURE_NONE) << label << ": " << result.message;
            EXPECT_EQ(hex(bytes), c.bytes) << label;
        } else {
            EXPECT_EQ(result.kind, FAILURE_STAMP) << label;
            // What is wrong, then what to do.
            EXPECT_NE(result.message.find("does not fit"), std::string::npos) << result.message;
            EXPECT_EQ(std::count(result.message.begin(), result.message.end(), '\n'), 2) << result.message;
        }
    }
}

TEST(StampFormat, TheRangeLiesInsideTheFlashAndTheImage)
{
    struct Case {
        const char *place;
        int32_t code_size;
        int fits;
    };
    const Case cases[] = {
        {"0x7F00,u32le", 0x8000, 1},
        {"0x7FFC,u32le", 0x8000, 1},       // the flash's last 4 bytes
        {"0x7FFD,u32le", 0x8000, 0},       // one past its end
        {"0x8000,u16le", 0x8000, 0},
        {"0x3FE8,utf16le:24", 0x4000, 1},
        {"0x3FE9,utf16le:24", 0x4000, 0},
        {"0xFFF8,u64le", 0x20000, 1},      // a 128 KiB part: the image's end
        {"0xFFF9,u64le", 0x20000, 0},
        {"0x10000,u16le", 0x20000, 0},
    };
    for (const Case &c : cases) {
        const Failure result = stamp_check_range(place(c.place), c.code_size, 0x10000, "atmega32u4");
        EXPECT_EQ(result.kind, c.fits ? FAILURE_NONE : FAILURE_OPTION) << c.place << " " << c.code_size;
        if (!c.fits) {
            EXPECT_NE(result.message.find("lie outside"), std::string::npos) << result.message;
        }
    }
}

// -stamp=NAME: the symbol's flash address from a real program built with
// avr-gcc, with an offset into it; refused for a file that is not ELF, a
// name the flash does not hold, and a value that would run past the
// variable's end.
TEST(StampFormat, ASymbolsAddressComesFromTheElfFile)
{
    const std::string programs = QUORVEL_ELF_PROGRAMS;
    if (programs.empty())
        GTEST_SKIP() << "SKIPPED: avr-gcc or avr-objcopy was not found when the tests were configured";
    ASSERT_GT(load_elf_file((programs + "/spaces-atmega32u4.elf").c_str()), 0) << elf_read_report.problem;
    const std::vector<ElfSymbol> message = elf_flash_symbols_named("message");
    const std::vector<ElfSymbol> counters = elf_flash_symbols_named("counters");
    ASSERT_EQ(message.size(), 1u);
    ASSERT_EQ(counters.size(), 1u);
    struct Case {
        const char *place;
        bool elf;
        int64_t address;       // -1: refused
        const char *said;      // in the refusal
    };
    const Case cases[] = {
        {"message,ascii:16", true, message[0].address, nullptr},
        {"message+4,ascii:8", true, message[0].address + 4, nullptr},
        {"counters,u32le", true, counters[0].address, nullptr},
        {"counters+9,u32le", true, counters[0].address + 9, nullptr},  // its last 4 of 13 bytes
        {"counters+10,u32le", true, -1, "counters holds 13 bytes, and the value takes 4 from byte 10"},
        {"message,utf16le:64", true, -1, "message holds 36 bytes"},
        {"zeroed,u32le", true, -1, "has no symbol zeroed in the flash"},
        {"no_such_name,u32le", true, -1, "has no symbol no_such_name in the flash"},
        {"message,u32le", false, -1, "a symbol's address is known only from an ELF file"},
    };
    for (const Case &c : cases) {
        StampSettings settings{};
        ASSERT_TRUE(stamp_read_place(c.place, settings)) << c.place;
        const Failure got = stamp_place_at_symbol(settings, "app.elf", c.elf);
        if (c.address >= 0) {
            EXPECT_EQ(got.kind, FAILURE_NONE) << c.place << ": " << got.message;
            EXPECT_EQ(settings.address, uint32_t(c.address)) << c.place;
        } else {
            EXPECT_EQ(got.kind, FAILURE_STAMP) << c.place;
            EXPECT_NE(got.message.find(c.said), std::string::npos) << c.place << ": " << got.message;
            EXPECT_EQ(settings.address, 0u) << c.place << ": the address stays unset";
        }
    }
}

}  // namespace
