// -above64k: a 100 KiB image for an at90usb1287 on the simulated bench,
// one board and every board at once; the bootloader's section and a file
// above 64 KiB without the option are refused before anything is sent.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

constexpr uint32_t IMAGE_BYTES = 100 * 1024;  // 400 blocks of 256 bytes: 0x0000-0x18FFF

std::vector<json> json_lines(const std::string &text)
{
    std::vector<json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object()) << "not a JSON object: " << line;
    }
    return lines;
}

// The board's flash holds the file's bytes and is erased everywhere else,
// up to the top of its 128 KiB.
void expect_flash_is(const SimResult &sim, const std::map<uint32_t, uint8_t> &bytes, const std::string &label)
{
    for (const std::string &error : sim.errors)
        ADD_FAILURE() << label << ": the device saw: " << error;
    ASSERT_EQ(sim.flash.size(), 0x20000u) << label;
    for (uint32_t address = 0; address < 0x20000; ++address) {
        auto found = bytes.find(address);
        ASSERT_EQ(sim.flash[address], found == bytes.end() ? 0xFF : found->second)
            << label << " at 0x" << std::hex << address;
    }
}

// The byte addresses that the SET_ADDRESS reports name, in order.
std::vector<uint32_t> addressed_blocks(const SimResult &sim)
{
    std::vector<uint32_t> blocks;
    for (const Frame &frame : sim.frames)
        if (frame.size() == 65 && frame[2] == 2)
            blocks.push_back((uint32_t(frame[3]) | uint32_t(frame[4]) << 8) * 2);
    return blocks;
}

std::vector<uint32_t> every_block(uint32_t bytes)
{
    std::vector<uint32_t> blocks;
    for (uint32_t address = 0; address < bytes; address += 256)
        blocks.push_back(address);
    return blocks;
}

std::string image_of(const std::map<uint32_t, uint8_t> &bytes)
{
    std::string image;
    for (const auto &[address, value] : bytes)
        image += char(value);
    return image;
}

TEST_F(SimulatedBench, Above64KiBImageArrivesByteExact)
{
    const std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, IMAGE_BYTES);
    const std::string hex = write_scratch_file("100k.hex", hex_file_for(bytes));
    add_device(0, 0x5E1A, 0x0001);
    ProcessResult run = run_quorvel({"-v", "-above64k", "-mmcu=at90usb1287", "-usb=5e1a:1", hex});
    SimResult sim = finish(0);

    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "\nDone.\n\n");
    EXPECT_NE(run.out.find("Read \"" + hex + "\": 102400 bytes, 78.1% usage\n"), std::string::npos) << run.out;
    const std::string sent = write_scratch_file("sent.bin", image_of(bytes));
    EXPECT_NE(run.out.find("SHA-256 of the image: " + sha256sum(sent) + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Programming: " + std::string(400, '.')), std::string::npos) << run.out;
    EXPECT_EQ(addressed_blocks(sim), every_block(IMAGE_BYTES));
    EXPECT_EQ(sim.frames.size(), 1 + 400 * 11 + 2u);
    expect_flash_is(sim, bytes, "one board");
}

// Each board's copy gets the option: every board has the whole image, the
// -json block events go on above 0xFFFF, and the log names what was sent.
TEST_F(SimulatedBench, Above64KiBImageToEveryBoardWithItsEventsAndLog)
{
    // Data either side of 0x10000 and just below the bootloader's section.
    std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, 0x100);
    for (const auto &piece : {pattern_bytes(0xFF80, 0x100), pattern_bytes(0x1DF00, 0x100)})
        bytes.insert(piece.begin(), piece.end());
    const std::string hex = write_scratch_file("split.hex", hex_file_for(bytes));
    const std::string log = scratch_dir() + "/above64k.log";
    std::remove(log.c_str());
    for (int board : {0, 1})
        add_device(board, 0x5E1A, 0x0001);
    ProcessResult run =
        run_quorvel({"-all=2", "-json", "-log=" + log, "-above64k", "-mmcu=at90usb1287", "-usb=5e1a:1", hex});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<uint32_t> blocks{0x0000, 0xFF00, 0x10000, 0x1DF00};
    for (int board : {0, 1}) {
        SimResult sim = finish(board);
        EXPECT_EQ(addressed_blocks(sim), blocks) << "board " << board;
        expect_flash_is(sim, bytes, "board " + std::to_string(board));
    }

    std::string sent;
    for (uint32_t block : blocks)
        for (uint32_t at = block; at < block + 256; ++at)
            sent += char(bytes.count(at) ? bytes.at(at) : 0xFF);
    const std::string image_sha256 = sha256sum(write_scratch_file("sent.bin", sent));
    std::map<std::string, std::vector<int64_t>> block_events;  // by board
    for (const json &event : json_lines(run.out)) {
        if (event.value("event", "") == "start") {
            EXPECT_EQ(event["image_sha256"], image_sha256);
            EXPECT_EQ(event["blocks"], 4);
        }
        if (event.value("event", "") == "block")
            block_events[event.value("board", "")].push_back(event["address"]);
    }
    ASSERT_EQ(block_events.size(), 2u) << run.out;
    for (const auto &[device, addresses] : block_events)
        EXPECT_EQ(addresses, std::vector<int64_t>(blocks.begin(), blocks.end())) << device;
    const std::vector<json> lines = json_lines(read_whole_file(log));
    ASSERT_EQ(lines.size(), 2u);
    for (const json &line : lines) {
        EXPECT_EQ(line["image_sha256"], image_sha256) << line;
        EXPECT_EQ(line["result"], "done") << line;
    }
}

// Refused before the device is opened: data in the top 8 KiB with the
// option, data above 0xFFFF without it (as before the option existed), the
// option with a part that has no flash above 64 KiB.
TEST_F(SimulatedBench, Above64KiBRefusalsSendNothing)
{
    std::map<uint32_t, uint8_t> into_boot = pattern_bytes(0, 0x100);
    into_boot[0x1E000] = 0x00;
    const std::string boot_hex = write_scratch_file("boot.hex", hex_file_for(into_boot));
    const std::string app_hex = write_scratch_file("100k.hex", hex_file_for(pattern_bytes(0, IMAGE_BYTES)));
    const struct {
        std::vector<std::string> arguments;
        const char *starts;
    } cases[] = {
        {{"-above64k", "-mmcu=at90usb1287", "-usb=5e1a:1", boot_hex},
         "Firmware reaches into the bootloader's section: nothing was written\nThe file has data at 0x1E000"},
        {{"-mmcu=at90usb1287", "-usb=5e1a:1", app_hex},
         "error reading intel hex file \"" /* name */},
        {{"-above64k", "-mmcu=atmega64u4", "-usb=5e1a:1", app_hex},
         "quorvel: -above64k is for the parts with 128 KiB of flash, but -mmcu=atmega64u4 has 64 KiB\n"},
        {{"-all", "-above64k", "-mmcu=at90usb1287", "-usb=5e1a:1", boot_hex},
         "Firmware reaches into the bootloader's section"},
    };
    for (const auto &c : cases) {
        const std::string label = testing::PrintToString(c.arguments);
        add_device(0, 0x5E1A, 0x0001);
        ProcessResult run = run_quorvel(c.arguments);
        SimResult sim = finish(0);
        reset();
        EXPECT_EQ(run.status, 1) << label;
        EXPECT_TRUE(run.err.starts_with(c.starts)) << label << "\n" << run.err;
        EXPECT_TRUE(sim.frames.empty() && sim.held.empty()) << label;
        for (uint8_t byte : sim.flash)
            ASSERT_EQ(byte, 0xFF) << label;
    }
    // Without the option, the words name it.
    add_device(0, 0x5E1A, 0x0001);
    ProcessResult run = run_quorvel({"-mmcu=at90usb1287", "-usb=5e1a:1", app_hex});
    EXPECT_TRUE(run.err.ends_with("\nThe MCU has 128 KiB of flash: add -above64k to write the file above 64 KiB\n\n"))
        << run.err;
}

}  // namespace
