// One writer per board: quorvel runs that meet at the same board, on
// simulated boards that take 1 ms over each report.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string BUSY = "quorvel: /dev/hidraw0 is being written by another quorvel run\n";
const std::string WAIT_FOR_IT =
    "Nothing was written. Wait for that run to end, or add -w to wait for the board to become free\n";

SimOptions slow_board()
{
    SimOptions options;
    options.report_delay_us = 1000;
    options.serial = "QV-7";
    options.location = "1-2";
    return options;
}

const std::string WAITING =
    "Waiting for the board to become free: /dev/hidraw0 is being written by another quorvel run (Ctrl-C to "
    "stop)\n";

// The device took exactly `uploads` whole uploads, one after the other (its
// check of the command order catches any mix), and the flash holds the file.
void expect_whole_uploads(const SimResult &sim, const std::map<uint32_t, uint8_t> &bytes, long uploads)
{
    for (const std::string &error : sim.errors)
        ADD_FAILURE() << "the device saw: " << error;
    std::vector<int> commands = commands_of(sim.frames);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 1), uploads);  // begin
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 7), uploads);  // start the application
    ASSERT_GE(sim.flash.size(), 0x10000u);
    for (auto [address, value] : bytes)
        ASSERT_EQ(sim.flash[address], value) << "byte " << address;
}

TEST_F(SimulatedBench, TwoRunsAtOnceOnlyOneWrites)
{
    const std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, 0x1000);
    const std::string hex = write_scratch_file("4k.hex", hex_file_for(bytes));
    const struct {
        std::vector<std::string> first, second;
    } cases[] = {
        {{"-usb=5e1a:1"}, {"-device=/dev/hidraw0"}},
        {{"-all", "-usb=5e1a:1"}, {"-device=/dev/hidraw0"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first.front());
        add_device(0, 0x5E1A, 0x0001, slow_board());
        std::vector<BackgroundRun> started;
        for (std::vector<std::string> arguments : {c.first, c.second}) {
            arguments.insert(arguments.end(), {"-mmcu=atmega32u4", hex});
            started.push_back(start_quorvel(arguments));
        }
        ProcessResult first = finish_quorvel(started[0]), second = finish_quorvel(started[1]);
        ASSERT_EQ((first.status == 0) + (second.status == 0), 1) << first.err << second.err;
        const ProcessResult &lost = first.status == 0 ? second : first;
        EXPECT_EQ(lost.status, 1);
        if (&lost == &first && c.first.front() == "-all")
            EXPECT_NE(lost.out.find("/dev/hidraw0\tQV-7\t1-2\tquorvel: /dev/hidraw0 is being written by "
                                    "another quorvel run: " +
                                    WAIT_FOR_IT),
                      std::string::npos)
                << lost.out;
        else
            EXPECT_EQ(lost.err, BUSY + WAIT_FOR_IT + "\n");
        expect_whole_uploads(finish(0), bytes, 1);
        reset();
    }
}

// While a run writes to a board: -list shows it busy, a search takes another
// board, a short -w gives up with the busy message, and -w waits for the
// board to become free and then writes.
TEST_F(SimulatedBench, BusyBoardIsListedPassedOverAndWaitedFor)
{
    const std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, 0x4000);
    const std::string hex = write_scratch_file("16k.hex", hex_file_for(bytes));
    add_device(0, 0x5E1A, 0x0001, slow_board());
    add_device(1, 0x5E1A, 0x0001);
    const std::string free_line = "/dev/hidraw1\t5e1a:0001\t-\tQuorvel Test HID Bootloader\t\t\n";
    const std::string busy_line =
        "/dev/hidraw0\t5e1a:0001\t-\tQuorvel Test HID Bootloader\tQV-7\t1-2\tbusy\n";
    EXPECT_EQ(run_quorvel({"-list"}).out,
              "/dev/hidraw0\t5e1a:0001\t-\tQuorvel Test HID Bootloader\tQV-7\t1-2\n" + free_line);

    BackgroundRun writer = start_quorvel({"-mmcu=atmega32u4", "-device=/dev/hidraw0", hex});
    std::string listed;
    for (int i = 0; i < 200 && listed != busy_line + free_line; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        listed = run_quorvel({"-list"}).out;
    }
    ASSERT_EQ(listed, busy_line + free_line);
    BackgroundRun waiter = start_quorvel({"-mmcu=atmega32u4", "-w=20", "-usb=5e1a:1", "-serial=QV-7", hex});

    nlohmann::json devices = nlohmann::json::parse(run_quorvel({"-list", "-json"}).out);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]["busy"], true);
    EXPECT_EQ(devices[1]["busy"], false);

    ProcessResult short_wait = run_quorvel({"-mmcu=atmega32u4", "-w=0.3", "-device=/dev/hidraw0", hex});
    EXPECT_EQ(short_wait.status, 1);
    EXPECT_TRUE(short_wait.out.ends_with(WAITING)) << short_wait.out;
    EXPECT_EQ(short_wait.err,
              BUSY + "Nothing was written. Wait for that run to end, or allow a longer wait with "
                     "-w=SECONDS\n\n");

    ProcessResult other = run_quorvel({"-v", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_NE(other.out.find("Device: /dev/hidraw1 (5e1a:0001)\n"), std::string::npos) << other.out;
    EXPECT_NE(other.out.find("Passed over: /dev/hidraw0 is being written by another quorvel run\n"),
              std::string::npos)
        << other.out;

    ProcessResult wrote = finish_quorvel(writer), waited = finish_quorvel(waiter);
    EXPECT_EQ(wrote.status, 0) << wrote.err;
    EXPECT_EQ(waited.status, 0) << waited.err;
    EXPECT_NE(waited.out.find(WAITING), std::string::npos) << waited.out;
    expect_whole_uploads(finish(0), bytes, 2);
    EXPECT_EQ(finish(1).frames.size(), 17u);
}

// A run that gave up on a write that the kernel is still finishing has
// ended, but its writer holds the board until that write ends: the next run
// says so, not that another run writes to the board, and -w waits for it.
TEST_F(SimulatedBench, BoardHeldByAWriteThatAnEndedRunGaveUpOn)
{
    SimOptions hung = slow_board();
    hung.stall_after = 6;
    hung.queued = 4;
    hung.write_timeout_ms = 3000;
    add_device(0, 0x5E1A, 0x0001, hung);
    const std::string hex = write_scratch_file("32k.hex", hex_file_for(pattern_bytes(0, 0x8000)));
    const std::string left =
        "/dev/hidraw0 is still taken while the system finishes a write that an earlier quorvel run gave up on "
        "(for up to 5 s)";
    ProcessResult gave_up = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", hex}, kill_after(10));
    ASSERT_EQ(gave_up.status, 1) << gave_up.err;
    const struct {
        std::vector<std::string> arguments;
        std::string err;
    } cases[] = {
        {{"-usb=5e1a:1"},
         "quorvel: " + left + "\nNothing was written. The board is free once that write ends: try again then, " +
             "or add -w to wait for it\n\n"},
        {{"-device=/dev/hidraw0"},
         "quorvel: " + left + "\nNothing was written. The board is free once that write ends: try again then, " +
             "or add -w to wait for it\n\n"},
        {{"-w=0.2", "-device=/dev/hidraw0"},
         "quorvel: " + left + "\nNothing was written. The board is free once that write ends: try again then, " +
             "or allow a longer wait with -w=SECONDS\n\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.front());
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.end(), {"-mmcu=atmega32u4", hex});
        ProcessResult next = run_quorvel(arguments, kill_after(10));
        EXPECT_EQ(next.status, 1);
        EXPECT_EQ(next.err, c.err);
    }
    // -w waits until the write has ended and then takes the board, which
    // (stalled still) fails this run's writes in turn.
    ProcessResult waited = run_quorvel({"-mmcu=atmega32u4", "-w=10", "-usb=5e1a:1", hex}, kill_after(20));
    SimResult sim = finish(0);
    EXPECT_NE(waited.out.find("Waiting for the board to become free: " + left + " (Ctrl-C to stop)\n"),
              std::string::npos)
        << waited.out;
    EXPECT_EQ(waited.status, 1);
    EXPECT_EQ(waited.err.find("is still taken"), std::string::npos) << waited.err;
    EXPECT_NE(waited.err.find("no answer within"), std::string::npos) << waited.err;
}

}  // namespace
