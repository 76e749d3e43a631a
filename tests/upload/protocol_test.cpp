// The upload walk against a recording transport: which reports go out, in
// which order, with which bytes and time limits.
#include "upload/protocol.h"

#include "image/firmware_image.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <vector>

namespace {

struct SentReport {
    CommandReport report;
    double limit;
};

std::vector<SentReport> sent;
std::vector<double> pauses;
size_t accept_count = SIZE_MAX;  // reports delivered before the transport refuses
bool refuse_late = false;        // the refusal comes with the next send or drain
bool refusal_in_hand = false;
size_t calls = 0;           // reports handed to the transport
size_t stop_at = SIZE_MAX;  // a stop signal comes once this many were handed over
size_t drains_after_stop = 0;

int record_send(const CommandReport &report, double limit)
{
    ++calls;
    if (refusal_in_hand)
        return -1;
    if (sent.size() >= accept_count) {
        refusal_in_hand = refuse_late;
        return refuse_late;
    }
    sent.push_back({report, limit});
    return 1;
}

int record_drain()
{
    drains_after_stop += calls >= stop_at;
    return !refusal_in_hand;
}

int record_stop()
{
    return calls >= stop_at ? 15 : 0;
}

void record_pause(double seconds)
{
    pauses.push_back(seconds);
}

std::vector<int32_t> blocks_started;

void record_block(int32_t address, int32_t)
{
    blocks_started.push_back(address);
}

const UploadTransport RECORDING{record_send, record_drain, record_pause, record_block, record_stop};
UploadPlan plan;

class UploadTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        sent.clear();
        pauses.clear();
        blocks_started.clear();
        accept_count = SIZE_MAX;
        refuse_late = refusal_in_hand = false;
        calls = 0;
        stop_at = SIZE_MAX;
        drains_after_stop = 0;
        image_reset();
        plan = UploadPlan{};
    }

    void select_part(int32_t code_size, int32_t block_size)
    {
        plan = UploadPlan{code_size, block_size};
    }

    static void store(const std::map<uint32_t, uint8_t> &bytes)
    {
        for (const auto &[address, value] : bytes)
            image_store(address, value);
    }
};

struct WalkCase {
    const char *name;
    int32_t code_size, block_size;
    std::map<uint32_t, uint8_t> bytes;
    std::vector<int32_t> blocks;  // byte addresses of the blocks that must be sent
};

TEST_F(UploadTest, SendsExactlyTheBlocksThatHoldFileData)
{
    std::map<uint32_t, uint8_t> low_256;
    for (uint32_t a = 0; a < 0x100; ++a)
        low_256[a] = uint8_t(a);
    const WalkCase cases[] = {
        {"empty image still sends block 0", 0x8000, 128, {}, {0x0000}},
        {"data in 0x0000-0x00FF on a 32 KiB part", 0x8000, 128, low_256, {0x0000, 0x0080}},
        {"one byte at 0xFFFF on a 64 KiB part", 0x10000, 256, {{0xFFFF, 0x5A}}, {0x0000, 0xFF00}},
        {"128 KiB part sends nothing above 0xFFFF",
         0x20000,
         256,
         {{0x0100, 1}, {0xFFFF, 2}},
         {0x0000, 0x0100, 0xFF00}},
        {"a used 0xFF byte counts", 0x4000, 128, {{0x3F80, 0xFF}}, {0x0000, 0x3F80}},
        {"8 KiB part", 0x2000, 128, {{0x1000, 1}, {0x1FFF, 2}}, {0x0000, 0x1000, 0x1F80}},
    };
    for (const WalkCase &c : cases) {
        SetUp();
        select_part(c.code_size, c.block_size);
        store(c.bytes);
        ASSERT_EQ(upload_image(RECORDING, plan), UPLOAD_DONE) << c.name;

        const size_t data_reports = size_t(c.block_size / 32);
        ASSERT_EQ(sent.size(), 1 + c.blocks.size() * (3 + data_reports) + 2) << c.name;
        size_t at = 0;
        EXPECT_EQ(sent[at++].report.bytes[1], CMD_BEGIN) << c.name;
        for (int32_t block : c.blocks) {
            const auto &set_address = sent[at++].report.bytes;
            EXPECT_EQ(set_address[1], CMD_SET_ADDRESS) << c.name;
            EXPECT_EQ(set_address[2] | set_address[3] << 8, block / 2) << c.name;
            EXPECT_EQ(sent[at++].report.bytes[1], CMD_SET_LENGTH) << c.name;
            for (size_t d = 0; d < data_reports; ++d) {
                const auto &data = sent[at++].report.bytes;
                ASSERT_EQ(data[1], CMD_DATA) << c.name;
                for (int i = 0; i < 32; ++i) {
                    uint32_t address = uint32_t(block) + uint32_t(d * 32) + uint32_t(i);
                    auto found = c.bytes.find(address);
                    EXPECT_EQ(data[2 + i], found == c.bytes.end() ? 0xFF : found->second)
                        << c.name << " at " << std::hex << address;
                }
            }
            EXPECT_EQ(sent[at++].report.bytes[1], CMD_BLOCK_DONE) << c.name;
        }
        EXPECT_EQ(sent[at++].report.bytes[1], CMD_FINISH) << c.name;
        EXPECT_EQ(blocks_started, c.blocks) << c.name;
        EXPECT_EQ(sent[at++].report.bytes[1], CMD_START_APPLICATION) << c.name;
    }
}

// The image set to a 128 KiB part's flash (-above64k): the walk goes on
// above 0xFFFF, and SET_ADDRESS's word address goes on past 0x7FFF, low
// byte first, up to the last block.
TEST_F(UploadTest, ImageOf128KiBIsWalkedAbove0xFFFFWithWordAddressesUpTo0xFF80)
{
    struct Case {
        const char *name;
        int32_t block_size;
        std::map<uint32_t, uint8_t> bytes;
        std::vector<int32_t> blocks;
        std::vector<std::array<uint8_t, 2>> words;  // each block's SET_ADDRESS bytes 2 and 3
    };
    const Case cases[] = {
        {"either side of 0x10000",
         256,
         {{0xFFFF, 1}, {0x10000, 2}},
         {0x0000, 0xFF00, 0x10000},
         {{0x00, 0x00}, {0x80, 0x7F}, {0x00, 0x80}}},
        {"the last 256-byte block", 256, {{0x1FFFF, 3}}, {0x0000, 0x1FF00}, {{0x00, 0x00}, {0x80, 0xFF}}},
        {"the last 128-byte block", 128, {{0x1FF80, 4}}, {0x0000, 0x1FF80}, {{0x00, 0x00}, {0xC0, 0xFF}}},
        {"only above 0xFFFF", 256, {{0x18001, 5}}, {0x0000, 0x18000}, {{0x00, 0x00}, {0x00, 0xC0}}},
    };
    for (const Case &c : cases) {
        SetUp();
        image_set_size(IMAGE_SIZE_MAX);
        select_part(0x20000, c.block_size);
        store(c.bytes);
        const UploadEnd end = upload_image(RECORDING, plan);
        const int blocks = blocks_to_send(plan);
        image_set_size(IMAGE_SIZE);
        ASSERT_EQ(end, UPLOAD_DONE) << c.name;
        EXPECT_EQ(blocks_started, c.blocks) << c.name;
        EXPECT_EQ(blocks, int(c.blocks.size())) << c.name;
        std::vector<std::array<uint8_t, 2>> words;
        for (const SentReport &s : sent) {
            if (s.report.bytes[1] == CMD_SET_ADDRESS)
                words.push_back({s.report.bytes[2], s.report.bytes[3]});
        }
        EXPECT_EQ(words, c.words) << c.name;
        // The byte stored arrives in the data report of its block.
        const auto [address, value] = *c.bytes.rbegin();
        const size_t offset = address % uint32_t(c.block_size);
        const size_t data_of_last = sent.size() - 2 - 1 - size_t(c.block_size / 32) + offset / 32;
        EXPECT_EQ(sent[data_of_last].report.bytes[1], CMD_DATA) << c.name;
        EXPECT_EQ(sent[data_of_last].report.bytes[2 + offset % 32], value) << c.name;
    }
}

// A flash larger than the word address reaches would wrap to address 0.
TEST_F(UploadTest, AFlashBeyondTheWordAddressSendsNothing)
{
    for (int32_t code_size : {0x20000 + 256, 0x40000}) {
        SetUp();
        select_part(code_size, 256);
        EXPECT_EQ(upload_image(RECORDING, plan), UPLOAD_NOT_DELIVERED) << code_size;
        EXPECT_TRUE(sent.empty()) << code_size;
    }
}

TEST_F(UploadTest, EveryReportIsMarkedAndUnusedBytesAreZero)
{
    select_part(0x8000, 128);
    image_store(0x3F00, 0x00);
    ASSERT_EQ(upload_image(RECORDING, plan), UPLOAD_DONE);
    for (const SentReport &s : sent) {
        EXPECT_EQ(s.report.bytes[0], COMMAND_MARKER);
        int parameters = s.report.bytes[1] == CMD_DATA                                                   ? 32
                         : (s.report.bytes[1] == CMD_SET_ADDRESS || s.report.bytes[1] == CMD_SET_LENGTH) ? 2
                                                                                                         : 0;
        for (int i = 2 + parameters; i < REPORT_SIZE; ++i)
            ASSERT_EQ(s.report.bytes[i], 0) << "command " << int(s.report.bytes[1]) << " byte " << i;
    }
    // The block at 0x3F00 is addressed by word 0x1F80, low byte first.
    const auto &set_address = sent[1 + 7].report.bytes;
    EXPECT_EQ(set_address[1], CMD_SET_ADDRESS);
    EXPECT_EQ(set_address[2], 0x80);
    EXPECT_EQ(set_address[3], 0x1F);
}

TEST_F(UploadTest, BlockLengthGoesHighByteFirst)
{
    struct Case {
        int32_t code_size, block_size;
        uint8_t high, low;
    };
    for (Case c : {Case{0x8000, 128, 0x00, 0x80}, Case{0x10000, 256, 0x01, 0x00}}) {
        SetUp();
        select_part(c.code_size, c.block_size);
        ASSERT_EQ(upload_image(RECORDING, plan), UPLOAD_DONE);
        const auto &set_length = sent[2].report.bytes;
        EXPECT_EQ(set_length[1], CMD_SET_LENGTH);
        EXPECT_EQ(set_length[2], c.high);
        EXPECT_EQ(set_length[3], c.low);
    }
}

TEST_F(UploadTest, TimeLimitsAndPauses)
{
    select_part(0x8000, 128);
    image_store(0x0100, 1);
    ASSERT_EQ(upload_image(RECORDING, plan), UPLOAD_DONE);
    std::vector<std::pair<int, double>> limits;
    for (const SentReport &s : sent)
        limits.push_back({s.report.bytes[1], s.limit});
    const std::vector<std::pair<int, double>> expected{
        {1, 1.0},  {2, 0.25}, {3, 0.05}, {4, 0.05}, {4, 0.05}, {4, 0.05}, {4, 0.05}, {5, 1.0},  {2, 0.25},
        {3, 0.05}, {4, 0.05}, {4, 0.05}, {4, 0.05}, {4, 0.05}, {5, 0.05}, {6, 0.05}, {7, 0.05},
    };
    EXPECT_EQ(limits, expected);
    EXPECT_EQ(pauses, (std::vector<double>{1.0, 0.01, 0.01, 0.3}));
}

TEST_F(UploadTest, StopsAtTheFirstReportNotDeliveredAndNamesIt)
{
    // Two blocks (0x0000, 0x0100) of 7 reports after the begin command:
    // refuse the begin command, a data report, the first block-done, the
    // second set-length, and the last report; at once, or only once the
    // next report is handed over, as a transport that keeps one in hand does.
    const struct {
        size_t accepted;
        Command command;
        int32_t block;
        int blocks_done;
        std::vector<int32_t> started;
    } cases[] = {
        {0, CMD_BEGIN, -1, 0, {}},
        {4, CMD_DATA, 0x0000, 0, {0x0000}},
        {7, CMD_BLOCK_DONE, 0x0000, 0, {0x0000}},
        {9, CMD_SET_LENGTH, 0x0100, 1, {0x0000}},
        {16, CMD_START_APPLICATION, -1, 2, {0x0000, 0x0100}},
    };
    for (bool late : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::to_string(c.accepted) + (late ? " late" : ""));
            SetUp();
            select_part(0x8000, 128);
            image_store(0x0100, 1);
            accept_count = c.accepted;
            refuse_late = late;
            EXPECT_EQ(upload_image(RECORDING, plan), UPLOAD_NOT_DELIVERED);
            EXPECT_EQ(sent.size(), c.accepted);
            EXPECT_EQ(report_in_hand.command, c.command);
            EXPECT_EQ(report_in_hand.block_address, c.block);
            EXPECT_EQ(report_in_hand.blocks_done, c.blocks_done);
            EXPECT_EQ(blocks_started, c.started);
            // No pause after the failure: the 0.3 s before the end never comes.
            EXPECT_TRUE(pauses.empty() || pauses.back() != 0.3);
            EXPECT_EQ(pauses.size(), size_t(c.blocks_done) + (c.accepted > 0));
        }
    }
}

TEST_F(UploadTest, AStopEndsTheWalkBeforeTheNextReportOnceTheReportsTakenAreDelivered)
{
    // Two blocks (0x0000, 0x0100) of 7 reports after the begin command. A
    // stop before report N: nothing more is sent, the reports taken are
    // delivered first, and the blocks wholly delivered are counted; when the
    // one before the stop turns out not delivered, that failure is what
    // the walk reports.
    const struct {
        size_t stop_before;
        bool last_refused;
        UploadEnd end;
        int blocks_done;
    } cases[] = {
        {1, false, UPLOAD_STOPPED, 0},  // during the pause after begin
        {5, false, UPLOAD_STOPPED, 0},  // mid-block
        {8, false, UPLOAD_STOPPED, 1},  // between two blocks
        {16, false, UPLOAD_STOPPED, 2}, // before start-application
        {5, true, UPLOAD_NOT_DELIVERED, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.stop_before) + (c.last_refused ? " refused" : ""));
        SetUp();
        select_part(0x8000, 128);
        image_store(0x0100, 1);
        stop_at = c.stop_before;
        if (c.last_refused) {
            // The last report before the stop is taken, then refused: the
            // drain before stopping finds it.
            accept_count = c.stop_before - 1;
            refuse_late = true;
        }
        EXPECT_EQ(upload_image(RECORDING, plan), c.end);
        EXPECT_EQ(calls, c.stop_before);
        EXPECT_EQ(sent.size(), c.last_refused ? c.stop_before - 1 : c.stop_before);
        EXPECT_GE(drains_after_stop, 1u);
        EXPECT_EQ(report_in_hand.blocks_done, c.blocks_done);
        if (c.end == UPLOAD_STOPPED) {
            EXPECT_EQ(report_in_hand.stop_signal, 15);
        } else {
            EXPECT_EQ(report_in_hand.command, CMD_DATA);  // the fifth report, the one refused
        }
    }
}

TEST_F(UploadTest, APlanWhoseBlocksTheReportsCannotCarrySendsNothing)
{
    for (int32_t block_size : {0, -128, 100, 512}) {
        SetUp();
        select_part(0x8000, block_size);
        EXPECT_EQ(upload_image(RECORDING, plan), UPLOAD_NOT_DELIVERED) << block_size;
        EXPECT_TRUE(sent.empty()) << block_size;
    }
}

}  // namespace
