// -touch=PORT: resetting a running board into its bootloader through its
// USB serial port, then flashing the bootloader that appears.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> TOUCH_RUN{"-mmcu=atmega32u4", "-usb=0x5e1a:0x0001", "-touch=/dev/ttyACM0"};

std::vector<std::string> touch_run(std::vector<std::string> extra)
{
    std::vector<std::string> arguments = TOUCH_RUN;
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.push_back(example_hex_path());
    return arguments;
}

TEST_F(SimulatedBench, TouchResetsTheBoardAndFlashesItsBootloader)
{
    struct Case {
        double reenumerate_seconds;
        bool other_board_waiting;  // another board of the same kind sits in its bootloader elsewhere
        bool json;
        const char *location;  // where sysfs places the board; "" where it does not (as on Windows)
    };
    for (const Case &c :
         {Case{0.5, true, false, "1-4"}, Case{1.5, false, true, "1-4"}, Case{0.5, false, false, ""}}) {
        SCOPED_TRACE(std::to_string(c.reenumerate_seconds) + " s, at \"" + c.location + "\"");
        reset();
        if (c.other_board_waiting) {
            SimOptions elsewhere;
            elsewhere.location = "1-2";
            add_device(0, 0x5e1a, 0x0001, elsewhere);
        }
        AppOptions app;
        app.location = c.location;
        app.reenumerate_seconds = c.reenumerate_seconds;
        app.bootloader = 1;
        start_app(app);

        ProcessResult run =
            run_quorvel(touch_run(c.json ? std::vector<std::string>{"-json"} : std::vector<std::string>{}),
                        kill_after(10));
        double presented_at = -1;
        double touched_at = finish_app(presented_at);
        EXPECT_EQ(run.status, 0) << run.err;
        const std::string &people = c.json ? run.err : run.out;
        EXPECT_NE(people.find("Reset the board at /dev/ttyACM0 into its bootloader (1200 baud)\n"),
                  std::string::npos)
            << people;
        if (c.json) {
            EXPECT_TRUE(run.out.substr(run.out.find('\n') + 1)
                            .starts_with("{\"event\":\"touch\",\"port\":\"/dev/"
                                         "ttyACM0\",\"reset\":true,\"location\":\"1-4\"}\n"
                                         "{\"event\":\"device\",\"path\":\"/dev/hidraw1\""))
                << run.out;
        }
        ASSERT_GT(touched_at, 0) << "the application never saw the 1200-baud touch";
        ASSERT_GT(presented_at, 0);
        SimResult board = finish(1);
        ASSERT_EQ(board.frames.size(), 17u);
        // The board that was reset is the one flashed: the other one, in its
        // bootloader at another USB port, is never written to.
        if (c.other_board_waiting) {
            EXPECT_TRUE(finish(0).frames.empty());
        }
        double first_report_at = board.started_at + board.seconds[0];
        std::printf("touch -> bootloader present %.3f s (simulated re-enumeration %.1f s), -> first report "
                    "%.3f s\n",
                    presented_at - touched_at, c.reenumerate_seconds, first_report_at - touched_at);
        EXPECT_GT(first_report_at, presented_at - 0.05);
    }
}

TEST_F(SimulatedBench, TouchWithoutABootloaderEndsWithinItsWait)
{
    struct Case {
        std::vector<std::string> wait;
        double limit;
    };
    for (const Case &c : {Case{{"-w=1.5"}, 1.5}, Case{{}, 5.0}}) {
        SCOPED_TRACE(c.limit);
        reset();
        SimOptions elsewhere;
        elsewhere.location = "1-2";
        add_device(0, 0x5e1a, 0x0001, elsewhere);
        AppOptions app;
        app.location = "1-4";
        start_app(app);

        ProcessResult run = run_quorvel(touch_run(c.wait), kill_after(c.limit + 5));
        double presented_at = -1;
        EXPECT_GT(finish_app(presented_at), 0);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(
            run.err.find("Unable to open device\nThe board at /dev/ttyACM0 did not enter its bootloader: "
                         "no HID device with the IDs 5e1a:0001 and the location \"1-4\" appeared in"),
            std::string::npos)
            << run.err;
        EXPECT_GE(run.seconds, c.limit);
        EXPECT_LT(run.seconds, c.limit + 1.0);
        EXPECT_TRUE(finish(0).frames.empty());
    }
}

TEST_F(SimulatedBench, TouchNeverGuessesTheBoard)
{
    struct Case {
        const char *name;
        bool app;          // a board runs its application at /dev/ttyACM0 (not placed by sysfs)
        bool waiting;      // a board sits in its bootloader at hidraw0
        std::string port;  // what -touch= names
        int status;
        const char *message;
        bool written;  // hidraw0 gets the upload
    };
    const std::string file = write_scratch_file("not-a-port", "x");
    const std::vector<Case> cases{
        {"bootloader present and the port's USB place unknown", true, true, "/dev/ttyACM0", 1,
         "Unable to open device\nA bootloader with the IDs 5e1a:0001 is present already (/dev/hidraw0), and "
         "it "
         "cannot be told from the board at /dev/ttyACM0: pick one with -location= or -serial=, or leave out "
         "-touch= (see quorvel -list)\n",
         false},
        {"no port: the board is in its bootloader already", false, true, "/dev/ttyACM0", 0,
         "There is no serial port /dev/ttyACM0: looking for a board in its bootloader\n", true},
        {"no port and no bootloader", false, false, "/dev/ttyACM0", 1,
         "Unable to open device\nThere is no serial port /dev/ttyACM0, and no HID device with the IDs "
         "5e1a:0001 "
         "appeared in 0.5 s: is the board plugged in? (see quorvel -list)\n",
         false},
        {"a device that is not a serial port", false, false, "/dev/null", 1,
         "Unable to reset the board through /dev/null\nit is not a serial port: press the board's reset "
         "button "
         "instead, and leave out -touch=\n",
         false},
        {"a file", false, false, file, 1, "it is not a serial port", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        if (c.waiting)
            add_device(0, 0x5e1a, 0x0001);
        if (c.app)
            start_app(AppOptions{});
        ProcessResult run = run_quorvel(
            {"-mmcu=atmega32u4", "-usb=0x5e1a:0x0001", "-touch=" + c.port, "-w=0.5", example_hex_path()},
            kill_after(10));
        double presented_at = -1;
        EXPECT_LT(finish_app(presented_at), 0) << "the board was reset";
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << run.out << run.err;
        if (c.waiting) {
            EXPECT_EQ(finish(0).frames.size(), c.written ? 17u : 0u);
        }
    }
    EXPECT_EQ(read_whole_file(file), "x");
}

// The example's build script, as a Makefile user calls quorvel: build, then
// flash the board that runs its application, with no button pressed.
TEST_F(SimulatedBench, BuildScriptFlashesTheRunningBoard)
{
    if (std::string(QUORVEL_EXAMPLE_BIN).empty() ||
        run_process({"/bin/sh", "-c", "command -v avr-gcc"}).status != 0)
        GTEST_SKIP() << "SKIPPED: the example's build script needs avr-gcc: install gcc-avr, avr-libc and "
                        "binutils-avr";
    const std::string dir = scratch_dir() + "/blink";
    fs::remove_all(dir);
    fs::copy(std::string(QUORVEL_SOURCE_DIR) + "/examples/blink", dir);
    AppOptions app;
    app.location = "1-4";
    app.reenumerate_seconds = 0.5;
    app.bootloader = 0;
    start_app(app);
    ProcessResult run = run_process({"/usr/bin/env", std::string("QUORVEL=") + QUORVEL_BINARY,
                                     "PORT=/dev/ttyACM0", "sh", dir + "/build.sh", "flash"},
                                    kill_after(60));
    double presented_at = -1;
    EXPECT_GT(finish_app(presented_at), 0);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // The script built the same firmware as the one in the tree, and wrote it.
    EXPECT_EQ(read_whole_file(dir + "/blink.hex"), read_whole_file(example_hex_path()));
    const std::string expected = read_whole_file(QUORVEL_EXAMPLE_BIN);
    SimResult sim = finish(0);
    ASSERT_EQ(sim.frames.size(), 17u);
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(sim.flash[i], uint8_t(expected[i])) << "byte " << i;
}

}  // namespace
