// -expect-app: after START_APPLICATION the bootloader must leave the bus and
// the application appear at the same USB port, on simulated boards whose
// bootloader leaves (or stays) and whose application appears (or not) in
// the bench's sysfs.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

using json = nlohmann::json;
using ExpectApp = SimulatedBench;

std::vector<json> events_of(const std::string &out)
{
    std::vector<json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        events.push_back(json::parse(line, nullptr, false));
    return events;
}

SimOptions board_at(const char *location, const char *serial)
{
    SimOptions options;
    options.report_delay_us = 200;
    options.location = location;
    options.serial = serial;
    return options;
}

AfterStart stays()
{
    AfterStart after;
    after.leave_after = -1;
    return after;
}

AfterStart leaves_for_nothing()
{
    AfterStart after;
    after.appear_after = -1;
    return after;
}

AfterStart other_application()
{
    AfterStart after;
    after.vendor_id = 0x1234;
    after.product_id = 0x5678;
    return after;
}

const std::string BUILT_FOR = "Check that the firmware was built for atmega32u4 and this board";

TEST_F(ExpectApp, EachOutcomeForOneBoard)
{
    const std::string hex = write_scratch_file("app.hex", hex_file_for(pattern_bytes(0, 0x800)));
    const struct {
        const char *name;
        std::vector<std::string> options;
        AfterStart after;
        int status;
        std::string said;  // a line of standard error
    } cases[] = {
        {"any device", {"-expect-app"}, AfterStart{}, 0,
         "Application 5e1a:0100 (Blink) started at 1-3, "},
        {"the IDs asked for", {"-expect-app=0x5E1A:100"}, AfterStart{}, 0, "Application 5e1a:0100 (Blink) started"},
        {"any device, whatever its IDs", {"-expect-app"}, other_application(), 0, "Application 1234:5678 (Blink)"},
        {"the bootloader stays", {"-expect-app", "-w=1"}, stays(), 1,
         "The board is still in its bootloader 1 s after START_APPLICATION: the application did not start\n" +
             BUILT_FOR + "\n"},
        {"nothing appears", {"-expect-app=5e1a:0100", "-w=1"}, leaves_for_nothing(), 1,
         "No device appeared at 1-3 within 1 s after START_APPLICATION: the bootloader left, but the "
         "application did not come up on USB\n" +
             BUILT_FOR + "; "},
        {"other IDs", {"-expect-app=5e1a:0100"}, other_application(), 1,
         "A device 1234:5678 appeared at 1-3, not 5e1a:0100: another firmware started, or the application has "
         "other IDs\n" +
             BUILT_FOR + ", or give"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        add_device(0, 0x5E1A, 0x0001, board_at("1-3", "QV-3"));
        std::vector<std::string> arguments{"-mmcu=atmega32u4", "-usb=5e1a:1"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(hex);
        BackgroundRun run = start_quorvel(arguments);
        double taken_at = -1;
        SimResult seen = after_start_application(0, "1-3", c.after, taken_at);
        ProcessResult result = finish_quorvel(run, 30);
        if (c.after.leave_after < 0)
            seen = finish(0);
        EXPECT_GE(taken_at, 0) << "the board never took START_APPLICATION";
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
        // "Done." only when the application came.
        EXPECT_EQ(result.err.find("Done.") != std::string::npos, c.status == 0) << result.err;
        std::vector<int> commands = commands_of(seen.frames);
        EXPECT_EQ(std::count(commands.begin(), commands.end(), 7), 1) << "one whole upload";
        reset();
    }
}

// -boot starts the application without writing: the same check follows.
TEST_F(ExpectApp, AfterBoot)
{
    const struct {
        AfterStart after;
        int status;
        std::string said;
    } cases[] = {
        {AfterStart{}, 0, "Application 5e1a:0100 (Blink) started at 1-3, "},
        {stays(), 1,
         "The board is still in its bootloader 1 s after START_APPLICATION: the application did not start\n"
         "Check that the firmware was built for this board\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        add_device(0, 0x5E1A, 0x0001, board_at("1-3", "QV-3"));
        BackgroundRun run = start_quorvel({"-boot", "-usb=5e1a:1", "-expect-app", "-w=1"});
        double taken_at = -1;
        SimResult seen = after_start_application(0, "1-3", c.after, taken_at);
        ProcessResult result = finish_quorvel(run, 30);
        if (c.after.leave_after < 0)
            seen = finish(0);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
        EXPECT_EQ(commands_of(seen.frames), std::vector<int>{7}) << "START_APPLICATION alone";
        reset();
    }
}

// The -json stream has the application before "done", and the log line its fields.
TEST_F(ExpectApp, EventAndLogLine)
{
    const std::string hex = write_scratch_file("app.hex", hex_file_for(pattern_bytes(0, 0x800)));
    const std::string log = scratch_dir() + "/expect.log";
    add_device(0, 0x5E1A, 0x0001, board_at("1-3", "QV-3"));
    BackgroundRun run =
        start_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", "-json", "-log=" + log, "-expect-app=5e1a:100", hex});
    AfterStart after;
    after.serial = "APP-9";
    double taken_at = -1;
    after_start_application(0, "1-3", after, taken_at);
    ProcessResult result = finish_quorvel(run, 30);
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> kinds;
    json application;
    for (const json &event : events_of(result.out)) {
        ASSERT_TRUE(event.is_object()) << result.out;
        kinds.push_back(event["event"]);
        if (event["event"] == "application")
            application = event;
    }
    ASSERT_GE(kinds.size(), 2u);
    EXPECT_EQ(kinds[kinds.size() - 2], "application") << result.out;
    EXPECT_EQ(kinds.back(), "done") << result.out;
    EXPECT_EQ(application["vendor_id"], "5e1a");
    EXPECT_EQ(application["product_id"], "0100");
    EXPECT_EQ(application["product"], "Blink");
    EXPECT_EQ(application["serial"], "APP-9");
    EXPECT_EQ(application["location"], "1-3");
    // Its bootloader left 50 ms and the application came 250 ms later.
    EXPECT_GE(application["seconds"].get<double>(), 0.29);
    EXPECT_LT(application["seconds"].get<double>(), 5.0);
    const json line = json::parse(read_whole_file(log), nullptr, false);
    ASSERT_TRUE(line.is_object()) << read_whole_file(log);
    EXPECT_EQ(line["result"], "done");
    EXPECT_EQ(line["application"]["product_id"], "0100");
    EXPECT_EQ(line["application"]["serial"], "APP-9");
    EXPECT_EQ(line["application"]["seconds"], application["seconds"]);
}

// A board that the system does not place on a USB port cannot be watched:
// refused before anything is written.
TEST_F(ExpectApp, ABoardWithoutAPortIsRefusedBeforeWriting)
{
    const std::string hex = write_scratch_file("app.hex", hex_file_for(pattern_bytes(0, 0x800)));
    add_device(0, 0x5E1A, 0x0001, board_at("", "QV-0"));
    ProcessResult result = run_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", "-expect-app", hex});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("quorvel cannot tell which USB port /dev/hidraw0 is plugged into, so -expect-app "
                               "cannot watch for the application there\nNothing was written.",
                               0),
              0u)
        << result.err;
    EXPECT_TRUE(finish(0).frames.empty());
}

// Every board of -all and of a station waits for its own application; a
// board whose application does not come fails alone.
TEST_F(ExpectApp, EveryBoardOfAllAndOfAStation)
{
    const std::string hex = write_scratch_file("app.hex", hex_file_for(pattern_bytes(0, 0x800)));
    const struct {
        const char *run;
        bool second_stays;
        int status;
    } cases[] = {
        {"-all=2", false, 0},
        {"-all=2", true, 1},
        {"-station=2", false, 0},
    };
    const char *const locations[] = {"1-2", "1-3"};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.run) + (c.second_stays ? ", the second board stays" : ""));
        const bool station = std::string(c.run).starts_with("-station");
        add_device(0, 0x5E1A, 0x0001, board_at(locations[0], "QV-0"));
        if (!station)
            add_device(1, 0x5E1A, 0x0001, board_at(locations[1], "QV-1"));
        BackgroundRun run =
            start_quorvel({"-mmcu=atmega32u4", "-usb=5e1a:1", "-json", c.run, "-expect-app", "-w=2", hex});
        double taken_at[2] = {-1, -1};
        AfterStart after[2] = {AfterStart{}, c.second_stays ? stays() : AfterStart{}};
        if (station) {
            // One board after the other: the next is plugged in once the first is running its application.
            after_start_application(0, locations[0], after[0], taken_at[0]);
            add_device(1, 0x5E1A, 0x0001, board_at(locations[1], "QV-1"));
            after_start_application(1, locations[1], after[1], taken_at[1]);
        } else {
            std::thread first([&] { after_start_application(0, locations[0], after[0], taken_at[0]); });
            after_start_application(1, locations[1], after[1], taken_at[1]);
            first.join();
        }
        ProcessResult result = finish_quorvel(run, 60);
        EXPECT_EQ(result.status, c.status) << result.err << result.out;
        int applications = 0;
        for (const json &event : events_of(result.out))
            if (event.is_object() && event["event"] == "application") {
                ++applications;
                EXPECT_EQ(event["location"], event["board_serial"] == "QV-0" ? "1-2" : "1-3") << event.dump();
            }
        EXPECT_EQ(applications, c.second_stays ? 1 : 2) << result.out;
        EXPECT_GE(taken_at[0], 0);
        EXPECT_GE(taken_at[1], 0);
        reset();
    }
}

}  // namespace
