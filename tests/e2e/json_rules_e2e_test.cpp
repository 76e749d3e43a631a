// The rules of the -json stream for every kind of run: each line parses,
// exactly one final event (done, error or summary) ends it, and text from a
// device reaches neither the stream nor a terminal raw.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// A name and serial number with a C0 control, DEL, a C1 control (NEL) and
// a byte that is not UTF-8.
const char *const ODD = "a\001b\177c\302\205d\377e";
// ODD as a JSON reader gets it back, and as the line carries it.
const char *const ODD_PARSED = "a\001b\177c\302\205d\357\277\275e";
const char *const ODD_ESCAPED = "a\\u0001b\\u007fc\\u0085d\357\277\275e";

// The first place in the text where a control character other than the
// line end and the tab, or a byte that is not UTF-8, reaches the reader; npos
// when there is none.
size_t raw_control(const std::string &text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F || byte == 0xFF ||
            (byte == 0xC2 && next >= 0x80 && next <= 0x9F))
            return i;
    }
    return std::string::npos;
}

struct JsonRunCase {
    const char *name;
    std::vector<std::string> arguments;  // -json is added last: it is read wherever it stands
    int status;
    const char *final_event;
    const char *message;  // of the final error event; null: not an error
};

TEST_F(SimulatedBench, JsonRunsEndWithOneFinalEvent)
{
    const std::string hex = example_hex_path();
    const std::string empty = write_scratch_file("empty.hex", ":00000001FF\n");
    const std::vector<JsonRunCase> cases{
        {"an upload", {"-mmcu=atmega32u4", "-usb=5e1a:1", hex}, 0, "done", nullptr},
        {"a dry run", {"-n", "-mmcu=atmega32u4", hex}, 0, "done", nullptr},
        {"no such device", {"-mmcu=atmega32u4", "-usb=5e1a:2", hex}, 1, "error", "Unable to open device"},
        {"unknown MCU", {"-mmcu=atmega48", hex}, 1, "error", "Unknown MCU type"},
        {"malformed IDs", {"-mmcu=atmega32u4", "-usb=0x5e1a:0x00O1", hex}, 1, "error", "Malformed PID"},
        {"a mistyped option", {"--dry-run", "-mmcu=atmega32u4", hex}, 1, "error", nullptr},
        {"a missing file",
         {"-mmcu=atmega32u4", "-usb=5e1a:1", scratch_dir() + "/missing.hex"},
         1,
         "error",
         nullptr},
        {"a file without data", {"-mmcu=atmega32u4", "-usb=5e1a:1", empty}, 1, "error", nullptr},
        {"no file: the usage text", {"-mmcu=atmega32u4"}, 1, "error", "Filename must be specified"},
        {"no MCU: the usage text", {hex}, 1, "error", "MCU type must be specified"},
        {"every board", {"-all", "-mmcu=atmega32u4", "-usb=5e1a:1", hex}, 0, "summary", nullptr},
        {"every board, one failing", {"-all", "-mmcu=atmega32u4", "-usb=5e1a:1", hex}, 1, "summary", nullptr},
    };
    for (const JsonRunCase &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        SimOptions odd;
        odd.name = ODD;
        odd.serial = ODD;
        add_device(0, 0x5E1A, 0x0001, odd);
        if (std::string(c.name) == "every board, one failing") {
            SimOptions stalled;
            stalled.stall_after = 3;
            add_device(1, 0x5E1A, 0x0001, stalled);
        }
        std::vector<std::string> arguments = c.arguments;
        arguments.push_back("-json");
        ProcessResult run = run_quorvel(arguments, kill_after(20));
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(raw_control(run.out), std::string::npos) << run.out;
        EXPECT_EQ(raw_control(run.err), std::string::npos) << run.err;

        std::vector<json> events;
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);) {
            json event = json::parse(line, nullptr, false);  // fails on bytes that are not UTF-8, too
            ASSERT_TRUE(event.is_object()) << "not a JSON object: " << line;
            events.push_back(event);
        }
        ASSERT_FALSE(events.empty()) << run.err;
        int finals = 0;
        for (const json &event : events) {
            const std::string kind = event.value("event", "");
            finals += !event.contains("board") && (kind == "done" || kind == "error" || kind == "summary");
        }
        EXPECT_EQ(finals, 1) << run.out;
        EXPECT_EQ(events.back().value("event", ""), c.final_event) << run.out;
        EXPECT_FALSE(events.back().contains("board")) << run.out;
        if (c.message) {
            EXPECT_EQ(events.back().value("message", ""), c.message);
        }
        if (c.message) {
            EXPECT_FALSE(events.back()["detail"].get<std::string>().empty()) << "no second line";
        }
        // A device's text comes out escaped, the bad byte as U+FFFD. (A board's
        // copy under -all opens it by path and knows no serial number.)
        for (const json &event : events) {
            if (event["event"] == "device" && !event.contains("board")) {
                EXPECT_EQ(event["serial"], ODD_PARSED);
            }
        }
        if (run.out.find("\"serial\"") != std::string::npos) {
            EXPECT_NE(run.out.find("\"serial\":\"" + std::string(ODD_ESCAPED) + "\""), std::string::npos)
                << run.out;
        }
        finish(0);
        if (std::string(c.name) == "every board, one failing") {
            finish(1);
        }
    }
}

// The same device text in the output for people: -list, -v and the -all
// lines show it with no raw control byte; -list -json escapes it.
TEST_F(SimulatedBench, DeviceTextReachesNoTerminalRaw)
{
    SimOptions odd;
    odd.name = ODD;
    odd.serial = ODD;
    add_device(0, 0x5E1A, 0x0001, odd);
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"-list"},
          {"-v", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()},
          {"-all", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()},
          {"-list", "-json"}}) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        ProcessResult run = run_quorvel(arguments, kill_after(20));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(raw_control(run.out), std::string::npos) << run.out;
        EXPECT_EQ(raw_control(run.err), std::string::npos) << run.err;
        const bool json_list = arguments.back() == "-json";
        if (arguments[0] != "-v") {  // -v names the path only
            EXPECT_NE((run.out + run.err).find(json_list ? ODD_ESCAPED : "a?b?c?d?e"), std::string::npos)
                << run.out << run.err;
        }
    }
}

}  // namespace
