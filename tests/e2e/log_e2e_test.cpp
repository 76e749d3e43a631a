// The -log= file under production faults: a named pipe that nobody reads, a
// pipe or a device that cannot be flushed to a disk, a full disk, and a
// disk that fills up and is freed while a station runs.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Log : public SimulatedBench {
  protected:
    void SetUp() override
    {
        SimulatedBench::SetUp();
        if (IsSkipped())
            return;
        fs::create_directories(small_disk);
        // 16 KiB: four pages for the log and a filler that takes the rest.
        ASSERT_EQ(mount("tmpfs", small_disk.c_str(), "tmpfs", 0, "size=16k,mode=0755"), 0) << strerror(errno);
    }
    void TearDown() override
    {
        umount2(small_disk.c_str(), MNT_DETACH);
        SimulatedBench::TearDown();
    }

    // Fills the small disk but for what is left free of the log's last page.
    void fill_disk()
    {
        std::string filler(4096, 'x');
        FILE *file = std::fopen((small_disk + "/filler").c_str(), "a");
        ASSERT_NE(file, nullptr);
        while (std::fwrite(filler.data(), 1, filler.size(), file) == filler.size() && std::fflush(file) == 0) {
        }
        std::fclose(file);
    }
    void free_disk() { fs::remove(small_disk + "/filler"); }

    const std::string hex = example_hex_path();
    const std::string small_disk = scratch_dir() + "/small-disk";
    const std::string log = small_disk + "/boards.log";
};

// Each line of the file parses on its own: none is torn or glued to another.
size_t whole_lines(const std::string &text)
{
    std::istringstream lines(text);
    size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(json::parse(line, nullptr, false).is_object()) << line;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
    return count;
}

// A log that cannot be opened, or that is no file on a disk: a named pipe
// that nobody reads is refused at once and nothing is written; a pipe gets
// every line and the run does not fail for want of a disk to flush to;
// /dev/full fails the run and shows the line.
TEST_F(Log, EveryKindOfLogTarget)
{
    const std::string fifo = scratch_dir() + "/log.fifo";
    fs::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string run = "\"$0\" -mmcu=atmega32u4 -usb=5e1a:1 " + hex;
    const struct {
        const char *name;
        std::string command;  // the run, by the shell; $0 is quorvel
        int status;
        std::string err;      // a piece of standard error
        int reports;          // that the board took
        size_t lines;         // in what the pipe delivered (standard output here)
    } cases[] = {
        {"a named pipe without a reader", run + " -log=" + fifo, 1,
         "cannot open the log " + fifo + ": no program is reading it\nNothing was written.", 0, 0},
        {"a pipe", run + " -log=/proc/self/fd/1 | cat", 0, "Done.", 17, 1},
        {"a named pipe with a reader", "cat " + fifo + " & sleep 0.2; " + run + " -log=" + fifo + "; wait", 0,
         "Done.", 17, 1},
        {"/dev/full", run + " -log=/dev/full", 1, "the log /dev/full is incomplete: 1 line shown above", 17, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        add_device(0, 0x5E1A, 0x0001, numbered_board(0));
        ProcessResult result = run_process({"/bin/sh", "-c", c.command, QUORVEL_BINARY}, kill_after(20));
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        EXPECT_EQ(finish(0).frames.size(), size_t(c.reports));
        // Only the banner and the log's lines come on standard output.
        const std::string out = result.out.substr(result.out.find('{') == std::string::npos ? result.out.size()
                                                                                           : result.out.find('{'));
        EXPECT_EQ(whole_lines(out), c.lines) << result.out;
        if (c.status != 0 && c.reports > 0) {
            // The line that could not be written is on standard error, whole.
            const size_t at = result.err.find("{\"time\":");
            ASSERT_NE(at, std::string::npos) << result.err;
            const std::string line = result.err.substr(at, result.err.find('\n', at) - at);
            EXPECT_EQ(json::parse(line, nullptr, false)["serial"], "QV-0") << line;
        }
    }
}

// A full disk: the part of a line that the disk took is cut off again, the
// line is shown whole on standard error and the run fails; once there is
// room, the next run's line follows the earlier ones whole.
TEST_F(Log, AFullDiskNeverTearsALine)
{
    // Nearly a page of earlier lines: the next line needs a page more.
    const std::string earlier = R"({"time":"2026-12-09T00:00:00Z","result":"done","padding":")" +
                                std::string(3900, 'p') + "\"}\n";
    write_scratch_file("small-disk/boards.log", earlier);
    fill_disk();
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    ProcessResult full = run_quorvel({"-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    EXPECT_EQ(full.status, 1) << full.err;
    EXPECT_NE(full.err.find("cannot write the log " + log + ": the disk is full"), std::string::npos) << full.err;
    EXPECT_NE(full.err.find("\"serial\":\"QV-0\""), std::string::npos) << full.err;
    EXPECT_EQ(read_whole_file(log), earlier);

    free_disk();
    ProcessResult room = run_quorvel({"-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    EXPECT_EQ(room.status, 0) << room.err;
    const std::string text = read_whole_file(log);
    EXPECT_EQ(whole_lines(text), 2u);
    EXPECT_EQ(text.substr(0, earlier.size()), earlier);
}

// A station whose disk fills up: the line of the board that ended then is
// shown and kept; once there is room again, it is written with the next
// board's line, and the run ends well. While the disk stays full, the lines
// are shown and the run fails, saying that the log is incomplete.
TEST_F(Log, AStationWritesTheLinesKeptBackOnceThereIsRoom)
{
    if (std::string(QUORVEL_EXAMPLE_BIN).empty())
        GTEST_SKIP() << "SKIPPED: avr-objcopy was not found when the tests were configured";
    for (bool room_again : {true, false}) {
        SCOPED_TRACE(room_again ? "room again" : "full to the end");
        reset();
        free_disk();
        write_scratch_file("small-disk/boards.log", std::string(4000, 'q') + "\n");
        fill_disk();
        BackgroundRun run = start_quorvel({"-station=2", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
        add_device(0, 0x5E1A, 0x0001, numbered_board(0));
        bool kept = false;
        for (int i = 0; i < 1500 && !kept; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            kept = read_whole_file(run.err_path).find("to be tried again") != std::string::npos;
        ASSERT_TRUE(kept) << read_whole_file(run.err_path);
        if (room_again)
            free_disk();
        add_device(1, 0x5E1A, 0x0001, numbered_board(1));
        ProcessResult result = finish_quorvel(run);
        const std::string text = read_whole_file(log);
        if (room_again) {
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_NE(result.err.find("wrote 1 line to the log " + log + " that could not be written before"),
                      std::string::npos)
                << result.err;
            EXPECT_EQ(whole_lines(text.substr(4001)), 2u);
        } else {
            EXPECT_EQ(result.status, 1) << result.err;
            EXPECT_NE(result.err.find("the log " + log + " is incomplete: 2 lines shown above"), std::string::npos)
                << result.err;
            EXPECT_EQ(text.size(), 4001u);  // nothing torn onto the end
            for (const char *serial : {"\"serial\":\"QV-0\"", "\"serial\":\"QV-1\""})
                EXPECT_NE(result.err.find(serial), std::string::npos) << result.err;
        }
    }
}

// A station whose log cannot be written, with -json: the board is done,
// but the run ends with 1, and the summary's ok says exactly that (ok is
// status == 0), for -station and for -all alike.
TEST_F(Log, TheSummarySaysNotOkWhenTheLogFailed)
{
    if (std::string(QUORVEL_EXAMPLE_BIN).empty())
        GTEST_SKIP() << "SKIPPED: avr-objcopy was not found when the tests were configured";
    for (const char *kind : {"-station=1", "-all"}) {
        SCOPED_TRACE(kind);
        reset();
        free_disk();
        write_scratch_file("small-disk/boards.log", std::string(4000, 'q') + "\n");
        fill_disk();
        add_device(0, 0x5E1A, 0x0001, numbered_board(0));
        BackgroundRun run = start_quorvel({kind, "-json", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
        ProcessResult result = finish_quorvel(run, 30);
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_NE(result.err.find("\"serial\":\"QV-0\""), std::string::npos) << result.err;  // the line, shown
        const std::string last = result.out.substr(result.out.rfind('\n', result.out.size() - 2) + 1);
        const json summary = json::parse(last, nullptr, false);
        ASSERT_TRUE(summary.is_object()) << result.out;
        EXPECT_EQ(summary["event"], "summary");
        EXPECT_EQ(summary["done"], 1);
        EXPECT_EQ(summary["failed"], 0);
        EXPECT_EQ(summary["ok"], false);
        EXPECT_EQ(read_whole_file(log).size(), 4001u);  // nothing torn onto the end
    }
}

// Each line goes to the disk before the run goes on: seen at the system
// calls, where nothing else can see it. In every process that writes the
// log (the run, and under -all the run that gathers the copies' ends), the
// write of each line is followed at once by an fsync of the same file.
TEST_F(Log, EachLineIsFlushedToTheDiskRightAfterItsWrite)
{
    std::string strace = "/usr/bin/strace";
    if (!fs::exists(strace))
        GTEST_FAIL() << "strace is missing: install Debian's strace package (the README's Quick start does)";
    const std::string on_disk = scratch_dir() + "/flushed.log";
    const struct {
        std::vector<std::string> run;
        size_t lines;
    } cases[] = {
        {{"-device=/dev/hidraw0"}, 1},
        {{"-all"}, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.run[0]);
        reset();
        fs::remove(on_disk);
        add_device(0, 0x5E1A, 0x0001, numbered_board(0));
        add_device(1, 0x5E1A, 0x0001, numbered_board(1));
        const std::string trace = scratch_dir() + "/fsync.trace";
        // LeakSanitizer cannot work under ptrace: a sanitized build leaves it out here.
        std::vector<std::string> argv{strace, "-f", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                                      "trace=openat,write,fsync", "-o", trace,
                                      QUORVEL_BINARY, "-log=" + on_disk, "-mmcu=atmega32u4", "-usb=5e1a:1", hex};
        argv.insert(argv.end(), c.run.begin(), c.run.end());
        ProcessResult result = run_process(argv, kill_after(30));
        ASSERT_EQ(result.status, 0) << result.err;
        // Per process: the log's descriptor, and whether its last call was
        // a line's write still waiting for its fsync.
        std::map<std::string, std::string> log_fd;
        std::map<std::string, bool> unflushed, opening;
        size_t lines = 0, flushed = 0;
        std::istringstream calls(read_whole_file(trace));
        for (std::string call; std::getline(calls, call);) {
            const std::string pid = call.substr(0, call.find(' '));
            const std::string rest = call.substr(call.find_first_not_of(' ', call.find(' ')));
            // Copies open the log side by side: strace may split an open
            // into its start ("<unfinished ...>") and its end ("resumed").
            if (rest.starts_with("openat(") && rest.find("\"" + on_disk + "\"") != std::string::npos) {
                if (rest.find("<unfinished") != std::string::npos)
                    opening[pid] = true;
                else if (rest.find("= ") != std::string::npos)
                    log_fd[pid] = rest.substr(rest.rfind("= ") + 2);
                continue;
            }
            if (rest.starts_with("<... openat resumed>") && opening[pid]) {
                opening[pid] = false;
                if (rest.find("= ") != std::string::npos)
                    log_fd[pid] = rest.substr(rest.rfind("= ") + 2);
                continue;
            }
            if (!log_fd.count(pid) || rest.starts_with("<... openat"))
                continue;
            const std::string fd = log_fd[pid];
            // The end of a write that strace showed split in two: the same call.
            // A signal delivered between two calls ("--- SIGCHLD ...") is no call.
            if (rest.starts_with("<... write resumed>") || rest.starts_with("---") || rest.starts_with("+++"))
                continue;
            if (unflushed[pid]) {
                EXPECT_TRUE(rest.starts_with("fsync(" + fd + ")") || rest.starts_with("fsync(" + fd + " <"))
                    << "after a line's write, process " << pid << " went on with: " << rest;
                flushed += rest.starts_with("fsync(" + fd);
                unflushed[pid] = false;
            } else if (rest.starts_with("write(" + fd + ", \"{\\\"time\\\"")) {
                ++lines;
                unflushed[pid] = true;
            }
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(flushed, c.lines);
        EXPECT_EQ(whole_lines(read_whole_file(on_disk)), c.lines);
    }
}

}  // namespace
