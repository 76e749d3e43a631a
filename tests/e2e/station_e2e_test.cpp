// -station: boards that appear while it runs, each programmed once; the
// live view on a terminal; the -log= file.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <regex>
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

// Waits until the file holds `piece` `times` times, at most 15 s.
bool wait_for(const std::string &path, const std::string &piece, size_t times = 1)
{
    for (int waited = 0; waited < 1500; ++waited) {
        if (count_of(read_whole_file(path), piece) >= times)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void pause(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

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

void expect_written(const SimResult &sim, const std::string &expected, const std::string &label)
{
    EXPECT_TRUE(sim.errors.empty()) << label;
    ASSERT_EQ(sim.frames.size(), 17u) << label;  // once: the begin command, 2 blocks, finish, start
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(sim.flash[i], uint8_t(expected[i])) << label << " byte " << i;
}

class Station : public SimulatedBench {
  protected:
    void SetUp() override
    {
        SimulatedBench::SetUp();
        if (std::string(QUORVEL_EXAMPLE_BIN).empty())
            GTEST_SKIP() << "SKIPPED: avr-objcopy was not found when the tests were configured: install "
                            "binutils-avr, then run cmake again";
    }
    const std::string hex = example_hex_path();
    const std::string log = scratch_dir() + "/station.log";
};

// Boards plugged in one after another and three at once: each written once,
// a board that stays is not written again, one plugged in again is, a
// stalled one fails alone; a file changed on the disk meanwhile changes
// nothing written; SIGTERM ends with the summary and a whole log.
TEST_F(Station, EachBoardOnceAsItAppears)
{
    const std::string expected = read_whole_file(QUORVEL_EXAMPLE_BIN);
    const std::string file = write_scratch_file("station.hex", read_whole_file(hex));
    const std::string file_sha256 = sha256sum(file);
    std::remove(log.c_str());
    BackgroundRun run = start_quorvel({"-station", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", file});
    pause(0.3);
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    ASSERT_TRUE(wait_for(run.out_path, "/dev/hidraw0\tQV-0\t\tDone in "));
    for (int number : {1, 2, 3})
        add_device(number, 0x5E1A, 0x0001, numbered_board(number, number == 3 ? 10 : -1));
    ASSERT_TRUE(wait_for(run.out_path, "\tDone in ", 3));
    ASSERT_TRUE(wait_for(run.out_path, "/dev/hidraw3\tQV-3\t\tError writing to device: "));
    pause(0.5);  // board 0 stayed all along
    expect_written(unplug(0), expected, "board 0, first");
    write_scratch_file("station.hex", hex_file_for(pattern_bytes(0, 0x100)));
    pause(0.3);
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    ASSERT_TRUE(wait_for(run.out_path, "\tDone in ", 4));
    kill(run.pid, SIGTERM);
    ProcessResult ended = finish_quorvel(run);

    EXPECT_EQ(ended.status, 1) << ended.err;
    EXPECT_EQ(count_of(ended.out, "\tProgramming\n"), 5u) << ended.out;
    EXPECT_NE(ended.err.find("\nStation stopped by SIGTERM after "), std::string::npos) << ended.err;
    EXPECT_NE(ended.err.find(" s: 4 boards done, 1 failed\nFailed: /dev/hidraw3\tQV-3\t\tError writing to "
                             "device: The data command of the block at 0x0080 failed"),
              std::string::npos)
        << ended.err;
    EXPECT_EQ(ended.err.find('\x1b'), std::string::npos);  // no redrawing into a file
    EXPECT_EQ(count_of(ended.err, "quorvel: warning: \"" + file +
                                      "\" changed on the disk: every board still "
                                      "gets the firmware read at the start (SHA-256 " +
                                      file_sha256 + ")\n"),
              1u)
        << ended.err;
    for (int number : {0, 1, 2})
        expect_written(finish(number), expected, "board " + std::to_string(number));
    EXPECT_EQ(finish(3).frames.size(), 10u);

    const std::vector<json> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 5u);
    const std::string image =
        write_scratch_file("sent.bin", expected + std::string(256 - expected.size(), '\xFF'));
    int done = 0;
    for (const json &line : lines) {
        EXPECT_TRUE(
            std::regex_match(std::string(line["time"]), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
            << line;
        EXPECT_EQ(line["file"], file);
        EXPECT_EQ(line["sha256"], file_sha256);
        EXPECT_EQ(line["image_sha256"], sha256sum(image));
        EXPECT_EQ(line["mcu"], "atmega32u4");
        EXPECT_EQ(line["vendor_id"], "5e1a");
        EXPECT_EQ(line["version"], "1.0");
        EXPECT_GT(line["seconds"], 1.0);
        const bool stalled = line["path"] == "/dev/hidraw3";
        EXPECT_EQ(line["serial"], std::string(line["path"]).replace(0, 11, "QV-"));
        done += line["result"] == "done";
        EXPECT_EQ(std::string(line["result"]).starts_with("Error writing to device: "), stalled) << line;
    }
    EXPECT_EQ(done, 4);
}

// -station=3 ends by itself after three boards, its -json stream live and
// tagged; a station killed outright has logged every board it said was done.
TEST_F(Station, EndsAfterNAndLosesNoLineToSigkill)
{
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed);
        std::remove(log.c_str());
        for (int number : {0, 1, 2, 3})
            add_device(number, 0x5E1A, 0x0001, numbered_board(number));
        BackgroundRun run = start_quorvel({killed ? "-station" : "-station=3", killed ? "-v" : "-json",
                                           "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
        if (killed) {
            ASSERT_TRUE(wait_for(run.out_path, "\tDone in "));
            kill(run.pid, SIGKILL);
        }
        ProcessResult ended = finish_quorvel(run);
        int written = 0;
        for (int number : {0, 1, 2, 3})
            written += finish(number).frames.size() == 17;
        reset();
        const size_t lines = log_lines(log).size();
        if (killed) {
            EXPECT_EQ(ended.status, 128 + SIGKILL);
            EXPECT_GE(lines, count_of(ended.out, "\tDone in "));
            EXPECT_GE(lines, 1u);
            continue;
        }
        EXPECT_EQ(ended.status, 0) << ended.err;
        EXPECT_EQ(written, 3);
        EXPECT_EQ(lines, 3u);
        EXPECT_NE(ended.err.find("\nStation ended after "), std::string::npos) << ended.err;
        EXPECT_EQ(count_of(ended.err, "\tDone in "), 3u) << ended.err;  // people's lines, beside the stream
        std::map<std::string, int> kinds;
        std::istringstream stream(ended.out);
        json event;
        for (std::string line; std::getline(stream, line);) {
            event = json::parse(line, nullptr, false);
            ++kinds[event.value("event", "not JSON")];
            if (event.contains("board")) {
                EXPECT_EQ(event["board_serial"], std::string(event["board"]).replace(0, 11, "QV-")) << line;
            }
        }
        EXPECT_EQ(kinds, (std::map<std::string, int>{{"start", 1},
                                                     {"board_started", 3},
                                                     {"device", 3},
                                                     {"block", 6},
                                                     {"done", 3},
                                                     {"board_ended", 3},
                                                     {"summary", 1}}));
        EXPECT_EQ(event["event"], "summary");  // the last line
        EXPECT_EQ(event["done"], 3);
        EXPECT_EQ(event["ok"], true);
    }
}

// SIGTERM while boards are being written reaches each board's copy: each
// stops between two reports and says so, and the summary and log say it.
TEST_F(Station, SigtermStopsTheBoardsBeingWrittenBetweenReports)
{
    std::remove(log.c_str());
    const std::string big = write_scratch_file("16k.hex", hex_file_for(pattern_bytes(0, 0x4000)));
    for (int number : {0, 1})
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
    BackgroundRun run = start_quorvel({"-station", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", big});
    ASSERT_TRUE(wait_for(run.out_path, "\tProgramming\n", 2));
    pause(2.0);  // past the begin command's pause, well before the end
    kill(run.pid, SIGTERM);
    ProcessResult ended = finish_quorvel(run);
    EXPECT_EQ(ended.status, 1);
    EXPECT_NE(ended.err.find("\nStation stopped by SIGTERM after "), std::string::npos) << ended.err;
    for (int number : {0, 1}) {
        const std::string tag = "/dev/hidraw" + std::to_string(number) + "\tQV-" + std::to_string(number);
        EXPECT_NE(ended.err.find("Failed: " + tag + "\t\tquorvel: interrupted after block "),
                  std::string::npos)
            << ended.err;
        SimResult sim = finish(number);
        std::vector<int> commands = commands_of(sim.frames);
        EXPECT_TRUE(sim.held.empty());
        EXPECT_EQ(std::count(commands.begin(), commands.end(), 7), 0);  // the application is not started
    }
    const std::vector<json> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 2u);
    for (const json &line : lines)
        EXPECT_TRUE(std::string(line["result"]).starts_with("quorvel: interrupted after block ")) << line;
}

// The log of single runs, done and failed, and of -all: a line per board,
// each with its own board's time.
TEST_F(Station, LogOfSingleRunsAndOfEveryBoard)
{
    std::remove(log.c_str());
    const struct {
        std::vector<std::string> selection;
        int status;
        long report_delay_us;  // of the board that is done
    } runs[] = {
        {{"-device=/dev/hidraw0"}, 0, 1000}, {{"-device=/dev/hidraw1"}, 1, 1000}, {{"-all"}, 1, 25000}};
    for (const auto &run : runs) {
        // Fresh boards for each run: a stalled write keeps its node locked.
        reset();
        SimOptions slow = numbered_board(0);
        slow.report_delay_us = run.report_delay_us;
        add_device(0, 0x5E1A, 0x0001, slow);
        add_device(1, 0x5E1A, 0x0001, numbered_board(1, 10));
        std::vector<std::string> arguments{"-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex};
        arguments.insert(arguments.end(), run.selection.begin(), run.selection.end());
        EXPECT_EQ(run_quorvel(arguments).status, run.status) << run.selection[0];
    }
    const std::vector<json> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 4u);
    std::multiset<std::string> results;
    for (const json &line : lines) {
        EXPECT_EQ(line["sha256"], sha256sum(hex));
        results.insert(std::string(line["path"]) + " " + std::string(line["result"]).substr(0, 25));
    }
    EXPECT_EQ(results, (std::multiset<std::string>{"/dev/hidraw0 done", "/dev/hidraw0 done",
                                                   "/dev/hidraw1 Error writing to device: ",
                                                   "/dev/hidraw1 Error writing to device: "}));
    // Under -all, the slow board that is done (17 reports of 25 ms) took
    // longer than the one that stalled after 10 reports of 1 ms.
    const json &done = lines[2]["path"] == "/dev/hidraw0" ? lines[2] : lines[3];
    const json &stalled = lines[2]["path"] == "/dev/hidraw0" ? lines[3] : lines[2];
    EXPECT_GT(double(done["seconds"]) - double(stalled["seconds"]), 0.2) << done << "\n" << stalled;
}

// Three boards at once on terminals of 80 and 40 columns, by a station and
// by -all: redrawn in place, no piece of text between two line starts wider
// than the terminal less one.
TEST_F(Station, LiveViewRedrawsInPlaceAndNeverWraps)
{
    const struct {
        const char *run;
        unsigned short columns;
    } cases[] = {{"-station=3", 80}, {"-station=3", 40}, {"-all", 40}};
    for (auto [run, columns] : cases) {
        SCOPED_TRACE(std::string(run) + " " + std::to_string(columns));
        // Boards that end one after another: two rows stay live for about
        // 0.35 s, redrawn as their time left passes.
        for (int number : {0, 1, 2}) {
            SimOptions options = numbered_board(number);
            options.report_delay_us = 1000 + 20000 * number;
            add_device(number, 0x5E1A, 0x0001, options);
        }
        std::string shown = run_on_terminal({run, "-mmcu=atmega32u4", "-usb=5e1a:1", hex}, columns);
        reset();
        EXPECT_GT(count_of(shown, "\r\x1b[2A\x1b[J"), 3u) << shown;  // back over the status and two boards
        for (int number : {0, 1, 2})
            EXPECT_NE(shown.find("/dev/hidraw" + std::to_string(number) + " QV-" + std::to_string(number) +
                                 " done in "),
                      std::string::npos)
                << shown;
        EXPECT_NE(shown.find("%"), std::string::npos);
        const std::string live =
            shown.substr(0, shown.find("\nStation ended after "));  // a message, may wrap
        const std::string pieces = std::regex_replace(live, std::regex("\x1b\\[[0-9;]*[A-Za-z]|\r"), "\n");
        std::istringstream lines(pieces);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LT(line.size(), size_t(columns)) << line;
    }
}

}  // namespace
