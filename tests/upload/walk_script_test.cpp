// The upload recorded before its first report is written: the steps that
// the writer plays must be the walk's reports in order, each with its time
// limit and the pause that follows it, and each block shown once the
// reports before its first data report are delivered.
#include "upload/walk_script.h"

#include "image/firmware_image.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

struct StepFacts {
    int command;
    uint32_t limit_ms;
    double pause_after;
    int32_t block_address;
    int blocks_done;
};

// One 128-byte block at 0 with data, then the block at 0x80.
TEST(WalkScript, StepsAreTheWalksReportsWithTheirLimitsAndPauses)
{
    image_reset();
    image_store(0x0000, 0x11);
    image_store(0x00FF, 0x22);
    WalkScript script;
    const UploadPlan plan{0x8000, 128};
    std::vector<PlayStep> room(size_t(walk_step_count(plan)));
    ASSERT_EQ(walk_record(plan, script, room.data(), int(room.size())), 1);
    const StepFacts expected[] = {
        {CMD_BEGIN, 1000, 1.0, -1, 0},
        {CMD_SET_ADDRESS, 250, 0, 0x0000, 0},
        {CMD_SET_LENGTH, 50, 0, 0x0000, 0},
        {CMD_DATA, 50, 0, 0x0000, 0},
        {CMD_DATA, 50, 0, 0x0000, 0},
        {CMD_DATA, 50, 0, 0x0000, 0},
        {CMD_DATA, 50, 0, 0x0000, 0},
        {CMD_BLOCK_DONE, 1000, 0.01, 0x0000, 0},  // the first block-done may wait for an erase
        {CMD_SET_ADDRESS, 250, 0, 0x0080, 1},
        {CMD_SET_LENGTH, 50, 0, 0x0080, 1},
        {CMD_DATA, 50, 0, 0x0080, 1},
        {CMD_DATA, 50, 0, 0x0080, 1},
        {CMD_DATA, 50, 0, 0x0080, 1},
        {CMD_DATA, 50, 0, 0x0080, 1},
        {CMD_BLOCK_DONE, 50, 0.01, 0x0080, 1},
        {CMD_FINISH, 50, 0, -1, 2},
        {CMD_START_APPLICATION, 50, 0.3, -1, 2},
    };
    ASSERT_EQ(size_t(script.count), std::size(expected));
    EXPECT_EQ(script.steps, room.data());
    ASSERT_EQ(script.reports.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const PlayStep &step = script.steps[i];
        EXPECT_EQ(step.length, 64u);
        EXPECT_EQ(step.report[0], COMMAND_MARKER);
        EXPECT_EQ(step.report[1], expected[i].command);
        EXPECT_EQ(step.limit_ms, expected[i].limit_ms);
        EXPECT_DOUBLE_EQ(step.pause_after, expected[i].pause_after);
        EXPECT_EQ(script.reports[i].command, expected[i].command);
        EXPECT_EQ(script.reports[i].block_address, expected[i].block_address);
        EXPECT_EQ(script.reports[i].blocks_done, expected[i].blocks_done);
    }
    // The data as the flash must get it: the file's bytes, 0xFF elsewhere.
    EXPECT_EQ(script.steps[3].report[2], 0x11);
    EXPECT_EQ(script.steps[3].report[3], 0xFF);
    EXPECT_EQ(script.steps[13].report[33], 0x22);
    EXPECT_EQ(script.steps[8].report[2], 0x40);  // word address 0x40: the block at 0x80
    // A block is shown once its set-length is delivered, not before.
    ASSERT_EQ(script.blocks.size(), 2u);
    EXPECT_EQ(script.blocks[0].after, 3);
    EXPECT_EQ(script.blocks[0].address, 0x0000);
    EXPECT_EQ(script.blocks[1].after, 10);
    EXPECT_EQ(script.blocks[1].address, 0x0080);
    EXPECT_EQ(script.blocks[1].length, 128);
}

TEST(WalkScript, StepCountFitsTheWriterForEveryPlan)
{
    const struct {
        UploadPlan plan;
        bool full;  // the whole 64 KiB holds data
        size_t steps;
        int recorded;
    } cases[] = {
        {{0x10000, 256}, true, 3 + 256 * 11, 1},
        {{0x20000, 256}, true, 3 + 256 * 11, 1},  // nothing above 0xFFFF is sent
        {{0x10000, 32}, true, 3 + 2048 * 4, 1},   // the most steps a walk can have
        {{0x8000, 128}, false, 3 + 7, 1},         // an empty file still sends the block at 0
        {{0x8000, 100}, false, 0, 0},             // a block size the reports cannot carry
        {{0x8000, 512}, false, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.plan.code_size) + "/" + std::to_string(c.plan.block_size));
        image_reset();
        if (c.full)
            for (uint32_t address = 0; address < 0x10000; address += 0x20)
                image_store(address, uint8_t(address >> 5));
        EXPECT_EQ(size_t(walk_step_count(c.plan)), c.steps);
        std::vector<PlayStep> room(c.steps);
        WalkScript script;
        EXPECT_EQ(walk_record(c.plan, script, room.data(), int(room.size())), c.recorded);
        EXPECT_EQ(size_t(script.count), c.steps);
        EXPECT_LE(c.steps, size_t(PLAY_MAX_STEPS));
        // One step less room than the walk needs: it does not fit, and
        // nothing is written past the room.
        if (c.steps > 0) {
            WalkScript short_of_room;
            EXPECT_EQ(walk_record(c.plan, short_of_room, room.data(), int(room.size()) - 1), 0);
            EXPECT_EQ(size_t(short_of_room.count), c.steps - 1);
        }
    }
}

// -boot's walk: the start-application command alone, with its limit and
// the pause after it, whatever the image holds; never the begin command.
TEST(WalkScript, TheStartWalkIsTheStartCommandAlone)
{
    image_reset();
    image_store(0x0000, 0x11);
    WalkScript script;
    std::vector<PlayStep> room(START_STEPS);
    ASSERT_EQ(walk_record_start(script, room.data(), int(room.size())), 1);
    ASSERT_EQ(script.count, 1);
    const PlayStep &step = script.steps[0];
    EXPECT_EQ(step.length, 64u);
    EXPECT_EQ(step.report[0], COMMAND_MARKER);
    EXPECT_EQ(step.report[1], CMD_START_APPLICATION);
    for (size_t i = 2; i < PLAY_REPORT; ++i)
        EXPECT_EQ(step.report[i], 0) << i;
    EXPECT_EQ(step.limit_ms, 50u);
    EXPECT_DOUBLE_EQ(step.pause_after, 0.3);
    ASSERT_EQ(script.reports.size(), 1u);
    EXPECT_EQ(script.reports[0].command, CMD_START_APPLICATION);
    EXPECT_EQ(script.reports[0].block_address, -1);
    EXPECT_TRUE(script.blocks.empty());
    // No room (no device open): nothing recorded.
    EXPECT_EQ(walk_record_start(script, nullptr, 0), 0);
    EXPECT_EQ(script.count, 0);
}

}  // namespace
