#include "image/hex_reader.h"

#include "image/firmware_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::string END = ":00000001FF\n";
const std::string SPEC_RECORD = ":10010000214601360121470136007EFE09D2190140\n";  // 16 bytes at 0x0100

struct ExpectedByte {
    uint32_t address;
    uint8_t value;
};

struct HexCase {
    const char *name;
    std::string content;
    int32_t result;
    int used_bytes;  // how many image bytes are marked used (checked on success)
    std::vector<ExpectedByte> bytes;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const HexCase &c, std::ostream *out)
{
    *out << c.name;
}

int count_used()
{
    int used = 0;
    for (uint8_t flag : firmware_image.image_used)
        used += flag;
    return used;
}

std::string padded(std::string record, size_t length_before_newline)
{
    record.pop_back();  // the newline
    record.append(length_before_newline - record.size(), ' ');
    return record + "\n";
}

// The record with another line end instead of its newline.
std::string ended(std::string record, const char *line_end)
{
    record.pop_back();
    return record + line_end;
}

std::vector<uint8_t> bytes_of(size_t count, uint8_t first)
{
    std::vector<uint8_t> data;
    for (size_t i = 0; i < count; ++i)
        data.push_back(uint8_t(first + i));
    return data;
}

std::vector<HexCase> hex_cases()
{
    const std::string at_fff0 = hex_record(0, 0xFFF0, bytes_of(16, 0xA0));
    return {
        {"empty file", "", 0, 0, {}},
        {"end record only", END, 0, 0, {}},
        {"no end record", SPEC_RECORD, 16, 16, {{0x0100, 0x21}, {0x010F, 0x01}}},
        {"data record",
         SPEC_RECORD + END,
         16,
         16,
         {{0x0100, 0x21}, {0x0105, 0x21}, {0x010B, 0xFE}, {0x010F, 0x01}}},
        {"lower-case digits",
         ":10010000214601360121470136007efe09d2190140\n" + END,
         16,
         16,
         {{0x010A, 0x7E}, {0x010B, 0xFE}}},
        {"wrong data checksum", ":10010000214601360121470136007EFE09D2190141\n" + END, -2, 0, {}},
        {"last byte at 0xFFFF", at_fff0 + END, 16, 16, {{0xFFF0, 0xA0}, {0xFFFF, 0xAF}}},
        {"past 0xFFFF", hex_record(0, 0xFFF1, bytes_of(16, 0)) + END, -2, 0, {}},
        {"value 0xFF is data", hex_record(0, 0x0200, {0xFF}) + END, 1, 1, {{0x0200, 0xFF}}},
        {"later record wins, both counted",
         hex_record(0, 0x10, {1, 2, 3, 4}) + hex_record(0, 0x12, {9, 9}) + END,
         6,
         4,
         {{0x10, 1}, {0x11, 2}, {0x12, 9}, {0x13, 9}}},
        {"linear base 0 then data", ":020000040000FA\n" + SPEC_RECORD + END, 16, 16, {{0x0100, 0x21}}},
        {"linear base 0x10000 then data", ":020000040001F9\n" + hex_record(0, 0, {1}) + END, -2, 0, {}},
        {"linear base 0x10000 then end", ":020000040001F9\n" + END, 0, 0, {}},
        {"linear base 0xFFFF0000 then data", ":02000004FFFFFC\n" + at_fff0 + END, -2, 0, {}},
        {"linear base 0x20000 then end", ":020000040002F8\n" + END, -2, 0, {}},
        {"segment base 0x1000",
         hex_record(2, 0, {0x01, 0x00}) + hex_record(0, 0x0010, {0x42}) + END,
         1,
         1,
         {{0x1010, 0x42}}},
        {"segment base 0x10000 then end", ":020000021000EC\n" + END, 0, 0, {}},
        {"segment base 0x10000 then data", ":020000021000EC\n" + hex_record(0, 0, {1}) + END, -2, 0, {}},
        {"segment base cannot be lowered past the image",
         ":020000021000EC\n:020000020000FC\n" + END,
         -2,
         0,
         {}},
        // A corrupt address record would put the data that follows at the wrong address.
        {"segment record with wrong checksum", ":020000021000ED\n" + SPEC_RECORD + END, -2, 0, {}},
        {"linear record with wrong checksum", ":020000040000FB\n" + SPEC_RECORD + END, -2, 0, {}},
        {"linear record with four bytes", hex_record(4, 0, {0, 0, 0, 0}) + END, -2, 0, {}},
        {"linear record with one byte", hex_record(4, 0, {0}) + END, -2, 0, {}},
        {"linear record value not hex", ":02000004zz00FA\n" + END, -2, 0, {}},
        {"types 03 and 05 skipped",
         ":0400000300003800C1\n:04000005000000CD2A\n" + SPEC_RECORD + END,
         16,
         16,
         {{0x0100, 0x21}}},
        {"lines after the end record not read", END + "this is not a record\n", 0, 0, {}},
        {"blank line before end", SPEC_RECORD + "\n" + END, -2, 0, {}},
        {"blank line after end", SPEC_RECORD + END + "\n", 16, 16, {}},
        {"no colon", "10010000214601360121470136007EFE09D2190140\n" + END, -2, 0, {}},
        {"shorter than 11 characters", ":000000FF\n", -2, 0, {}},
        {"fewer data digits than the count", ":10010000214601360121470136\n" + END, -2, 0, {}},
        {"blank where the count starts", ": 0010000214601360121470136007EFE09D2190140\n", -2, 0, {}},
        {"sign where the address starts", ":10+10000214601360121470136007EFE09D2190140\n", -2, 0, {}},
        {"blank where a data byte starts", ":1001000021 601360121470136007EFE09D2190140\n", -2, 0, {}},
        {"text after the checksum", padded(SPEC_RECORD, 60) + END, 16, 16, {{0x0100, 0x21}}},
        {"CRLF line ends", ":10010000214601360121470136007EFE09D2190140\r\n:00000001FF\r\n", 16, 16, {}},
        // A CR alone ends a line too: every record of such a file is read.
        {"CR line ends",
         ended(hex_record(0, 0x0000, {1, 2}), "\r") + ended(hex_record(0, 0x0010, {3}), "\r") +
             ended(END, "\r"),
         3,
         3,
         {{0x0000, 1}, {0x0010, 3}}},
        {"CR, LF and CRLF mixed",
         ended(hex_record(0, 0x0000, {1}), "\r") + hex_record(0, 0x0001, {2}) +
             ended(hex_record(0, 0x0002, {3}), "\r\n") + END,
         3,
         3,
         {{0x0002, 3}}},
        {"CR then LF then LF is a blank line", SPEC_RECORD.substr(0, 43) + "\r\n\n" + END, -2, 0, {}},
        {"Ctrl-Z ends the file", SPEC_RECORD + "\x1A" + "garbage\n", 16, 16, {}},
        {"Ctrl-Z at the end of a line", ":10010000214601360121470136007EFE09D2190140\x1A", 16, 16, {}},
        {"piece starting with NUL skipped", std::string("\0junk\n", 6) + SPEC_RECORD + END, 16, 16, {}},
        {"1,022 characters before the newline", padded(SPEC_RECORD, 1022) + END, 16, 16, {}},
        // The tail of an overlong line must not be read as a line of its own.
        {"1,023 characters before the newline", padded(SPEC_RECORD, 1023) + END, -2, 0, {}},
        {"overlong line whose tail is a record", std::string(1023, ' ') + SPEC_RECORD + END, -2, 0, {}},
    };
}

class HexReaderTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexReaderTest, LoadsAsExpected)
{
    const HexCase &c = GetParam();
    std::string path = write_scratch_file("case.hex", c.content);
    ASSERT_EQ(load_hex_file(path.c_str()), c.result);
    if (c.result < 0)
        return;
    EXPECT_EQ(count_used(), c.used_bytes);
    for (const ExpectedByte &expected : c.bytes) {
        EXPECT_EQ(firmware_image.image_used[expected.address], 1) << std::hex << expected.address;
        EXPECT_EQ(firmware_image.image_bytes[expected.address], expected.value)
            << std::hex << expected.address;
    }
}

std::string case_name(const ::testing::TestParamInfo<HexCase> &info)
{
    std::string name;
    for (const char *c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Records, HexReaderTest, ::testing::ValuesIn(hex_cases()), case_name);

TEST(HexReader, FileThatCannotBeReadIsNotLoaded)
{
    EXPECT_EQ(load_hex_file((scratch_dir() + "/no-such-file.hex").c_str()), HEX_READ_OPEN_FAILED);
    EXPECT_EQ(hex_read_report.problem, "No such file or directory");
#if !defined(_WIN32)
    // A directory opens on some systems but cannot be read: it is no empty firmware.
    EXPECT_EQ(load_hex_file(scratch_dir().c_str()), HEX_READ_OPEN_FAILED);
    EXPECT_EQ(hex_read_report.problem, "Is a directory");
    // A device node is never read as a file (a hidraw node would block for ever).
    EXPECT_EQ(load_hex_file("/dev/zero"), HEX_READ_OPEN_FAILED);
    EXPECT_EQ(hex_read_report.problem, "it is a device, not a file");
#endif
}

// The line and the fault that rejected the file, for the user to fix it.
TEST(HexReader, SaysWhatIsWrongAndWhere)
{
    const struct {
        std::string content;
        const char *problem;
    } cases[] = {
        {":10010000214601360121470136007EFE09D2190141\n", "line 1: bad checksum"},
        {SPEC_RECORD + "\n" + END, "line 2: empty line"},
        {SPEC_RECORD + SPEC_RECORD.substr(1), "line 2: does not start with ':'"},
        {":000000FF\n", "line 1: too short for a record"},
        {":zz010000214601360121470136007EFE09D2190140\n", "line 1: byte count is not hex"},
        {":10010000214601360121470136\n", "line 1: shorter than its byte count says"},
        {":10+10000214601360121470136007EFE09D2190140\n", "line 1: address or record type is not hex"},
        {hex_record(0, 0xFFF1, bytes_of(16, 0)), "line 1: reaches beyond address 0xFFFF"},
        {":1001000021 601360121470136007EFE09D2190140\n", "line 1: data byte is not hex"},
        {":10010000214601360121470136007EFE09D21901zz\n", "line 1: checksum is not hex"},
        {hex_record(4, 0, {0}), "line 1: extended address record does not hold 2 bytes"},
        {":02000004zz00FA\n", "line 1: extended address or its checksum is not hex"},
        {SPEC_RECORD.substr(0, 43) + "\r" + SPEC_RECORD + padded(SPEC_RECORD, 1023),
         "line 3: longer than 1,022 characters"},
    };
    for (const auto &c : cases) {
        EXPECT_LT(load_hex_file(write_scratch_file("bad.hex", c.content).c_str()), 0) << c.problem;
        EXPECT_EQ(hex_read_report.problem, c.problem);
    }
}

// The image set to a 128 KiB part's flash (-above64k): the same rules with
// the limit at 0x1FFFF, and the failure at the limit marked as such for the
// caller, which names the option.
TEST(HexReader, ImageOf128KiBTakesRecordsUpTo0x1FFFF)
{
    const std::string base_1 = ":020000040001F9\n";  // linear base 0x10000
    const struct {
        const char *name;
        std::string content;
        int32_t result;
        std::vector<ExpectedByte> bytes;
        const char *problem;  // on failure
    } cases[] = {
        {"linear base 0x10000, data at its start", base_1 + hex_record(0, 0, {7}) + END, 1, {{0x10000, 7}}, ""},
        {"linear base 0x10000, last byte at 0x1FFFF",
         base_1 + hex_record(0, 0xFFF0, bytes_of(16, 0xB0)) + END,
         16,
         {{0x1FFF0, 0xB0}, {0x1FFFF, 0xBF}},
         ""},
        {"one byte past 0x1FFFF", base_1 + hex_record(0, 0xFFF1, bytes_of(16, 0)) + END, -2, {},
         "line 2: reaches beyond address 0x1FFFF"},
        {"segment base 0x1000 reaches 0x1FFFF",
         ":020000021000EC\n" + hex_record(0, 0xFFFF, {0x5A}) + END,
         1,
         {{0x1FFFF, 0x5A}},
         ""},
        {"data up to 0xFFFF, then from 0x10000",
         hex_record(0, 0xFFF8, bytes_of(8, 1)) + base_1 + hex_record(0, 0, bytes_of(8, 9)) + END,
         16,
         {{0xFFFF, 8}, {0x10000, 9}},
         ""},
        {"linear base 0x20000 then data", ":020000040002F8\n" + hex_record(0, 0, {1}) + END, -2, {},
         "line 2: reaches beyond address 0x1FFFF"},
        {"linear base 0x20000 then end", ":020000040002F8\n" + END, 0, {}, ""},
        {"linear base 0x30000 then end", ":020000040003F7\n" + END, -2, {},
         "line 2: reaches beyond address 0x1FFFF"},
        {"other faults are not the limit", base_1 + ":10010000214601360121470136007EFE09D2190141\n", -2, {},
         "line 2: bad checksum"},
    };
    image_set_size(IMAGE_SIZE_MAX);
    for (const auto &c : cases) {
        EXPECT_EQ(load_hex_file(write_scratch_file("big.hex", c.content).c_str()), c.result) << c.name;
        for (const ExpectedByte &expected : c.bytes) {
            EXPECT_EQ(firmware_image.image_used[expected.address], 1) << c.name << std::hex << expected.address;
            EXPECT_EQ(firmware_image.image_bytes[expected.address], expected.value) << c.name;
        }
        if (c.result < 0) {
            EXPECT_EQ(hex_read_report.problem, c.problem) << c.name;
            EXPECT_EQ(hex_read_report.beyond_image, std::string(c.problem).find("beyond") != std::string::npos)
                << c.name;
        }
    }
    image_set_size(IMAGE_SIZE);
    // At 64 KiB, the same file's data above 0xFFFF is the limit again.
    EXPECT_EQ(load_hex_file(write_scratch_file("big.hex", base_1 + hex_record(0, 0, {7}) + END).c_str()), -2);
    EXPECT_EQ(hex_read_report.problem, "line 2: reaches beyond address 0xFFFF");
    EXPECT_TRUE(hex_read_report.beyond_image);
}

// What the caller warns about: no end record, or text after it.
TEST(HexReader, NotesAMissingEndAndTextAfterIt)
{
    const struct {
        std::string content;
        bool end_seen, text_after_end;
    } cases[] = {
        {SPEC_RECORD + END, true, false},
        {SPEC_RECORD, false, false},
        {SPEC_RECORD + END + "\n  \t\r\n\n", true, false},
        {SPEC_RECORD + END + SPEC_RECORD + END, true, true},
        {SPEC_RECORD + END + "\n\njunk", true, true},
        {SPEC_RECORD + END + "\x1A" + SPEC_RECORD, true, false},  // Ctrl-Z ends the file
    };
    for (const auto &c : cases) {
        ASSERT_EQ(load_hex_file(write_scratch_file("end.hex", c.content).c_str()), 16);
        EXPECT_EQ(firmware_image.end_record_seen, c.end_seen) << c.content;
        EXPECT_EQ(hex_read_report.text_after_end, c.text_after_end) << c.content;
    }
}

// The file is read in 64 KiB pieces: a CR and its LF may fall in two of them.
TEST(HexReader, LineEndSplitAcrossReads)
{
    const std::string record = hex_record(0, 0x0000, {0x42});  // 14 characters with its LF
    for (size_t cr_at : {size_t(65534), size_t(65535), size_t(65536)}) {
        // Blank-padded records before the one whose CR lands at cr_at.
        std::string text;
        while (text.size() + 2 * record.size() < cr_at)
            text += padded(record, record.size() - 1);
        text += padded(record, cr_at - text.size() - 1 + 1);
        text = text.substr(0, cr_at).append("\r").append(text.substr(cr_at));  // a CRLF across the seam
        text += END;
        ASSERT_EQ(text[cr_at], '\r');
        int32_t count = load_hex_file(write_scratch_file("seam.hex", text).c_str());
        EXPECT_GT(count, 0) << cr_at << ": " << hex_read_report.problem;
    }
}

TEST(HexReader, EachLoadStartsFromAnErasedImage)
{
    ASSERT_EQ(load_hex_file(write_scratch_file("first.hex", SPEC_RECORD + END).c_str()), 16);
    ASSERT_EQ(load_hex_file(write_scratch_file("second.hex", ":020000021000EC\n" + END).c_str()), 0);
    EXPECT_EQ(count_used(), 0);
    uint8_t erased = 0;
    image_copy_block(0x0100, 1, &erased);
    EXPECT_EQ(erased, 0xFF);
    // The base set by the previous file does not carry over.
    EXPECT_EQ(load_hex_file(write_scratch_file("third.hex", SPEC_RECORD + END).c_str()), 16);
}

TEST(HexReader, WholeImageInEveryRecordSize)
{
    auto bytes = pattern_bytes(0, 0x10000);
    for (size_t record_size : {1u, 16u, 32u, 255u}) {
        std::string path = write_scratch_file("full.hex", hex_file_for(bytes, record_size));
        ASSERT_EQ(load_hex_file(path.c_str()), 0x10000) << record_size;
        for (const auto &[address, value] : bytes)
            ASSERT_EQ(firmware_image.image_bytes[address], value) << record_size << " at " << address;
        EXPECT_EQ(count_used(), 0x10000);
    }
}

// Real toolchain output: the image must equal avr-objcopy's own binary of it.
TEST(HexReader, ExampleFirmwareMatchesAvrObjcopy)
{
    if (std::string(QUORVEL_EXAMPLE_BIN).empty())
        GTEST_SKIP()
            << "SKIPPED: avr-objcopy was not found when the tests were configured: install binutils-avr, "
               "then run cmake again";
    std::string expected = read_whole_file(QUORVEL_EXAMPLE_BIN);
    ASSERT_GT(expected.size(), 0u);

    const std::string hex = example_hex_path();
    int32_t count = load_hex_file(hex.c_str());
    ASSERT_EQ(count, int32_t(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(firmware_image.image_bytes[i], uint8_t(expected[i])) << "at " << i;
    EXPECT_EQ(count_used(), count);
}

}  // namespace
