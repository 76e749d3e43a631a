// Which report descriptors declare the bootloader's one 64-byte output report.
#include "hid/report_descriptor.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A vendor-defined collection opened, with byte-sized values.
const Bytes OPEN = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08};
const Bytes COUNT_64 = {0x95, 0x40};
const Bytes COUNT_32 = {0x95, 0x20};
const Bytes OUTPUT = {0x09, 0x02, 0x91, 0x02};
const Bytes INPUT = {0x09, 0x03, 0x81, 0x02};
const Bytes CLOSE = {0xC0};
const Bytes BOOTLOADER = joined({OPEN, COUNT_64, OUTPUT, CLOSE});

// A boot keyboard: eight bytes in, and one byte out for its LEDs (five bits
// and three of padding).
const Bytes KEYBOARD = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
                        0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
                        0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
                        0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
                        0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

struct DescriptorCase {
    const char *name;
    Bytes descriptor;
    int takes_bootloader_reports;
};

void PrintTo(const DescriptorCase &c, std::ostream *out)
{
    *out << c.name;
}

std::vector<DescriptorCase> descriptor_cases()
{
    return {
        {"bootloader", BOOTLOADER, 1},
        {"bootloader with an input report too", joined({OPEN, COUNT_64, INPUT, OUTPUT, CLOSE}), 1},
        {"64 bytes out in two items", joined({OPEN, COUNT_32, OUTPUT, OUTPUT, CLOSE}), 1},
        {"64 bytes in, none out", joined({OPEN, COUNT_64, INPUT, CLOSE}), 0},
        {"65 bytes out", joined({OPEN, COUNT_64, OUTPUT, {0x95, 0x01}, OUTPUT, CLOSE}), 0},
        {"four-byte report count", joined({OPEN, {0x97, 0x40, 0x00, 0x00, 0x00}, OUTPUT, CLOSE}), 1},
        // A logical maximum whose last byte, read as an item, would be a report ID.
        {"four-byte item read whole", joined({OPEN, {0x27, 0xFF, 0x00, 0x00, 0x85}, COUNT_64, OUTPUT, CLOSE}),
         1},
        {"size times count past 32 bits",  // 512 x 0x800001 is 2^32 + 512
         joined({OPEN, {0x76, 0x00, 0x02, 0x97, 0x01, 0x00, 0x80, 0x00}, OUTPUT, CLOSE}), 0},
        {"keyboard", KEYBOARD, 0},
        {"report ID before the output", joined({OPEN, {0x85, 0x01}, COUNT_64, OUTPUT, CLOSE}), 0},
        {"report ID after the output", joined({OPEN, COUNT_64, OUTPUT, {0x85, 0x02}, CLOSE}), 0},
        {"pop restores the pushed count",
         joined({OPEN, COUNT_64, {0xA4}, {0x95, 0x01}, INPUT, {0xB4}, OUTPUT, CLOSE}), 1},
        {"push keeps the count in force", joined({OPEN, COUNT_64, {0xA4}, OUTPUT, CLOSE}), 1},
        {"pop without push", joined({OPEN, COUNT_64, {0xB4}, OUTPUT, CLOSE}), 0},
        // Read as short items, the long item's data would be a report ID.
        {"long item skipped", joined({OPEN, {0xFE, 0x02, 0xF0, 0x85, 0x01}, COUNT_64, OUTPUT, CLOSE}), 1},
        {"long item cut before its tag", joined({BOOTLOADER, {0xFE, 0x02}}), 0},
        {"short item cut short", joined({BOOTLOADER, {0x75}}), 0},
        {"four-byte item cut short", joined({BOOTLOADER, {0x27, 0xFF, 0xFF}}), 0},
        {"empty", {}, 0},
    };
}

class ReportDescriptorTest : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(ReportDescriptorTest, TakesBootloaderReports)
{
    const DescriptorCase &c = GetParam();
    EXPECT_EQ(descriptor_takes_bootloader_reports(c.descriptor.data(), c.descriptor.size()),
              c.takes_bootloader_reports);
}

std::string case_name(const ::testing::TestParamInfo<DescriptorCase> &info)
{
    std::string name;
    for (const char *c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Descriptors, ReportDescriptorTest, ::testing::ValuesIn(descriptor_cases()),
                         case_name);

}  // namespace
