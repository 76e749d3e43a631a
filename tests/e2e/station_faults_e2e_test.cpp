// -station under production faults: a board plugged in on the node that
// another just left, two stations and a manual run on one bench, a station
// killed outright mid-write, the log's times under -all, and the memory of
// a long shift.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

size_t count_of(const std::string &text, const std::string &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// Waits until the file holds `piece` `times` times, at most `seconds`.
bool wait_for(const std::string &path, const std::string &piece, size_t times = 1, double seconds = 15)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (count_of(read_whole_file(path), piece) >= times)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void pause(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// The log's lines; one that does not parse is a failure, and comes back
// as null.
std::vector<json> log_lines(const std::string &path)
{
    std::vector<json> lines;
    std::istringstream text(read_whole_file(path));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object()) << line;
    }
    return lines;
}

// The resident memory of a process, in KiB.
long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return -1;
}

// Whether the flash begins with these bytes (the rest of the image is 0xFF).
bool holds(const SimResult &sim, const std::string &bytes)
{
    if (sim.flash.size() < bytes.size())
        return false;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (sim.flash[i] != uint8_t(bytes[i]))
            return false;
    return true;
}

// The bytes that a file of pattern_bytes(0, size) puts into the flash.
std::string pattern_image(uint32_t size)
{
    std::string bytes;
    for (const auto &[address, byte] : pattern_bytes(0, size))
        bytes += char(byte);
    return bytes;
}

class StationFaults : public SimulatedBench {
  protected:
    void SetUp() override
    {
        SimulatedBench::SetUp();
        if (IsSkipped())
            return;
        if (std::string(QUORVEL_EXAMPLE_BIN).empty())
            GTEST_SKIP() << "SKIPPED: avr-objcopy was not found when the tests were configured: install "
                            "binutils-avr, then run cmake again";
    }
    const std::string hex = example_hex_path();
    const std::string log = scratch_dir() + "/faults.log";
};

// A board leaves and a new one appears on its node (with the same serial
// number, as boards without one would look alike) 1 ms, 100 ms and 400 ms
// later; also after an unplug mid-write. Each new board is written once,
// shown and logged, and -station=2 ends by itself.
TEST_F(StationFaults, ABoardOnAReusedNodeIsANewBoard)
{
    // About 260 reports: at 20 ms each, a write that is unplugged after 0.8 s
    // is far from its end.
    const std::string file = write_scratch_file("4k.hex", hex_file_for(pattern_bytes(0, 0x1000)));
    const std::string image = pattern_image(0x1000);
    const struct {
        double gap;
        bool mid_write;
    } cases[] = {{0.001, false}, {0.1, false}, {0.4, false}, {0.001, true}, {0.1, true}, {0.4, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.gap) + (c.mid_write ? " s after an unplug mid-write" : " s after a board"));
        reset();
        std::remove(log.c_str());
        SimOptions first = numbered_board(0);
        if (c.mid_write)
            first.report_delay_us = 20000;
        add_device(0, 0x5E1A, 0x0001, first);
        BackgroundRun run = start_quorvel({"-station=2", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", file});
        if (c.mid_write) {
            ASSERT_TRUE(wait_for(run.out_path, "/dev/hidraw0\tQV-0\t\tProgramming\n"));
            pause(0.8);  // past the begin command, into the blocks
        } else {
            ASSERT_TRUE(wait_for(run.out_path, "/dev/hidraw0\tQV-0\t\tDone in "));
        }
        SimResult gone = unplug(0);
        pause(c.gap);
        add_device(0, 0x5E1A, 0x0001, numbered_board(0));
        ProcessResult ended = finish_quorvel(run, 20);
        SimResult second = finish(0);

        EXPECT_EQ(ended.status, c.mid_write ? 1 : 0) << ended.out << ended.err;
        EXPECT_TRUE(holds(second, image));
        // Written once: as many reports as a whole write, the first board's
        // when it was not cut short.
        EXPECT_GT(second.frames.size(), 200u);
        if (c.mid_write)
            EXPECT_LT(gone.frames.size(), second.frames.size() / 2);
        else
            EXPECT_EQ(gone.frames.size(), second.frames.size());
        EXPECT_EQ(count_of(ended.out, "/dev/hidraw0\tQV-0\t\tProgramming\n"), 2u) << ended.out;
        EXPECT_EQ(count_of(ended.out, "/dev/hidraw0\tQV-0\t\tDone in "), c.mid_write ? 1u : 2u) << ended.out;
        const std::vector<json> lines = log_lines(log);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0]["result"] == "done", !c.mid_write) << lines[0];
        EXPECT_EQ(lines[1]["result"], "done") << lines[1];
    }
}

// Two stations with two files on one bench: each board is written once, by
// one station, which logs it with the firmware that the board holds; the
// other shows it as held elsewhere. A manual run finds a board that a
// station wrote taken until it leaves, and a station leaves alone a board
// that a manual run writes, also once that run has ended.
TEST_F(StationFaults, TwoStationsAndAManualRunWriteEachBoardOnce)
{
    const std::string blink = read_whole_file(QUORVEL_EXAMPLE_BIN);
    const std::string pattern = pattern_image(0x100);
    const std::string other = write_scratch_file("other.hex", hex_file_for(pattern_bytes(0, 0x100)));
    const std::string other_log = scratch_dir() + "/other.log";
    std::remove(log.c_str());
    std::remove(other_log.c_str());
    BackgroundRun first = start_quorvel({"-station", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    BackgroundRun second =
        start_quorvel({"-station", "-log=" + other_log, "-mmcu=atmega32u4", "-usb=5e1a:1", other});
    pause(0.3);
    for (int number : {0, 1, 2, 3})
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
    for (int waited = 0; waited < 1500; ++waited) {
        if (count_of(read_whole_file(first.out_path) + read_whole_file(second.out_path), "\tDone in ") >= 4)
            break;
        pause(0.01);
    }
    pause(2.5);  // a second write would begin and end in this time

    // A manual run now: the board is still taken by the station that wrote it.
    ProcessResult manual = run_quorvel({"-mmcu=atmega32u4", "-device=/dev/hidraw0", other});
    EXPECT_NE(manual.status, 0) << manual.err;
    EXPECT_NE(manual.err.find("/dev/hidraw0 is being written by another quorvel run"), std::string::npos)
        << manual.err;

    kill(first.pid, SIGTERM);
    kill(second.pid, SIGTERM);
    ProcessResult one = finish_quorvel(first, 20), two = finish_quorvel(second, 20);
    EXPECT_EQ(count_of(one.out + two.out, "\tProgramming\n"), 4u) << one.out << two.out;
    EXPECT_EQ(count_of(one.out + two.out, "\tDone in "), 4u) << one.out << two.out;
    EXPECT_EQ(count_of(one.out + two.out, "\tHeld by another run: left alone\n"), 4u) << one.out << two.out;

    // Each board: written once, and one line in one log, naming what it holds.
    std::map<std::string, std::vector<json>> lines_of;
    for (const std::string &path : {log, other_log})
        for (const json &line : log_lines(path))
            lines_of[line["path"]].push_back(line);
    for (int number : {0, 1, 2, 3}) {
        const std::string path = "/dev/hidraw" + std::to_string(number);
        SCOPED_TRACE(path);
        SimResult sim = finish(number);
        EXPECT_EQ(sim.frames.size(), 17u);
        ASSERT_EQ(lines_of[path].size(), 1u);
        const json &line = lines_of[path][0];
        EXPECT_EQ(line["result"], "done");
        EXPECT_TRUE(line["file"] == hex ? holds(sim, blink) : line["file"] == other && holds(sim, pattern))
            << line;
    }

    // A manual run writes a slow board; a station started meanwhile leaves
    // it alone, also after the manual run ended, and writes the other one.
    reset();
    std::remove(log.c_str());
    const std::string big = write_scratch_file("4k.hex", hex_file_for(pattern_bytes(0, 0x1000)));
    SimOptions slow = numbered_board(0);
    slow.report_delay_us = 10000;  // about 260 reports: 2.6 s
    add_device(0, 0x5E1A, 0x0001, slow);
    BackgroundRun writer = start_quorvel({"-mmcu=atmega32u4", "-device=/dev/hidraw0", big});
    pause(0.5);
    BackgroundRun station =
        start_quorvel({"-station", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    ASSERT_TRUE(wait_for(station.out_path, "/dev/hidraw0\tQV-0\t\tHeld by another run: left alone\n"));
    EXPECT_EQ(finish_quorvel(writer, 20).status, 0);
    add_device(1, 0x5E1A, 0x0001, numbered_board(1));
    ASSERT_TRUE(wait_for(station.out_path, "/dev/hidraw1\tQV-1\t\tDone in "));
    pause(1.0);  // board 0, free now, stays unwritten by the station
    kill(station.pid, SIGTERM);
    ProcessResult ended = finish_quorvel(station, 20);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_EQ(count_of(ended.out, "\tProgramming\n"), 1u) << ended.out;
    EXPECT_EQ(count_of(ended.out, "Held by another run"), 1u) << ended.out;  // said once
    EXPECT_TRUE(holds(finish(0), pattern_image(0x1000)));  // the manual run's, not overwritten
    EXPECT_TRUE(holds(finish(1), blink));
    const std::vector<json> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["path"], "/dev/hidraw1");
}

// A station killed outright while it writes two boards: each board's copy
// writes its own line, interrupted, so the log holds a parsable line for
// each board whose upload began.
TEST_F(StationFaults, SigkillMidWriteLeavesALineForEachBoardBegun)
{
    std::remove(log.c_str());
    const std::string big = write_scratch_file("16k.hex", hex_file_for(pattern_bytes(0, 0x4000)));
    for (int number : {0, 1}) {
        SimOptions slow = numbered_board(number);
        slow.report_delay_us = 20000;
        add_device(number, 0x5E1A, 0x0001, slow);
    }
    BackgroundRun run = start_quorvel({"-station", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", big});
    ASSERT_TRUE(wait_for(run.out_path, "\tProgramming\n", 2));
    pause(1.5);  // past the begin command, into the blocks
    kill(run.pid, SIGKILL);
    EXPECT_EQ(finish_quorvel(run, 10).status, 128 + SIGKILL);
    bool logged = false;
    for (int waited = 0; waited < 1000 && !logged; ++waited, pause(0.01))
        logged = count_of(read_whole_file(log), "\n") >= 2;
    const std::vector<json> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 2u) << read_whole_file(log);
    std::map<std::string, int> boards;
    for (const json &line : lines) {
        ++boards[line["path"]];
        EXPECT_TRUE(std::string(line["result"]).starts_with("quorvel: interrupted after block ")) << line;
        EXPECT_EQ(line["file"], big);
    }
    EXPECT_EQ(boards, (std::map<std::string, int>{{"/dev/hidraw0", 1}, {"/dev/hidraw1", 1}}));
}

// Under -all, each board's line has the time at which that board ended.
TEST_F(StationFaults, EachLineOfAllHasItsBoardsOwnTime)
{
    std::remove(log.c_str());
    const std::string big = write_scratch_file("4k.hex", hex_file_for(pattern_bytes(0, 0x1000)));
    SimOptions slow = numbered_board(0);
    slow.report_delay_us = 15000;  // about 260 reports of 15 ms: ends seconds after the other
    add_device(0, 0x5E1A, 0x0001, slow);
    add_device(1, 0x5E1A, 0x0001, numbered_board(1));
    ProcessResult ran = run_quorvel({"-all", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", big});
    ASSERT_EQ(ran.status, 0) << ran.err;
    std::map<std::string, std::time_t> ended;
    for (const json &line : log_lines(log)) {
        std::tm parts{};
        std::istringstream(std::string(line["time"])) >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%SZ");
        ended[line["path"]] = timegm(&parts);
    }
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_GE(ended["/dev/hidraw0"] - ended["/dev/hidraw1"], 2);
}

// A shift of many boards runs in constant memory: from the 16th board to
// the 112th, the station's resident memory grows by less than 2 KiB per
// board (each board's events, kept for the run, took about 15 KiB).
TEST_F(StationFaults, MemoryStaysFlatOverAShift)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "SKIPPED: under AddressSanitizer freed memory stays in its quarantine, so resident memory "
                    "says nothing of what the station keeps; the plain build measures it";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "SKIPPED: under AddressSanitizer freed memory stays in its quarantine, so resident memory "
                    "says nothing of what the station keeps; the plain build measures it";
#endif
#endif
    const std::string big = write_scratch_file("16k.hex", hex_file_for(pattern_bytes(0, 0x4000)));
    std::remove(log.c_str());
    BackgroundRun run = start_quorvel({"-station", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", big});
    constexpr int AT_ONCE = 8, ROUNDS = 14;
    long base = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        for (int number = 0; number < AT_ONCE; ++number)
            add_device(number, 0x5E1A, 0x0001, numbered_board(number));
        // Each board ended, done or not (on a loaded machine a report may
        // miss its time limit): its log line is there.
        ASSERT_TRUE(wait_for(log, "\n", size_t(AT_ONCE * (round + 1)), 60)) << round;
        for (int number = 0; number < AT_ONCE; ++number)
            unplug(number);
        if (round == 1)
            base = resident_kib(run.pid);
    }
    const long end = resident_kib(run.pid);
    const int boards = AT_ONCE * (ROUNDS - 2);
    const double per_board = double(end - base) / boards;
    std::printf("station resident memory: %ld KiB after %d boards, %ld KiB after %d: %.2f KiB per board\n",
                base, AT_ONCE * 2, end, AT_ONCE * ROUNDS, per_board);
    kill(run.pid, SIGTERM);
    ProcessResult ended = finish_quorvel(run, 20);
    EXPECT_EQ(count_of(ended.out, "\tProgramming\n"), size_t(AT_ONCE * ROUNDS));
    EXPECT_EQ(log_lines(log).size(), size_t(AT_ONCE * ROUNDS));
    EXPECT_LT(per_board, 2.0);
}

}  // namespace
