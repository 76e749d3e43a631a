// Runs of several boards whose output is not read (a -json reader that
// stopped, a terminal held by Ctrl-S): boards start and are logged all the
// same. The live view on unusual terminals: wide characters, few rows,
// TERM=dumb, 20 columns.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

size_t count_of(const std::string &text, const std::string &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// Waits until the file holds `times` lines, at most `limit` seconds;
// returns the lines it holds then.
size_t wait_for_lines(const std::string &path, size_t times, double limit)
{
    const auto until = Clock::now() + std::chrono::duration<double>(limit);
    size_t lines = 0;
    while ((lines = count_of(read_whole_file(path), "\n")) < times && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return lines;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The columns that the test's texts take: the CJK ideographs used here take
// two, any other character one.
size_t columns_of(const std::string &text)
{
    size_t columns = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80)
            continue;
        columns += byte == 0xE6 || byte == 0xE5 ? 2 : 1;  // U+5000-U+6FFF
    }
    return columns;
}

// The pieces of text between cursor movements and line starts.
std::vector<std::string> pieces_of(const std::string &shown)
{
    const std::string pieces = std::regex_replace(shown, std::regex("\x1b\\[[0-9;]*[A-Za-z]|\r"), "\n");
    std::vector<std::string> result;
    std::istringstream lines(pieces);
    for (std::string line; std::getline(lines, line);)
        result.push_back(line);
    return result;
}

class StationOutput : public SimulatedBench {
  protected:
    void SetUp() override
    {
        SimulatedBench::SetUp();
        if (std::string(QUORVEL_EXAMPLE_BIN).empty())
            GTEST_SKIP() << "SKIPPED: avr-objcopy was not found when the tests were configured";
    }
    const std::string hex = example_hex_path();
    const std::string log = scratch_dir() + "/station-output.log";
};

// A -json reader that reads one line and then stops: the 8 boards are all
// started, written and logged while it does not read; once it reads again,
// every board's start and end comes, and the block events that did not
// fit in the queue are counted in a note.
TEST_F(StationOutput, JsonReaderThatStopsHoldsUpNoBoard)
{
    // 224 blocks a board: 8 boards give far more events than a pipe holds.
    const std::string file = write_scratch_file("big.hex", hex_file_for(pattern_bytes(0, 224 * 128)));
    std::remove(log.c_str());
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const std::string err_path = scratch_dir() + "/json-stopped.err";
    std::vector<std::string> argv{QUORVEL_BINARY, "-station=8", "-json", "-log=" + log, "-mmcu=atmega32u4",
                                  "-usb=5e1a:1", file};
    pid_t pid = fork();
    if (pid == 0) {
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(pipe_ends[1], 1);
        dup2(err, 2);
        close(pipe_ends[0]);
        exec_program(argv);
    }
    close(pipe_ends[1]);
    FILE *events = fdopen(pipe_ends[0], "r");
    char first[4096];
    ASSERT_NE(std::fgets(first, sizeof first, events), nullptr);  // then the reader stops
    const auto plugged = Clock::now();
    for (int number = 0; number < 8; ++number)
        add_device(number, 0x5E1A, 0x0001, numbered_board(number));
    const size_t logged = wait_for_lines(log, 8, 30);
    const double seconds = seconds_since(plugged);
    // The station now waits only for its reader: read everything.
    std::string out = first;
    for (char line[4096]; std::fgets(line, sizeof line, events);)
        out += line;
    std::fclose(events);
    int status = -1;
    waitpid(pid, &status, 0);
    const std::string err = read_whole_file(err_path);
    std::printf("8 boards logged %zu lines %.2f s after they were plugged in, while -json was not read\n",
                logged, seconds);

    EXPECT_EQ(logged, 8u) << err;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
    EXPECT_EQ(count_of(out, "\"event\":\"board_started\""), 8u);
    EXPECT_EQ(count_of(out, "\"event\":\"board_ended\",\"result\":\"done\""), 8u) << out.substr(out.size() - 2000);
    EXPECT_EQ(count_of(out, "\"event\":\"summary\""), 1u);
    const size_t blocks = count_of(out, "\"event\":\"block\"");
    // The notes: one each time drops were told.
    size_t dropped = 0;
    std::smatch note;
    const std::regex said("quorvel: ([0-9]+) progress lines? dropped: standard output was not read in time");
    for (std::string rest = err; std::regex_search(rest, note, said); rest = note.suffix())
        dropped += std::stoul(note[1]);
    EXPECT_GT(dropped, 0u) << err;
    // Every block event either came or was counted as dropped.
    EXPECT_EQ(blocks + dropped, 8u * 224u) << err;
    for (int number = 0; number < 8; ++number)
        EXPECT_TRUE(finish(number).errors.empty());
}

// A terminal held by Ctrl-S (its output stopped) from the start of a
// station with 4 boards plugged in: they are written and logged all the same; once it goes on,
// the live view shows each board done.
TEST_F(StationOutput, TerminalHeldByCtrlSHoldsUpNoBoard)
{
    std::remove(log.c_str());
    size_t logged = 0;
    double seconds = 0;
    TerminalRun terminal;
    terminal.term = "xterm";
    for (int number = 0; number < 4; ++number) {
        SimOptions options = numbered_board(number);
        options.report_delay_us = 20000;  // about 0.35 s a board
        add_device(number, 0x5E1A, 0x0001, options);
    }
    const auto plugged = Clock::now();
    terminal.while_running = [&](int, int held) {
        tcflow(held, TCOOFF);
        logged = wait_for_lines(log, 4, 15);
        seconds = seconds_since(plugged);
        tcflow(held, TCOON);
    };
    const std::string shown =
        run_on_terminal({"-station=4", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex}, terminal);
    std::printf("4 boards logged %zu lines %.2f s after they were plugged in, while the terminal was held\n",
                logged, seconds);
    EXPECT_EQ(logged, 4u) << shown;
    EXPECT_LT(seconds, 10.0);
    for (int number = 0; number < 4; ++number)
        EXPECT_NE(shown.find("/dev/hidraw" + std::to_string(number) + " QV-" + std::to_string(number) +
                             " done in "),
                  std::string::npos)
            << shown;
}

// The live view on terminals that differ: no piece wider than the terminal
// less one, counted in columns; never more lines redrawn than the rows
// hold; no escape at all for TERM=dumb; the counts first at 20 columns.
TEST_F(StationOutput, LiveViewFitsTheTerminal)
{
    static const std::string wide_serial = "QV-漢字漢字漢字漢字漢字漢字漢字漢字";  // 3 + 32 columns
    static std::vector<std::string> serials;
    for (int number = 0; number < 30; ++number)
        serials.push_back("QV-" + std::to_string(number));
    const struct {
        const char *name;
        int boards;
        unsigned short columns, rows;
        const char *term;
        bool wide;
    } cases[] = {
        {"wide characters in a serial number", 2, 40, 24, "xterm", true},
        {"30 boards on 12 rows", 30, 80, 12, "xterm", false},
        {"TERM=dumb", 2, 80, 24, "dumb", false},
        {"20 columns", 2, 20, 24, "xterm", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (int number = 0; number < c.boards; ++number) {
            SimOptions options;
            options.report_delay_us = 20000;  // 17 reports: about 0.35 s a board
            options.serial = c.wide && number == 0 ? wide_serial.c_str() : serials[size_t(number)].c_str();
            add_device(number, 0x5E1A, 0x0001, options);
        }
        TerminalRun terminal;
        terminal.columns = c.columns;
        terminal.rows = c.rows;
        terminal.term = c.term;
        const std::string shown = run_on_terminal({"-all", "-mmcu=atmega32u4", "-usb=5e1a:1", hex}, terminal);
        reset();
        // The live part: after the first message, before the last (messages may wrap).
        std::string live = shown.substr(0, shown.find("\nDone."));
        live = live.substr(live.find("at once") + 7);
        if (std::string(c.term) == "dumb") {
            EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
            EXPECT_NE(shown.find("Done."), std::string::npos) << shown;  // the plain lines go to standard output
            continue;
        }
        for (const std::string &piece : pieces_of(live))
            EXPECT_LT(columns_of(piece), size_t(c.columns)) << piece;
        // Back over at most the rows less one: nothing is pushed into the scrollback.
        std::smatch up;
        size_t most = 0;
        for (std::string rest = live; std::regex_search(rest, up, std::regex("\x1b\\[([0-9]+)A"));
             rest = up.suffix())
            most = std::max(most, size_t(std::stoul(up[1])));
        EXPECT_LE(most + 1, size_t(c.rows - 1)) << shown;
        if (c.boards == 30) {
            EXPECT_NE(live.find(" more in progress"), std::string::npos) << shown;
        }
        if (c.wide) {
            EXPECT_NE(live.find("QV-漢字"), std::string::npos) << shown;
            // Cut at the terminal's width, not before: the line with the
            // long serial fills the columns less one (or two, when the next
            // character is wide).
            size_t widest = 0;
            for (const std::string &piece : pieces_of(live))
                if (piece.find("QV-漢字") != std::string::npos)
                    widest = std::max(widest, columns_of(piece));
            EXPECT_GE(widest, size_t(c.columns - 2)) << shown;
        }
        if (c.columns == 20) {
            EXPECT_NE(live.find("\x1b[J0 done, 0 fail"), std::string::npos) << shown;
        }
    }
}

}  // namespace
