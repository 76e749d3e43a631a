// -boot: a board in its bootloader gets the start-application command
// alone, never a begin (which may erase), on the simulated bench.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

const std::string DONE = "\nDone.\n\n";

// What the bootloader gets: report ID 0, the marker, the command 7, and 62 zero bytes.
Frame start_frame()
{
    Frame frame(65, 0);
    frame[1] = 0xA1;
    frame[2] = 0x07;
    return frame;
}

// The board got the start-application command exactly once and nothing else.
void expect_started_once(const SimResult &sim, const std::string &label)
{
    for (const std::string &error : sim.errors)
        ADD_FAILURE() << label << ": the device saw: " << error;
    ASSERT_EQ(sim.frames.size(), 1u) << label;
    EXPECT_EQ(sim.frames[0], start_frame()) << label;
    EXPECT_TRUE(sim.held.empty()) << label;
    EXPECT_TRUE(sim.refused.empty()) << label;
}

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

std::vector<std::string> kinds_of(const std::vector<json> &events)
{
    std::vector<std::string> kinds;
    for (const json &event : events)
        kinds.push_back(event.value("event", "?"));
    return kinds;
}

SimOptions board(const char *serial, const char *location)
{
    SimOptions options;
    options.serial = serial;
    options.location = location;
    return options;
}

// Each way of naming a board: only that board gets the command, and with
// no file, no -mmcu= and no HEX data read.
TEST_F(SimulatedBench, BootStartsTheChosenBoardWithOneReport)
{
    const struct {
        std::vector<std::string> arguments;
        int chosen;
    } cases[] = {
        {{"-usb=5e1a:1"}, 0},
        {{"-device=/dev/hidraw1"}, 1},
        {{"-usb=5e1a:1", "-serial=QV-B"}, 1},
        {{"-usb=5e1a:1", "-location=1-3"}, 1},
        {{"-usb=0x5e1a:0x0001", "-mmcu=atmega32u4", "-device=/dev/hidraw0"}, 0},
    };
    for (const auto &c : cases) {
        const std::string label = testing::PrintToString(c.arguments);
        add_device(0, 0x5E1A, 0x0001, board("QV-A", "1-2"));
        add_device(1, 0x5E1A, 0x0001, board("QV-B", "1-3"));
        std::vector<std::string> arguments{"-boot"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        ProcessResult run = run_quorvel(arguments, kill_after(10));
        SimResult chosen = finish(c.chosen), other = finish(1 - c.chosen);
        reset();
        EXPECT_EQ(run.status, 0) << label << run.err;
        EXPECT_TRUE(run.err.ends_with(DONE)) << label << run.err;
        expect_started_once(chosen, label);
        EXPECT_TRUE(other.frames.empty() && other.held.empty()) << label;
        // The board's time to leave its bootloader, as after an upload.
        EXPECT_GE(run.seconds, 0.3) << label;
    }
}

// -v says what it does; -json gives the device and done, nothing of a
// firmware; -log= writes one line of the kind "boot".
TEST_F(SimulatedBench, BootEventsAndLogLine)
{
    const std::string log = scratch_dir() + "/boot.log";
    std::remove(log.c_str());
    add_device(0, 0x5E1A, 0x0001, board("QV-A", "1-2"));

    ProcessResult verbose = run_quorvel({"-boot", "-v", "-usb=5e1a:1"}, kill_after(10));
    EXPECT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_TRUE(verbose.out.ends_with("Starting Application\n")) << verbose.out;
    expect_started_once(finish(0), "-v");
    reset();

    add_device(0, 0x5E1A, 0x0001, board("QV-A", "1-2"));
    ProcessResult run = run_quorvel({"-boot", "-json", "-log=" + log, "-usb=5e1a:1"}, kill_after(10));
    expect_started_once(finish(0), "-json");
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<json> events = json_lines(run.out);
    ASSERT_EQ(kinds_of(events), (std::vector<std::string>{"device", "done"})) << run.out;
    EXPECT_EQ(events[0]["path"], "/dev/hidraw0");
    EXPECT_EQ(events[0]["serial"], "QV-A");
    EXPECT_EQ(events[0]["location"], "1-2");

    const std::vector<json> lines = json_lines(read_whole_file(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["kind"], "boot");
    EXPECT_EQ(lines[0]["result"], "done");
    EXPECT_EQ(lines[0]["path"], "/dev/hidraw0");
    EXPECT_EQ(lines[0]["serial"], "QV-A");
    EXPECT_EQ(lines[0]["file"], "");
    EXPECT_EQ(lines[0]["sha256"], "");
}

// -all, and a station that takes the boards as they are there: each
// board's copy starts its own board, once; the events and log lines are
// those of the boards, with nothing of a firmware.
TEST_F(SimulatedBench, BootOfEveryBoard)
{
    const std::string log = scratch_dir() + "/boot-all.log";
    const struct {
        const char *run;
        const char *said;  // on standard error
    } cases[] = {
        {"-all=3", "Starting the application of 3 boards at once\n"},
        {"-station=3", "Station ended after "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.run);
        std::remove(log.c_str());
        for (int number = 0; number < 3; ++number)
            add_device(number, 0x5E1A, 0x0001, numbered_board(number));
        ProcessResult run =
            run_quorvel({"-boot", c.run, "-json", "-log=" + log, "-usb=5e1a:1"}, kill_after(20));
        for (int number = 0; number < 3; ++number)
            expect_started_once(finish(number), "board " + std::to_string(number));
        reset();
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;

        const std::vector<json> events = json_lines(run.out);
        ASSERT_FALSE(events.empty());
        const std::vector<std::string> kinds = kinds_of(events);
        EXPECT_EQ(kinds.back(), "summary");
        EXPECT_EQ(events.back()["ok"], true);
        EXPECT_EQ(events.back()["done"], 3);
        for (const char *kind : {"board_started", "device", "done", "board_ended"})
            EXPECT_EQ(std::count(kinds.begin(), kinds.end(), kind), 3) << kind << " in " << run.out;
        for (const char *kind : {"start", "block"})
            EXPECT_EQ(std::count(kinds.begin(), kinds.end(), kind), 0) << kind << " in " << run.out;

        const std::vector<json> lines = json_lines(read_whole_file(log));
        ASSERT_EQ(lines.size(), 3u);
        std::vector<std::string> paths;
        for (const json &line : lines) {
            EXPECT_EQ(line["kind"], "boot") << line;
            EXPECT_EQ(line["result"], "done") << line;
            EXPECT_EQ(line["file"], "") << line;
            paths.push_back(line["path"]);
        }
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths, (std::vector<std::string>{"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2"}));
    }
}

// A board that another quorvel run is writing gets nothing from -boot,
// alone or under -all: its flash gets the whole upload of that run.
TEST_F(SimulatedBench, BootLeavesABusyBoardAlone)
{
    // About 2080 reports of 1 ms each: the board stays taken for some 2 s,
    // with a wide margin below each report's limit (a sanitized build too).
    const std::string hex = write_scratch_file("32k.hex", hex_file_for(pattern_bytes(0, 0x8000)));
    SimOptions slow = board("QV-7", "1-2");
    slow.report_delay_us = 1000;
    add_device(0, 0x5E1A, 0x0001, slow);
    BackgroundRun writer = start_quorvel({"-mmcu=atmega32u4", "-device=/dev/hidraw0", hex});
    bool busy = false;
    for (int i = 0; i < 200 && !busy; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        busy = run_quorvel({"-list"}).out.find("\tbusy\n") != std::string::npos;
    }
    ASSERT_TRUE(busy);

    const std::string taken = "quorvel: /dev/hidraw0 is being written by another quorvel run";
    const struct {
        std::vector<std::string> arguments;
        bool on_stdout;  // -all names each board's end on standard output
    } cases[] = {
        {{"-boot", "-device=/dev/hidraw0"}, false},
        {{"-boot", "-usb=5e1a:1"}, false},
        {{"-boot", "-all", "-usb=5e1a:1"}, true},
    };
    for (const auto &c : cases) {
        const std::string label = testing::PrintToString(c.arguments);
        ProcessResult run = run_quorvel(c.arguments, kill_after(10));
        EXPECT_EQ(run.status, 1) << label;
        EXPECT_NE((c.on_stdout ? run.out : run.err).find(taken), std::string::npos)
            << label << run.out << run.err;
        EXPECT_EQ(run.err.find(DONE), std::string::npos) << label << run.err;
    }
    ProcessResult wrote = finish_quorvel(writer, 20);
    EXPECT_EQ(wrote.status, 0) << wrote.err;
    SimResult sim = finish(0);
    EXPECT_TRUE(sim.errors.empty());
    const std::vector<int> commands = commands_of(sim.frames);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 1), 1);  // the upload's begin
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 7), 1);  // and its start, no other
    EXPECT_EQ(commands.back(), 7);
}

// A start-application command that is not delivered: the upload's words
// for it, but for the flash, which -boot never touched; status 1, the
// error event names the command, the log line says why.
TEST_F(SimulatedBench, BootThatIsNotDelivered)
{
    const std::string log = scratch_dir() + "/boot-failed.log";
    const std::string stopped =
        ". The board stopped answering: press its reset button to restart the bootloader, then run quorvel "
        "again\n\n";
    const std::string went_away =
        ". The board went away: plug it in again, start its bootloader and run quorvel again\n\n";
    const struct {
        const char *name;
        long stall_after, unplug_after;
        std::vector<std::string> more;  // after -usb=
        std::string err_end;            // of standard error
    } cases[] = {
        {"stalled",
         0,
         -1,
         {"-boot"},
         "Error writing to device\nThe start-application command failed: no answer within 50 ms. Nothing was "
         "written to the flash" +
             stopped},
        {"unplugged",
         -1,
         0,
         {"-boot"},
         "Error writing to device\nThe start-application command failed: the device is gone (No such "
         "device). "
         "Nothing was written to the flash" +
             went_away},
        // The upload's own failure of that command, for comparison.
        {"upload stalled at its start",
         16,
         -1,
         {"-mmcu=atmega32u4", example_hex_path()},
         "Error writing to device\nThe start-application command failed: no answer within 50 ms. The flash "
         "is "
         "now only partly written" +
             stopped},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(log.c_str());
        SimOptions options;
        options.stall_after = c.stall_after;
        options.unplug_after = c.unplug_after;
        add_device(0, 0x5E1A, 0x0001, options);
        std::vector<std::string> arguments{"-json", "-log=" + log, "-usb=5e1a:1"};
        arguments.insert(arguments.end(), c.more.begin(), c.more.end());
        ProcessResult run = run_quorvel(arguments, kill_after(10));
        SimResult sim = finish(0);
        reset();
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.err.ends_with(c.err_end)) << run.err;
        EXPECT_TRUE(sim.errors.empty());
        std::vector<int> tried = commands_of(sim.frames);
        for (const std::vector<Frame> *more : {&sim.held, &sim.refused})
            for (int command : commands_of(*more))
                tried.push_back(command);
        ASSERT_FALSE(tried.empty());
        EXPECT_EQ(tried.back(), 7);  // nothing after the command that failed
        if (c.more.front() == "-boot") {
            EXPECT_EQ(tried, std::vector<int>{7});
        }

        const std::vector<json> events = json_lines(run.out);
        ASSERT_FALSE(events.empty());
        const json &error = events.back();
        EXPECT_EQ(error["event"], "error");
        EXPECT_EQ(error["message"], "Error writing to device");
        EXPECT_EQ(error["command"], "start-application");
        EXPECT_EQ(error["address"], -1);
        const std::vector<json> lines = json_lines(read_whole_file(log));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0]["result"].get<std::string>().starts_with(
            "Error writing to device: The start-application command failed"))
            << lines[0];
        EXPECT_EQ(lines[0].contains("kind"), c.more.front() == "-boot") << lines[0];
    }
}

// What -boot does not take: a file (it would not be written), -n; each
// refused before any device is opened. --help shows the option.
TEST_F(SimulatedBench, BootRefusesAFileAndADryRun)
{
    add_device(0, 0x5E1A, 0x0001);
    const struct {
        std::vector<std::string> arguments;
        std::string err;
    } cases[] = {
        {{"-boot", "-usb=5e1a:1", "app.hex"},
         "quorvel: -boot starts the application that is in the flash and writes nothing: it takes no HEX "
         "file\nLeave out -boot to write \"app.hex\" and start it, or leave out the file to start the "
         "application as it is\n\n"},
        {{"-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path(), "-boot"},
         "quorvel: -boot starts the application that is in the flash and writes nothing: it takes no HEX "
         "file\nLeave out -boot to write \"" +
             example_hex_path() +
             "\" and start it, or leave out the file to start the application as it is\n\n"},
        {{"-boot", "-n", "-usb=5e1a:1"},
         "quorvel: -n walks an upload without a board: it cannot be combined with -boot\nLeave out -n to "
         "start "
         "the board's application, or -boot to see what an upload of a file would send\n\n"},
    };
    for (const auto &c : cases) {
        const std::string label = testing::PrintToString(c.arguments);
        ProcessResult run = run_quorvel(c.arguments);
        EXPECT_EQ(run.status, 1) << label;
        EXPECT_EQ(run.err, c.err) << label;
    }
    ProcessResult help = run_quorvel({"--help"});
    EXPECT_NE(help.out.find("\t-boot : "), std::string::npos) << help.out;
    SimResult sim = finish(0);
    EXPECT_TRUE(sim.frames.empty() && sim.held.empty());
}

}  // namespace
