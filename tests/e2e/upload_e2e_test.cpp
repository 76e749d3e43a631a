// The real binary against simulated bootloaders.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <unistd.h>
#include <thread>
#include <string>
#include <vector>

namespace {

const std::string BANNER = "\nquorvel 1.0 - firmware uploader for AVR USB HID bootloaders\n"
                           "Written by the quorvel developers\n";
const std::string DONE = "\nDone.\n\n";
const std::string WRITE_ERROR = "Error writing to device\n";
const std::string STOPPED_ANSWERING = ". The board stopped answering: press its reset button to restart the "
                                      "bootloader, then run quorvel again\n\n";
const std::string NO_DEVICE =
    "Unable to open device\nNo HID device with the IDs 5e1a:0001 is present: see quorvel "
    "-list. Start the bootloader (press the board's reset button), or add -w to wait "
    "for it\n\n";

// The command codes of a whole upload of these blocks.
std::vector<int> upload_commands(size_t blocks, int block_size)
{
    std::vector<int> commands{1};
    for (size_t b = 0; b < blocks; ++b) {
        commands.insert(commands.end(), {2, 3});
        commands.insert(commands.end(), size_t(block_size / 32), 4);
        commands.push_back(5);
    }
    commands.insert(commands.end(), {6, 7});
    return commands;
}

TEST_F(SimulatedBench, ExampleFirmwareArrivesByteIdentical)
{
    if (std::string(QUORVEL_EXAMPLE_BIN).empty())
        GTEST_SKIP()
            << "SKIPPED: avr-objcopy was not found when the tests were configured: install binutils-avr, "
               "then run cmake again";
    std::string expected = read_whole_file(QUORVEL_EXAMPLE_BIN);
    // What is sent: whole 128-byte blocks, erased flash (0xFF) after the end.
    std::string sent = expected + std::string(256 - expected.size(), '\xff');

    add_device(0, 0x5E1A, 0x0001);
    ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=0x5e1a:0x0001", "-v", example_hex_path()});
    SimResult sim = finish(0);

    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, DONE);
    EXPECT_EQ(run.out, BANNER + "Read \"" + example_hex_path() + "\": " + std::to_string(expected.size()) +
                           " bytes, 0.7% usage\nSHA-256 of the file:  " + sha256sum(example_hex_path()) +
                           "\nSHA-256 of the image: " + sha256sum(write_scratch_file("sent.bin", sent)) +
                           "\nFound HID Bootloader\nDevice: /dev/hidraw0 (5e1a:0001)\nProgramming: "
                           "..\nStarting Application\n");
    EXPECT_TRUE(sim.errors.empty()) << sim.errors.front();
    EXPECT_EQ(commands_of(sim.frames), upload_commands(2, 128));
    ASSERT_EQ(sim.flash.size(), 0x20000u);
    for (size_t i = 0; i < sim.flash.size(); ++i)
        ASSERT_EQ(sim.flash[i], i < expected.size() ? uint8_t(expected[i]) : 0xFF) << "flash byte " << i;

    // The bootloader gets its fixed pauses, as the device sees them (each
    // write arrives only after the one before was answered): 1 s after
    // BEGIN, 10 ms after each block.
    ASSERT_EQ(sim.seconds.size(), sim.frames.size());
    for (size_t i = 0; i + 1 < sim.frames.size(); ++i) {
        int command = sim.frames[i][2];
        if (command == 1 || command == 5) {
            EXPECT_GE(sim.seconds[i + 1] - sim.seconds[i], command == 1 ? 1.0 : 0.010) << "after frame " << i;
        }
    }
    EXPECT_GE(run.seconds, 1.0 + 2 * 0.01 + 0.3);
}

struct ReportCase {
    const char *name;
    const char *mcu;
    std::map<uint32_t, uint8_t> bytes;
    std::vector<uint32_t> blocks;
    int block_size;
};

TEST_F(SimulatedBench, ReportBytesOnTheWire)
{
    const ReportCase cases[] = {
        {"data in 0x0000-0x00FF", "-mmcu=atmega32u4", pattern_bytes(0, 0x100), {0x0000, 0x0080}, 128},
        {"one byte at 0xFFFF", "-mmcu=at90usb646", {{0xFFFF, 0x5A}}, {0x0000, 0xFF00}, 256},
        {"block at 0x3F00", "-mmcu=atmega16u2", {{0x3F00, 0x00}}, {0x0000, 0x3F00}, 128},
    };
    for (const ReportCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string hex = write_scratch_file("case.hex", hex_file_for(c.bytes));
        add_device(0, 0x5E1A, 0x0001);
        ProcessResult run = run_quorvel({c.mcu, "-usb=5e1a:0001", hex});
        SimResult sim = finish(0);
        reset();

        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, BANNER);  // nothing else without -v
        EXPECT_EQ(run.err, DONE);
        EXPECT_TRUE(sim.errors.empty());
        ASSERT_EQ(commands_of(sim.frames), upload_commands(c.blocks.size(), c.block_size));
        for (const Frame &frame : sim.frames) {
            ASSERT_EQ(frame.size(), 65u);
            EXPECT_EQ(frame[0], 0x00);  // report ID
            EXPECT_EQ(frame[1], 0xA1);
        }
        size_t at = 1;
        for (uint32_t block : c.blocks) {
            Frame set_address(65, 0), set_length(65, 0);
            set_address[1] = set_length[1] = 0xA1;
            set_address[2] = 2;
            set_address[3] = uint8_t((block / 2) & 0xFF);
            set_address[4] = uint8_t((block / 2) >> 8);
            set_length[2] = 3;
            set_length[3] = uint8_t(c.block_size >> 8);
            set_length[4] = uint8_t(c.block_size & 0xFF);
            EXPECT_EQ(sim.frames[at], set_address);
            EXPECT_EQ(sim.frames[at + 1], set_length);
            at += 3 + size_t(c.block_size / 32);
        }
        for (uint32_t address = 0; address < 0x10000; ++address) {
            auto found = c.bytes.find(address);
            ASSERT_EQ(sim.flash[address], found == c.bytes.end() ? 0xFF : found->second)
                << std::hex << address;
        }
    }
}

TEST_F(SimulatedBench, FirstMatchingDeviceGetsEveryReport)
{
    // In numeric order: hidraw1 other, hidraw2 match, hidraw3 same product of
    // another vendor, hidraw10 match (it would sort first as text).
    add_device(1, 0x16C0, 0x05DF);
    add_device(2, 0x5E1A, 0x0001);
    add_device(3, 0x5E1B, 0x0001);
    add_device(10, 0x5E1A, 0x0001);
    ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=0x5e1a:0x0001", example_hex_path()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(finish(2).frames.size(), upload_commands(2, 128).size());
    for (int other : {1, 3, 10}) {
        SimResult sim = finish(other);
        EXPECT_TRUE(sim.frames.empty() && sim.held.empty()) << "hidraw" << other << " was written to";
    }
}

TEST_F(SimulatedBench, ProductIdIsReadAfterTheSeparator)
{
    add_device(0, 0x5E1A, 0x0034);
    add_device(1, 0x5E1A, 0x1234);
    ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1234", example_hex_path()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(finish(0).frames.empty());
    EXPECT_FALSE(finish(1).frames.empty());
}

TEST_F(SimulatedBench, StalledDeviceEndsTheRunAtTheTimeLimit)
{
    // The device takes some reports, then never answers the next write: the
    // run ends at that report's limit, names it, and sends nothing more.
    const struct {
        long taken;
        const char *failed;    // the second line's start
        double least_seconds;  // the pauses before the report, and its limit
    } cases[] = {
        {0, "The begin command failed: no answer within 1000 ms. The flash may have been erased", 1.0},
        {1,
         "The set-address command of the block at 0x0000 failed: no answer within 250 ms. The flash is now "
         "only partly written",
         1.0 + 0.25},
        {7,
         "The block-done command of the block at 0x0000 failed: no answer within 1000 ms. The flash is now "
         "only partly written",
         1.0 + 1.0},
        {10,
         "The data command of the block at 0x0080 failed: no answer within 50 ms. The flash is now only "
         "partly written",
         1.0 + 0.01 + 0.05},
    };
    std::string hex = write_scratch_file("32k.hex", hex_file_for(pattern_bytes(0, 0x8000)));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.taken);
        SimOptions stalled;
        stalled.stall_after = c.taken;
        add_device(0, 0x5E1A, 0x0001, stalled);
        ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", hex}, kill_after(5));
        SimResult sim = finish(0);
        reset();

        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, WRITE_ERROR + c.failed + STOPPED_ANSWERING);
        EXPECT_TRUE(sim.errors.empty());
        std::vector<int> expected = upload_commands(256, 128);
        EXPECT_EQ(commands_of(sim.frames), std::vector<int>(expected.begin(), expected.begin() + c.taken));
        ASSERT_EQ(commands_of(sim.held),
                  std::vector<int>{expected[size_t(c.taken)]});  // and nothing after it
        // Nothing cuts the held write short: it is left to the device.
        EXPECT_TRUE(sim.interrupted.empty());
        EXPECT_GE(run.seconds, c.least_seconds);
        EXPECT_LT(run.seconds, c.least_seconds + 0.5);
    }
}

// A board that stops reading, as the kernel shows it: the device's receive
// buffers still take 4 reports, the next write blocks until usbhid gives up
// after 5 s with ETIMEDOUT, and nothing cuts it short. The run still ends at
// the report's limit, while the board stays taken until the write has ended.
TEST_F(SimulatedBench, StalledBoardEndsTheRunOnTimeAndStaysTakenUntilTheWriteEnds)
{
    SimOptions hung;
    hung.stall_after = 6;
    hung.queued = 4;
    hung.write_timeout_ms = 5000;
    hung.serial = "QV-5";
    add_device(0, 0x5E1A, 0x0001, hung);
    std::string hex = write_scratch_file("32k.hex", hex_file_for(pattern_bytes(0, 0x8000)));
    ProcessResult run = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", hex}, kill_after(10));
    ProcessResult second = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", hex}, kill_after(10));
    std::string listed_while_held = run_quorvel({"-list"}).out;
    // The held write ends 5 s after it was made, some 50 ms before the first run ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(5400 - int(second.seconds * 1000)));
    std::string listed_after = run_quorvel({"-list"}).out;
    SimResult sim = finish(0);

    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.starts_with(WRITE_ERROR + "The data command of the block at 0x0080 failed: no answer "
                                                  "within 50 ms"))
        << run.err;
    EXPECT_EQ(sim.frames.size(), 6u);
    EXPECT_EQ(sim.queued, 4u);
    EXPECT_EQ(sim.held.size(), 1u);
    EXPECT_EQ(sim.timed_out.size(), 1u);
    EXPECT_GE(run.seconds, 1.0 + 0.05);
    EXPECT_LT(run.seconds, 1.0 + 0.05 + 1.5);  // not the 5 s of the write left in the kernel
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("/dev/hidraw0 is still taken while the system finishes a write that an earlier "
                              "quorvel run gave up on (for up to 5 s)"),
              std::string::npos)
        << second.err;
    EXPECT_TRUE(listed_while_held.ends_with("\tbusy\n")) << listed_while_held;
    EXPECT_FALSE(listed_after.ends_with("\tbusy\n")) << listed_after;
}

// Run with standard output or standard error closed, the device must not
// take the place of either: the banner would go into it before the begin
// command, or a message into a stalled device, where it would hang.
TEST_F(SimulatedBench, ClosedStandardStreamsNeverReachTheDevice)
{
    const std::vector<std::string> upload{"-v", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()};
    auto with_closed = [&](const char *redirection) {
        std::vector<std::string> argv{"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" ") + redirection,
                                      QUORVEL_BINARY};
        argv.insert(argv.end(), upload.begin(), upload.end());
        return run_process(argv, kill_after(5));
    };

    add_device(0, 0x5E1A, 0x0001);
    ProcessResult no_stdout = with_closed(">&-");
    SimResult sim = finish(0);
    reset();
    EXPECT_EQ(no_stdout.status, 0) << no_stdout.err;
    EXPECT_TRUE(sim.errors.empty()) << sim.errors.front();
    EXPECT_EQ(commands_of(sim.frames), upload_commands(2, 128));

    SimOptions stalled;
    stalled.stall_after = 3;
    add_device(0, 0x5E1A, 0x0001, stalled);
    ProcessResult no_stderr = with_closed("2>&-");
    sim = finish(0);
    EXPECT_EQ(no_stderr.status, 1);
    EXPECT_TRUE(sim.errors.empty());
    EXPECT_EQ(commands_of(sim.frames), std::vector<int>({1, 2, 3}));
    EXPECT_EQ(commands_of(sim.held), std::vector<int>{4});  // the data report, and no message text
}

TEST_F(SimulatedBench, ProgressBarOnlyOnATerminal)
{
    std::string hex = write_scratch_file("4k.hex", hex_file_for(pattern_bytes(0, 0x1000)));
    add_device(0, 0x5E1A, 0x0001);
    std::string shown = run_on_terminal({"-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    finish(0);
    // Drawn at the start and after each of the 32 blocks, each time over the last.
    EXPECT_NE(shown.find("\rProgramming   0% [                              ] block 0 of 32, 1."),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("\rProgramming  50% [###############               ] block 16 of 32, "),
              std::string::npos);
    EXPECT_NE(shown.find("\rProgramming 100% [##############################] block 32 of 32, 0.0 s left \r\n"
                         "\r\nDone.\r\n\r\n"),
              std::string::npos)
        << shown;
    size_t redraws = 0;
    for (size_t at = shown.find("\rProgramming"); at != std::string::npos;
         at = shown.find("\rProgramming", at + 1))
        ++redraws;
    EXPECT_EQ(redraws, 33u);

    // On 40 columns no line may wrap: the bar narrows, the counts shorten
    // and the time left goes.
    add_device(0, 0x5E1A, 0x0001);
    std::string narrow = run_on_terminal({"-mmcu=atmega32u4", "-usb=5e1a:1", hex}, 40);
    finish(0);
    for (size_t start = 0, end; start < narrow.size(); start = end + 1) {
        end = std::min(narrow.find('\r', start), narrow.find('\n', start));
        end = end == std::string::npos ? narrow.size() : end;
        EXPECT_LE(end - start, 39u) << narrow.substr(start, end - start);
    }
    EXPECT_NE(narrow.find("\rProgramming  50% [######       ] 16/32 \r"), std::string::npos) << narrow;
    EXPECT_NE(narrow.find("\rProgramming 100% [#############] 32/32 \r\n"), std::string::npos) << narrow;

    // Not into a pipe, nor with -v.
    add_device(0, 0x5E1A, 0x0001);
    ProcessResult piped = run_process({"/bin/sh", "-c", "\"$0\" \"$@\" 2>&1 | cat", QUORVEL_BINARY,
                                       "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    finish(0);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out.find('\r'), std::string::npos);
    EXPECT_NE(piped.out.find("\nDone.\n"), std::string::npos);
    add_device(0, 0x5E1A, 0x0001);
    EXPECT_EQ(run_on_terminal({"-v", "-mmcu=atmega32u4", "-usb=5e1a:1", hex}).find("Programming "),
              std::string::npos);
}

// Every error that an unplug gives a write: the transfer in flight ends with
// EPROTO (or EPIPE, or EIO once the node is gone), later ones with ENODEV;
// ESHUTDOWN and ENXIO while the host side is torn down.
TEST_F(SimulatedBench, UnpluggedDeviceEndsTheRun)
{
    const std::string went_away = ". The flash is now only partly written. The board went away: plug it in "
                                  "again, start its bootloader and run quorvel again\n\n";
    const std::string mid_transfer = "the board stopped answering or was unplugged mid-transfer";
    const struct {
        int error;
        std::string reading;
    } cases[] = {
        {ENODEV, "the device is gone (No such device)"},
        {ENXIO, "the device is gone (No such device or address)"},
        {ESHUTDOWN, "the device is gone (Cannot send after transport endpoint shutdown)"},
        {EPROTO, mid_transfer + " (Protocol error)"},
        {EPIPE, mid_transfer + " (Broken pipe)"},
        {EIO, mid_transfer + " (Input/output error)"},  // the simulated node is gone with the device
    };
    std::string hex = write_scratch_file("64k.hex", hex_file_for(pattern_bytes(0, 0x10000)));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        SimOptions unplugged;
        unplugged.unplug_after = 20;
        unplugged.in_flight_error = c.error;
        add_device(0, 0x5E1A, 0x0001, unplugged);
        ProcessResult run = run_quorvel({"-mmcu=atmega64u4", "-usb=5e1a:1", hex});
        SimResult sim = finish(0);
        reset();
        EXPECT_EQ(run.status, 1);
        // The begin command and block 0x0000 take 12 reports: the 21st is a data report of block 0x0100.
        EXPECT_EQ(run.err,
                  WRITE_ERROR + "The data command of the block at 0x0100 failed: " + c.reading + went_away);
        EXPECT_EQ(sim.frames.size(), 20u);
        EXPECT_EQ(sim.refused.size(), 1u);
        EXPECT_LT(run.seconds, 5.0);
    }
}

TEST_F(SimulatedBench, NoDeviceToOpen)
{
    // None present at all.
    ProcessResult none = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, NO_DEVICE);

    // Present, but none with these IDs: none of them is written to.
    add_device(0, 0x5E1A, 0x0002);
    add_device(1, 0x0001, 0x5E1A);
    ProcessResult other = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.err, NO_DEVICE);
    EXPECT_TRUE(finish(0).frames.empty());
    EXPECT_TRUE(finish(1).frames.empty());
}

TEST_F(SimulatedBench, WithoutUsbOptionNoDeviceIsOpened)
{
    add_device(0, 0x0000, 0x0000);
    ProcessResult run = run_quorvel({"-mmcu=atmega32u4", example_hex_path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Unable to open device\nName the bootloader with -usb=<vid:pid> or -device=<path> "
                       "(quorvel -list shows the HID devices present)\n\n");
    SimResult sim = finish(0);
    EXPECT_TRUE(sim.frames.empty() && sim.held.empty());
}

TEST_F(SimulatedBench, FirmwareTooLargeForThePartSendsNothing)
{
    add_device(0, 0x5E1A, 0x0001);
    std::string hex = write_scratch_file("16k.hex", hex_file_for(pattern_bytes(0, 0x4000)));
    ProcessResult run = run_quorvel({"-mmcu=atmega8u2", "-usb=5e1a:1", hex});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.starts_with("Firmware does not fit in the flash of the selected MCU\n")) << run.err;
    EXPECT_TRUE(finish(0).frames.empty());
}

TEST_F(SimulatedBench, MatchingDeviceThatCannotBeOpenedIsNamed)
{
    SimOptions no_node;
    no_node.node = false;
    add_device(0, 0x5E1A, 0x0001, no_node);
    ProcessResult missing = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Unable to open device\n/dev/hidraw0: No such file or directory\n\n");

    // The next matching device that opens is used instead, and -v says so.
    add_device(1, 0x5E1A, 0x0001);
    add_device(2, 0x5E1A, 0x0001);
    ProcessResult next = run_quorvel({"-v", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_NE(
        next.out.find("Found HID Bootloader\nDevice: /dev/hidraw1 (5e1a:0001)\nChosen: /dev/hidraw1, the "
                      "first usable of 3 devices with the IDs 5e1a:0001\nPassed over: /dev/hidraw0: No such "
                      "file or directory\nProgramming: "),
        std::string::npos)
        << next.out;
    EXPECT_FALSE(finish(1).frames.empty());
    EXPECT_TRUE(finish(2).frames.empty());
    reset();

    // Only root may open the node: a user is told which node and why.
    add_device(0, 0x5E1A, 0x0001);
    std::string hex = write_scratch_file("user.hex", read_whole_file(example_hex_path()));
    ProcessResult denied =
        run_process({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", public_binary(),
                     "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    EXPECT_EQ(denied.status, 1);
    EXPECT_EQ(denied.err, "Unable to open device\n/dev/hidraw0: Permission denied (install the udev rule "
                          "60-quorvel.rules to give your user access)\n\n");
    EXPECT_TRUE(finish(0).frames.empty());
}

}  // namespace
