#include "image/firmware_image.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

class FirmwareImageTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        image_set_size(IMAGE_SIZE);
        image_reset();
    }
    void TearDown() override { image_set_size(IMAGE_SIZE); }
};

TEST_F(FirmwareImageTest, ResetErasesImageAndReaderState)
{
    image_store(0x1234, 0x00);
    firmware_image.address_base = 0x10000;
    firmware_image.end_record_seen = true;
    firmware_image.data_byte_count = 9;
    image_reset();
    EXPECT_EQ(image_range_used(0, 0xFFFF), 0);
    uint8_t erased = 0;
    image_copy_block(0x1234, 1, &erased);
    EXPECT_EQ(erased, 0xFF);
    EXPECT_EQ(firmware_image.address_base, 0u);
    EXPECT_FALSE(firmware_image.end_record_seen);
    EXPECT_EQ(firmware_image.data_byte_count, 0);
}

TEST_F(FirmwareImageTest, RangeUsedLooksOnlyInsideTheImage)
{
    image_store(0x0000, 0x11);
    image_store(0x0180, 0xFF);  // a used 0xFF is still file data
    image_store(0xFFFF, 0x22);
    struct Case {
        int32_t first, last;
        int expected;
    };
    const Case cases[] = {
        {0x0000, 0x0000, 1}, {0x0001, 0x017F, 0}, {0x0100, 0x01FF, 1},   {0x0180, 0x0180, 1},
        {0xFF00, 0xFFFF, 1}, {0xFF00, 0xFFFE, 0}, {0x10000, 0x100FF, 0}, {0xFF00, 0x10000, 0},
        {0x0200, 0x0100, 0}, {-1, 0x0100, 0},     {0x0000, -1, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(image_range_used(c.first, c.last), c.expected) << std::hex << c.first << ".." << c.last;
}

TEST_F(FirmwareImageTest, CopyBlockFillsUnusedBytesWithErasedValue)
{
    image_store(0x0105, 0x00);
    image_store(0xFFFF, 0x5A);
    firmware_image.image_bytes[0x0106] = 0x12;  // stored without the used flag: not file data

    std::array<uint8_t, 256> out;
    image_copy_block(0x0100, 128, out.data());
    for (int i = 0; i < 128; ++i)
        EXPECT_EQ(out[i], i == 5 ? 0x00 : 0xFF) << i;

    image_copy_block(0xFF00, 256, out.data());
    EXPECT_EQ(out[255], 0x5A);
    EXPECT_EQ(out[254], 0xFF);
}

TEST_F(FirmwareImageTest, CopyBlockOutsideTheImageIsErased)
{
    image_store(0xFFFF, 0x5A);
    struct Case {
        int32_t address, length;
    };
    // Blocks that do not lie wholly inside 0x0000-0xFFFF are never read.
    const Case cases[] = {{0x10000, 256}, {0xFF80, 256}, {-128, 256}, {0x7FFFFF80, 256}};
    for (const Case &c : cases) {
        std::array<uint8_t, 256> out;
        out.fill(0x00);
        image_copy_block(c.address, c.length, out.data());
        for (uint8_t byte : out)
            ASSERT_EQ(byte, 0xFF) << std::hex << c.address;
    }
}

// The image set to a 128 KiB part's flash: every operation stops at
// 0x1FFFF, and a byte stored there is found and copied like one below 64 KiB.
TEST_F(FirmwareImageTest, ImageSetTo128KiBReachesItsLastByteAndNoFurther)
{
    image_set_size(IMAGE_SIZE_MAX);
    ASSERT_EQ(image_size(), 0x20000);
    struct Store {
        uint32_t address;
        int stored;
    };
    const Store stores[] = {{0x10000, 1}, {0x1FFFF, 1}, {0x20000, 0}, {0xFFFFFFFF, 0}};
    for (const Store &s : stores)
        EXPECT_EQ(image_store(s.address, 0x3C), s.stored) << std::hex << s.address;

    struct Range {
        int32_t first, last;
        int expected;
    };
    const Range ranges[] = {
        {0xFF00, 0xFFFF, 0}, {0x10000, 0x100FF, 1}, {0x10001, 0x1FFFE, 0}, {0x1FF00, 0x1FFFF, 1},
        {0x1FF00, 0x20000, 0}, {0x20000, 0x200FF, 0},
    };
    for (const Range &r : ranges)
        EXPECT_EQ(image_range_used(r.first, r.last), r.expected) << std::hex << r.first << ".." << r.last;

    std::array<uint8_t, 256> out;
    image_copy_block(0x1FF00, 256, out.data());
    EXPECT_EQ(out[255], 0x3C);
    EXPECT_EQ(out[254], 0xFF);
    out.fill(0);
    image_copy_block(0x1FF80, 256, out.data());  // past 0x1FFFF: not read
    for (uint8_t byte : out)
        ASSERT_EQ(byte, 0xFF);
}

// Back at 64 KiB, bytes stored above it while it was larger are outside
// again; a reset clears them, so that growing again shows nothing stale.
TEST_F(FirmwareImageTest, SizeBoundsEveryOperationAndResetClearsAllOfTheStorage)
{
    image_set_size(IMAGE_SIZE_MAX);
    image_store(0x18000, 0x01);
    image_set_size(IMAGE_SIZE);
    EXPECT_EQ(image_range_used(0x18000, 0x18000), 0);
    EXPECT_EQ(image_store(0x10000, 0x02), 0);
    image_reset();
    image_set_size(IMAGE_SIZE_MAX);
    EXPECT_EQ(image_range_used(0, 0x1FFFF), 0);

    struct Setting {
        int32_t bytes, size;
    };
    const Setting settings[] = {{0x20000, 0x20000}, {0x40000, 0x20000}, {0, 1}, {-5, 1}, {0x8000, 0x8000}};
    for (const Setting &s : settings) {
        image_set_size(s.bytes);
        EXPECT_EQ(image_size(), s.size) << s.bytes;
    }
}

// Copies and searches stop at the highest byte stored since the last reset
// and take everything above it as erased: blocks and ranges that straddle
// it, after a larger load and a reset, come out as the file says.
TEST_F(FirmwareImageTest, BlocksAndRangesAcrossTheHighestByteStored)
{
    image_store(0xFFFF, 0x01);
    image_store(0x8000, 0x02);
    image_reset();
    EXPECT_EQ(image_used_end(), 0);
    image_store(0x0100, 0xA0);
    image_store(0x0105, 0xA5);
    ASSERT_EQ(image_used_end(), 0x0106);

    struct Case {
        int32_t address, length;
        int used;
    };
    const Case cases[] = {{0x0100, 128, 1}, {0x0104, 4, 1}, {0x0106, 128, 0}, {0x0080, 256, 1},
                          {0x0080, 128, 0}, {0x7F80, 256, 0}, {0xFF00, 256, 0}};
    for (const Case &c : cases) {
        EXPECT_EQ(image_range_used(c.address, c.address + c.length - 1), c.used) << std::hex << c.address;
        std::array<uint8_t, 256> out;
        out.fill(0x00);
        image_copy_block(c.address, c.length, out.data());
        for (int32_t i = 0; i < c.length; ++i) {
            int32_t at = c.address + i;
            uint8_t expected = at == 0x0100 ? 0xA0 : at == 0x0105 ? 0xA5 : 0xFF;
            ASSERT_EQ(out[size_t(i)], expected) << std::hex << at;
        }
    }
}

TEST_F(FirmwareImageTest, CopyBlockOfLengthZeroWritesNothing)
{
    uint8_t out = 0x42;
    image_copy_block(0, 0, &out);
    EXPECT_EQ(out, 0x42);
}

}  // namespace
