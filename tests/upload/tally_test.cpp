// The dry run's figures: what an upload would send and how long it would
// take at the least, for the part and the image.
#include "upload/tally.h"

#include "image/firmware_image.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

std::vector<int32_t> blocks_told;

void tell(int32_t address, int32_t length)
{
    blocks_told.push_back(address);
    EXPECT_GT(length, 0);
}

TEST(Tally, FiguresFollowTheBlocksThatHoldData)
{
    const struct {
        const char *name;
        UploadPlan plan;
        std::map<uint32_t, uint8_t> bytes;
        UploadTally figures;
        std::vector<int32_t> blocks;
    } cases[] = {
        // Begin, then per block set-address, set-length, the data reports and
        // block-done, then finish and start-application; 1 s after begin,
        // 10 ms after each block and 0.3 s at the end.
        {"two 128-byte blocks", {0x8000, 128}, {{0x0000, 1}, {0x00E3, 2}}, {2, 128, 17, 2, 1.32}, {0, 0x80}},
        {"one 256-byte block at the top", {0x10000, 256}, {{0xFFFF, 1}}, {2, 256, 25, 1, 1.32}, {0, 0xFF00}},
        {"data past an 8 KiB part is neither sent nor counted",
         {0x2000, 128},
         {{0x0010, 1}, {0x3000, 2}},
         {1, 128, 10, 1, 1.31},
         {0}},
    };
    for (const auto &c : cases) {
        image_reset();
        for (const auto &[address, value] : c.bytes)
            image_store(address, value);
        blocks_told.clear();
        const UploadTally t = tally_upload(c.plan, tell);
        EXPECT_EQ(t.blocks, c.figures.blocks) << c.name;
        EXPECT_EQ(t.block_size, c.figures.block_size) << c.name;
        EXPECT_EQ(t.reports, c.figures.reports) << c.name;
        EXPECT_EQ(t.file_bytes, c.figures.file_bytes) << c.name;
        EXPECT_NEAR(t.least_seconds, c.figures.least_seconds, 1e-9) << c.name;
        EXPECT_EQ(blocks_told, c.blocks) << c.name;
        EXPECT_EQ(blocks_to_send(c.plan), c.figures.blocks) << c.name;
    }
}

}  // namespace
