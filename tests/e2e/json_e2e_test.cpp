// -json: events for programs, checked with a real JSON parser.
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

// Every line of standard output must be one JSON object.
std::vector<json> events_of(const std::string &out)
{
    std::vector<json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        json event = json::parse(line, nullptr, false);
        EXPECT_FALSE(event.is_discarded()) << "not JSON: " << line;
        EXPECT_TRUE(event.is_object()) << line;
        events.push_back(event);
    }
    return events;
}

const char *const ODD = "Odd \"quoted\" \\back\\slash\\ \x01\x1f\ttab \xc3\xa9";

TEST_F(SimulatedBench, JsonEventsOfAnUploadAndOfTheList)
{
    SimOptions odd;
    odd.name = ODD;
    odd.serial = ODD;
    add_device(0, 0x5E1A, 0x0001, odd);

    ProcessResult listed = run_quorvel({"-json", "-usb=5e1a:1", "-list"});
    json devices = json::parse(listed.out);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["path"], "/dev/hidraw0");
    EXPECT_EQ(devices[0]["vendor_id"], "5e1a");
    EXPECT_EQ(devices[0]["match"], true);
    EXPECT_EQ(devices[0]["name"], ODD);  // every byte back, through the escapes
    EXPECT_EQ(devices[0]["serial"], ODD);

    ProcessResult run = run_quorvel({"-json", "-v", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<json> events = events_of(run.out);
    ASSERT_EQ(events.size(), 5u) << run.out;
    // The firmware first, so that a program can check it before anything is written.
    EXPECT_EQ(events[0]["event"], "start");
    EXPECT_EQ(events[0]["sha256"], sha256sum(example_hex_path()));
    EXPECT_EQ(events[0]["mcu"], "atmega32u4");
    EXPECT_EQ(events[0]["blocks"], 2);
    events.erase(events.begin());
    EXPECT_EQ(events[0]["event"], "device");
    EXPECT_EQ(events[0]["path"], "/dev/hidraw0");
    EXPECT_EQ(events[0]["product_id"], "0001");
    EXPECT_EQ(events[0]["serial"], ODD);
    for (int block : {1, 2}) {
        EXPECT_EQ(events[size_t(block)]["event"], "block");
        EXPECT_EQ(events[size_t(block)]["index"], block);
        EXPECT_EQ(events[size_t(block)]["count"], 2);
        EXPECT_EQ(events[size_t(block)]["address"], (block - 1) * 128);
    }
    EXPECT_EQ(events[3]["event"], "done");
    EXPECT_EQ(run.err, "\nDone.\n\n");  // people's messages stay on standard error
    EXPECT_EQ(finish(0).frames.size(), 17u);
}

TEST_F(SimulatedBench, JsonErrorNamesTheCommandAndBlock)
{
    SimOptions stalled;
    stalled.stall_after = 10;
    add_device(0, 0x5E1A, 0x0001, stalled);
    std::string hex = write_scratch_file("32k.hex", hex_file_for(pattern_bytes(0, 0x8000)));
    ProcessResult run = run_quorvel({"-json", "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    EXPECT_EQ(run.status, 1);
    std::vector<json> events = events_of(run.out);
    ASSERT_FALSE(events.empty());
    const json &end = events.back();
    EXPECT_EQ(end["event"], "error");
    EXPECT_EQ(end["message"], "Error writing to device");
    EXPECT_EQ(end["command"], "data");
    EXPECT_EQ(end["address"], 0x80);
    EXPECT_TRUE(std::string(end["detail"]).starts_with("The data command of the block at 0x0080 failed"));

    ProcessResult none = run_quorvel({"-json", "-mmcu=atmega32u4", "-usb=5e1a:2", hex});
    events = events_of(none.out);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]["message"], "Unable to open device");
}

TEST_F(SimulatedBench, JsonEventsOfEveryBoardTaggedAndSummed)
{
    add_device(0, 0x5E1A, 0x0001);
    add_device(1, 0x5E1A, 0x0001);
    ProcessResult run = run_quorvel({"-json", "-all", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<json> events = events_of(run.out);
    // Each board's four, between its board_started and board_ended.
    ASSERT_EQ(events.size(), 1u + 2u * 6u + 1u) << run.out;
    EXPECT_EQ(events[0]["event"], "start");  // this run's alone: the copies' would repeat it
    std::map<std::string, int> kinds;
    size_t devices_before_done = 0;
    for (size_t i = 1; i + 1 < events.size(); ++i) {
        EXPECT_TRUE(events[i]["board"] == "/dev/hidraw0" || events[i]["board"] == "/dev/hidraw1");
        ++kinds[events[i]["event"]];
        devices_before_done += events[i]["event"] == "device" && kinds["done"] == 0;
    }
    EXPECT_EQ(kinds,
              (std::map<std::string, int>{
                  {"board_started", 2}, {"device", 2}, {"block", 4}, {"done", 2}, {"board_ended", 2}}));
    EXPECT_EQ(devices_before_done, 2u);  // streamed as they come, not board after board
    const json &summary = events.back();
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["ok"], true);
    ASSERT_EQ(summary["boards"].size(), 2u);
    EXPECT_EQ(summary["boards"][1]["path"], "/dev/hidraw1");
    EXPECT_EQ(summary["boards"][1]["result"], "done");
}

}  // namespace
