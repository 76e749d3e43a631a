// -stamp=: each board's own value in its flash, never given twice (two
// stations on one state file, a run killed right after its take), logged
// with its board; and the values and places that are refused before any
// board is written.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

constexpr uint32_t STAMP_AT = 0x7F00;

// The firmware: a pattern in its first 256 bytes and a placeholder of four
// zero bytes where the firmware keeps its serial number.
std::map<uint32_t, uint8_t> firmware_bytes()
{
    std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, 0x100);
    for (uint32_t i = 0; i < 4; ++i)
        bytes[STAMP_AT + i] = 0;
    return bytes;
}

// The bytes with this value at STAMP_AT as u32le.
std::map<uint32_t, uint8_t> with_u32le(std::map<uint32_t, uint8_t> bytes, uint32_t value)
{
    for (uint32_t i = 0; i < 4; ++i)
        bytes[STAMP_AT + i] = uint8_t(value >> (8 * i));
    return bytes;
}

// Every byte of the flash is what the bytes say, 0xFF elsewhere.
void expect_flash(const SimResult &sim, const std::map<uint32_t, uint8_t> &bytes, const std::string &label)
{
    EXPECT_TRUE(sim.errors.empty()) << label;
    ASSERT_GE(sim.flash.size(), 0x8000u) << label;
    int wrong = 0;
    for (size_t address = 0; address < sim.flash.size() && wrong < 5; ++address) {
        const auto given = bytes.find(uint32_t(address));
        const uint8_t expected = given == bytes.end() ? 0xFF : given->second;
        if (sim.flash[address] != expected) {
            ADD_FAILURE() << label << ": byte 0x" << std::hex << address << " is 0x" << int(sim.flash[address])
                          << ", not 0x" << int(expected);
            ++wrong;
        }
    }
}

std::vector<json> json_lines(const std::string &text)
{
    std::vector<json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object()) << line;
    }
    return lines;
}

// The image SHA-256 that quorvel gives a HEX file of these bytes.
std::string image_sha256_of(const std::map<uint32_t, uint8_t> &bytes, const std::string &name)
{
    const std::string file = write_scratch_file(name, hex_file_for(bytes));
    ProcessResult run = run_quorvel({"-n", "-json", "-mmcu=atmega32u4", file});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<json> events = json_lines(run.out);
    return events.empty() ? "" : std::string(events[0].value("image_sha256", ""));
}

bool wait_for_file(const std::string &path, const std::string &content, double seconds)
{
    for (auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
         std::chrono::steady_clock::now() < until;) {
        if (read_whole_file(path) == content)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class Stamp : public SimulatedBench {
  protected:
    const std::string file = write_scratch_file("stamped.hex", hex_file_for(firmware_bytes()));
    const std::string state = scratch_dir() + "/serial.state";
    const std::string log = scratch_dir() + "/boards.log";
    void SetUp() override
    {
        SimulatedBench::SetUp();
        std::remove(state.c_str());
        std::remove(log.c_str());
    }
};

// A station of six boards: each flash holds its own value and is otherwise
// the file's; the state file ends past the last value; each log line
// carries its board's value and the checksum of its image with the value,
// as quorvel gives it for a HEX file made with that value.
TEST_F(Stamp, AStationGivesEachBoardItsOwnValue)
{
    BackgroundRun run = start_quorvel({"-station=6", "-stamp=0x7F00,u32le", "-stamp-from=1000",
                                       "-stamp-state=" + state, "-log=" + log, "-json", "-mmcu=atmega32u4",
                                       "-usb=5e1a:1", file});
    for (int number = 0; number < 6; ++number)
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
    ProcessResult ended = finish_quorvel(run, 60);
    ASSERT_EQ(ended.status, 0) << ended.err;
    EXPECT_EQ(read_whole_file(state), "1006\n");

    std::map<std::string, uint32_t> value_of;  // by serial number
    const std::string file_sha256 = sha256sum(file);
    const std::vector<json> lines = json_lines(read_whole_file(log));
    ASSERT_EQ(lines.size(), 6u);
    for (const json &line : lines) {
        EXPECT_EQ(line["result"], "done") << line;
        EXPECT_EQ(line["sha256"], file_sha256) << line;  // the file's, as without -stamp=
        const uint32_t value = uint32_t(std::stoul(std::string(line["stamp"])));
        value_of[line["serial"]] = value;
        EXPECT_EQ(line["image_sha256"], image_sha256_of(with_u32le(firmware_bytes(), value), "made.hex")) << line;
    }
    std::set<uint32_t> values;
    for (const auto &[serial, value] : value_of)
        values.insert(value);
    EXPECT_EQ(values, (std::set<uint32_t>{1000, 1001, 1002, 1003, 1004, 1005}));
    for (int number = 0; number < 6; ++number) {
        const std::string serial = "QV-" + std::to_string(number);
        ASSERT_EQ(value_of.count(serial), 1u) << serial;
        expect_flash(finish(number), with_u32le(firmware_bytes(), value_of[serial]), serial);
    }
    // Each board's start names its value: the station's board_started, and
    // its copy's device event.
    std::map<std::string, std::string> started, device;
    for (const json &event : json_lines(ended.out)) {
        if (event.value("event", "") == "board_started")
            started[event["board_serial"]] = event.value("stamp", "");
        if (event.value("event", "") == "device")
            device[event["board_serial"]] = event.value("stamp", "");
    }
    for (const auto &[serial, value] : value_of) {
        EXPECT_EQ(started[serial], std::to_string(value)) << serial;
        EXPECT_EQ(device[serial], std::to_string(value)) << serial;
    }
}

// Two stations started together on two benches (their boards' USB IDs
// differ) draw from one state file: ten boards, ten values, none twice.
TEST_F(Stamp, TwoStationsSharingAStateFileNeverGiveAValueTwice)
{
    std::vector<BackgroundRun> runs;
    for (const char *bench : {"-usb=5e1a:1", "-usb=5e1a:2"})
        runs.push_back(start_quorvel({"-station=5", "-stamp=0x7F00,u32le", "-stamp-from=1",
                                      "-stamp-state=" + state, "-log=" + log, "-mmcu=atmega32u4", bench, file}));
    for (int number = 0; number < 5; ++number) {
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
        add_device(number + 5, 0x5E1A, 0x0002, numbered_board(number + 5));
    }
    size_t started_lines = 0;
    for (BackgroundRun &run : runs) {
        ProcessResult ended = finish_quorvel(run, 60);
        EXPECT_EQ(ended.status, 0) << ended.err;
        // Each board's line names its value as it starts.
        for (size_t at = ended.out.find("\tProgramming, stamp "); at != std::string::npos;
             at = ended.out.find("\tProgramming, stamp ", at + 1))
            ++started_lines;
    }
    EXPECT_EQ(started_lines, 10u);
    EXPECT_EQ(read_whole_file(state), "11\n");
    std::set<uint32_t> in_flash, in_log;
    for (int number = 0; number < 10; ++number) {
        const SimResult sim = finish(number);
        ASSERT_GE(sim.flash.size(), STAMP_AT + 4u);
        uint32_t value = 0;
        for (uint32_t i = 0; i < 4; ++i)
            value |= uint32_t(sim.flash[STAMP_AT + i]) << (8 * i);
        in_flash.insert(value);
    }
    for (const json &line : json_lines(read_whole_file(log)))
        in_log.insert(uint32_t(std::stoul(std::string(line["stamp"]))));
    const std::set<uint32_t> one_to_ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(in_flash, one_to_ten);
    EXPECT_EQ(in_log, one_to_ten);
}

// A run killed (SIGKILL) right after it took its value, while its board
// holds the first report: the value is gone for good, the next run takes
// the one after it.
TEST_F(Stamp, AValueTakenByAKilledRunIsNotGivenAgain)
{
    SimOptions stalled = numbered_board(0, 0);
    stalled.ignore_interrupts = true;
    add_device(0, 0x5E1A, 0x0001, stalled);
    BackgroundRun run = start_quorvel({"-stamp=0x7F00,u32le", "-stamp-from=1000", "-stamp-state=" + state,
                                       "-mmcu=atmega32u4", "-usb=5e1a:1", file});
    ASSERT_TRUE(wait_for_file(state, "1001\n", 10)) << read_whole_file(state);
    ASSERT_EQ(kill(run.pid, SIGKILL), 0);
    ProcessResult killed = finish_quorvel(run, 10);
    EXPECT_EQ(killed.status, 128 + SIGKILL) << killed.err;
    unplug(0);

    add_device(1, 0x5E1A, 0x0001, numbered_board(1));
    ProcessResult next = run_quorvel({"-stamp=0x7F00,u32le", "-stamp-from=1000", "-stamp-state=" + state, "-v",
                                      "-mmcu=atmega32u4", "-usb=5e1a:1", file});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_NE(next.out.find("Stamp: 1001 at 0x7F00 (u32le)\n"), std::string::npos) << next.out;
    expect_flash(finish(1), with_u32le(firmware_bytes(), 1001), "the next board");
    EXPECT_EQ(read_whole_file(state), "1002\n");
}

// Serial numbers from a list as UTF-16LE, where the file has no data: that
// block is sent too. -all takes every board's value before any copy starts.
TEST_F(Stamp, SerialNumbersFromAListAsUtf16)
{
    const std::string list = write_scratch_file("serials.txt", "# batch 7\nQV-A-0001\n\nQV-\xc3\x89-0002\n");
    for (int number = 0; number < 2; ++number)
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
    ProcessResult run = run_quorvel({"-all=2", "-stamp=0x3000,utf16le:24", "-stamp-list=" + list,
                                     "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", file});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_whole_file(list + ".state"), "2\nQV-\xc3\x89-0002\n");
    std::map<std::string, std::string> value_of;
    for (const json &line : json_lines(read_whole_file(log)))
        value_of[line["serial"]] = line["stamp"];
    ASSERT_EQ(value_of.size(), 2u);
    for (int number = 0; number < 2; ++number) {
        const std::string serial = "QV-" + std::to_string(number);
        const std::string value = value_of[serial];
        ASSERT_TRUE(value == "QV-A-0001" || value == "QV-\xc3\x89-0002") << value;
        std::map<uint32_t, uint8_t> bytes = firmware_bytes();
        const std::string units = value == "QV-A-0001" ? std::string("Q\0V\0-\0A\0-\0000\0000\0000\0001\0", 18)
                                                       : std::string("Q\0V\0-\0\xc9\0-\0000\0000\0000\0002\0", 18);
        for (uint32_t i = 0; i < 24; ++i)
            bytes[0x3000 + i] = i < units.size() ? uint8_t(units[i]) : 0;
        expect_flash(finish(number), bytes, serial);
    }
    EXPECT_NE(value_of["QV-0"], value_of["QV-1"]);
}

// What cannot be stamped is refused before any board is written: a value
// too long for its format, a list that has run out, a damaged state file,
// a range outside the flash, a counter without a state file, an -all run
// with fewer values left than boards.
TEST_F(Stamp, RefusedBeforeAnyBoardIsWritten)
{
    const std::string list = scratch_dir() + "/refused.txt";
    const std::string list_state = list + ".state";
    struct Case {
        const char *label;
        const char *list;        // the list file's text, or null
        const char *list_state;  // the list's state file's text, or null
        const char *state;       // the counter's state file's text, or null
        std::vector<std::string> options;
        int boards;
        std::string message;     // a piece of standard error
        const char *state_after; // the counter's or list's state file after, or null: as before
    };
    const Case cases[] = {
        {"too long", "QV-0001-AND-THEN-SOME-MORE\n", nullptr, nullptr,
         {"-stamp=0x3000,utf16le:24", "-stamp-list=" + list}, 1,
         "quorvel: the stamp value \"QV-0001-AND-THEN-SOME-MORE\" does not fit utf16le:24: 52 bytes as UTF-16LE\n"
         "Nothing was written to the board. Give values no longer than the format's length, or a longer format\n",
         nullptr},
        {"run out", "QV-1\nQV-2\n", "2\nQV-2\n", nullptr, {"-stamp=0x3000,ascii:8", "-stamp-list=" + list}, 1,
         "quorvel: the stamp list " + list + " has run out: all its 2 values were taken (" + list_state +
             ")\nNothing was written. Add values at the end of the list, or give a new list\n",
         nullptr},
        {"damaged", nullptr, nullptr, "1O06\n",
         {"-stamp=0x7F00,u32le", "-stamp-from=1000", "-stamp-state=" + state}, 1,
         "quorvel: the stamp state file " + state + " is damaged: its first line is not the next value\nNothing "
         "was written. Put back the file from a copy",
         nullptr},
        {"outside the flash", nullptr, nullptr, "1006\n",
         {"-stamp=0x7FFE,u32le", "-stamp-from=1000", "-stamp-state=" + state}, 1,
         "quorvel: -stamp=0x7FFE,u32le: its bytes 0x7FFE to 0x8001 lie outside the flash of atmega32u4 (0x0000 to "
         "0x7FFF)\n",
         nullptr},
        {"no state file", nullptr, nullptr, nullptr, {"-stamp=0x7F00,u32le", "-stamp-from=1000"}, 1,
         "quorvel: -stamp-from= needs -stamp-state=FILE: the file that keeps the next value", nullptr},
        {"fewer values than boards", "QV-1\n", nullptr, nullptr,
         {"-all=2", "-stamp=0x3000,ascii:8", "-stamp-list=" + list}, 2,
         "quorvel: the stamp list " + list + " has run out: all its 1 values were taken (" + list_state +
             ")\nNothing was written. Add values at the end of the list, or give a new list\nThe values taken for "
             "the boards before it (QV-1 to QV-1) are not used again\n",
         "1\nQV-1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        std::remove(state.c_str());
        std::remove(list.c_str());
        std::remove(list_state.c_str());
        if (c.list)
            write_scratch_file("refused.txt", c.list);
        if (c.list_state)
            write_scratch_file("refused.txt.state", c.list_state);
        if (c.state)
            write_scratch_file("serial.state", c.state);
        for (int number = 0; number < c.boards; ++number)
            add_device(number, 0x5E1A, 0x0001, numbered_board(number));
        std::vector<std::string> arguments = c.options;
        for (const char *more : {"-mmcu=atmega32u4", "-usb=5e1a:1"})
            arguments.push_back(more);
        arguments.push_back(file);
        ProcessResult run = run_quorvel(arguments, kill_after(20));
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        for (int number = 0; number < c.boards; ++number)
            EXPECT_TRUE(finish(number).frames.empty()) << "board " << number;
        reset();
        const char *before = c.list ? c.list_state : c.state;
        const std::string state_file = c.list ? list_state : state;
        EXPECT_EQ(read_whole_file(state_file), c.state_after ? c.state_after : before ? before : "");
    }
}

// The dry run shows the value that would be next, and takes none.
TEST_F(Stamp, TheDryRunShowsTheNextValueWithoutTakingIt)
{
    write_scratch_file("serial.state", "1006\n");
    ProcessResult run = run_quorvel({"-n", "-stamp=0x7F00,u32le", "-stamp-from=1000", "-stamp-state=" + state,
                                     "-mmcu=atmega32u4", file});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Stamp: 1006 at 0x7F00 (u32le), the next value (not taken: a dry run takes none)\n"),
              std::string::npos)
        << run.out;
    // The figures are of the image with that value.
    EXPECT_NE(run.out.find(image_sha256_of(with_u32le(firmware_bytes(), 1006), "made.hex")), std::string::npos)
        << run.out;
    EXPECT_EQ(read_whole_file(state), "1006\n");
}

}  // namespace

namespace {

// On a terminal, each board's row in the live view names its value, and
// so does the line that stays when it ended.
TEST_F(Stamp, TheLiveViewShowsEachBoardsValue)
{
    for (int number = 0; number < 2; ++number)
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
    const std::string shown = run_on_terminal({"-all=2", "-stamp=0x7F00,u32le", "-stamp-from=7", "-stamp-state=" + state,
                                               "-mmcu=atmega32u4", "-usb=5e1a:1", file},
                                              120);
    for (int number = 0; number < 2; ++number)
        finish(number);
    EXPECT_EQ(read_whole_file(state), "9\n");
    for (const char *value : {"7", "8"})
        EXPECT_NE(shown.find(std::string(" stamp ") + value), std::string::npos) << shown;
}

}  // namespace
