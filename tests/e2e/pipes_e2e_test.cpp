// Output that cannot be written: a closed pipe never ends a run (nor leaves
// a board half written), and a -json stream that cannot be written ends it
// with status 1 and one warning.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Runs quorvel with standard output on a pipe that nobody reads any more
// (its read end closed before the start), standard error to a file.
ProcessResult run_into_closed_pipe(const std::vector<std::string> &arguments)
{
    ProcessResult result;
    int ends[2];
    if (pipe(ends) != 0)
        return result;
    close(ends[0]);
    std::string err_path = scratch_dir() + "/closed-pipe-stderr.txt";
    pid_t child = fork();
    if (child == 0) {
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(ends[1], 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        std::vector<std::string> argv{QUORVEL_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        exec_program(argv);
    }
    close(ends[1]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.err = read_whole_file(err_path);
    return result;
}

void expect_flash(const SimResult &sim, const std::map<uint32_t, uint8_t> &bytes)
{
    EXPECT_TRUE(sim.errors.empty());
    ASSERT_GE(sim.flash.size(), size_t(bytes.rbegin()->first + 1));
    for (const auto &[address, value] : bytes)
        ASSERT_EQ(sim.flash[address], value) << "byte " << address;
}

TEST_F(SimulatedBench, ClosedPipeNeitherEndsTheRunNorStopsTheUpload)
{
    const std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, 0x400);
    const std::string hex = write_scratch_file("1k.hex", hex_file_for(bytes));

    // Every board at once: the parent's lines go nowhere, the status is the boards'.
    add_device(0, 0x5E1A, 0x0001);
    add_device(1, 0x5E1A, 0x0001);
    ProcessResult all = run_into_closed_pipe({"-all", "-mmcu=atmega32u4", "-usb=5e1a:1", hex});
    EXPECT_EQ(all.status, 0) << all.err;
    expect_flash(finish(0), bytes);
    expect_flash(finish(1), bytes);
    reset();

    // -touch= says what it did on standard output, then flashes the board.
    AppOptions app;
    app.reenumerate_seconds = 0.5;
    app.bootloader = 1;
    start_app(app);
    ProcessResult touched =
        run_into_closed_pipe({"-mmcu=atmega32u4", "-usb=5e1a:1", "-touch=/dev/ttyACM0", hex});
    double presented_at = -1;
    finish_app(presented_at);
    EXPECT_EQ(touched.status, 0) << touched.err;
    expect_flash(finish(1), bytes);
}

TEST_F(SimulatedBench, JsonThatCannotBeWrittenWarnsOnceAndFails)
{
    add_device(0, 0x5E1A, 0x0001);
    ProcessResult run = run_process({"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/full", QUORVEL_BINARY,
                                     "-json", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    SimResult sim = finish(0);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "quorvel: warning: cannot write the JSON events: No space left on device\n\nDone.\n\n");
    EXPECT_EQ(sim.frames.size(), 17u);  // the board itself was programmed
}

// Under -all, standard output goes through a writer thread: a failed
// write there warns once, as a run of one board does, and turns the status
// into 1, after every board was programmed.
TEST_F(SimulatedBench, AllBoardsJsonThatCannotBeWrittenWarnsOnceAndFails)
{
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    add_device(1, 0x5E1A, 0x0001, numbered_board(1));
    ProcessResult run =
        run_process({"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/full", QUORVEL_BINARY, "-all", "-json",
                     "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()},
                    kill_after(20));
    EXPECT_EQ(finish(0).frames.size(), 17u);
    EXPECT_EQ(finish(1).frames.size(), 17u);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "quorvel: warning: cannot write the JSON events: No space left on device\nProgramming 2 "
                       "boards at once\n/dev/hidraw0\tQV-0\t\tDone\n/dev/hidraw1\tQV-1\t\tDone\n\nDone.\n\n");
}

// -all reads the file once and hands every board's copy the same bytes:
// a pipe or a FIFO cannot be read again.
TEST_F(SimulatedBench, EveryBoardGetsTheFileReadOnceFromAPipe)
{
    const std::map<uint32_t, uint8_t> bytes = pattern_bytes(0, 0x400);
    const std::string hex = write_scratch_file("piped.hex", hex_file_for(bytes));
    const std::string fifo = scratch_dir() + "/hex-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const char *const QUORVEL_ALL = "\"$0\" -all -mmcu=atmega32u4 -usb=5e1a:1";
    for (const std::string &line : {std::string("cat \"$1\" | exec ") + QUORVEL_ALL + " /dev/fd/0",
                                    std::string("cat \"$1\" > \"$2\" & exec ") + QUORVEL_ALL + " \"$2\""}) {
        SCOPED_TRACE(line);
        add_device(0, 0x5E1A, 0x0001);
        add_device(1, 0x5E1A, 0x0001);
        ProcessResult run = run_process({"/bin/sh", "-c", line, QUORVEL_BINARY, hex, fifo}, kill_after(10));
        EXPECT_EQ(run.status, 0) << run.err;
        expect_flash(finish(0), bytes);
        expect_flash(finish(1), bytes);
        reset();
    }
}

}  // namespace
