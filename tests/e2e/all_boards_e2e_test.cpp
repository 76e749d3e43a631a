// Every matching board at once (-all), on simulated boards that take 1 ms
// over each report.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST_F(SimulatedBench, AllBoardsAtOnceEachFailingAlone)
{
    if (std::string(QUORVEL_EXAMPLE_BIN).empty())
        GTEST_SKIP()
            << "SKIPPED: avr-objcopy was not found when the tests were configured: install binutils-avr, "
               "then run cmake again";
    const std::string expected = read_whole_file(QUORVEL_EXAMPLE_BIN);
    for (int stalled : {-1, 5}) {
        SCOPED_TRACE(stalled);
        for (int number = 0; number < 8; ++number)
            add_device(number, 0x5E1A, 0x0001, numbered_board(number, number == stalled ? 10 : -1));
        ProcessResult run = run_quorvel({"-all", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
        std::string summary;
        for (int number = 0; number < 8; ++number) {
            SimResult sim = finish(number);
            std::string path = "/dev/hidraw" + std::to_string(number);
            std::string serial = "QV-" + std::to_string(number);
            if (number == stalled) {
                EXPECT_EQ(sim.frames.size(), 10u);
                summary +=
                    path + "\t" + serial + "\t\tError writing to device: The data command of the block at " +
                    "0x0080 failed: no answer within 50 ms. The flash is now only partly written. The " +
                    "board stopped answering: press its reset button to restart the bootloader, then run " +
                    "quorvel again\n";
                continue;
            }
            summary += path + "\t" + serial + "\t\tDone\n";
            EXPECT_TRUE(sim.errors.empty()) << path;
            ASSERT_EQ(sim.frames.size(), 17u) << path;
            for (size_t i = 0; i < expected.size(); ++i)
                ASSERT_EQ(sim.flash[i], uint8_t(expected[i])) << path << " byte " << i;
        }
        reset();
        EXPECT_NE(run.out.find(summary), std::string::npos) << run.out;
        EXPECT_EQ(run.status, stalled < 0 ? 0 : 1) << run.err;
        // The failed board by its path (the simulated boards have no location), to retry it alone.
        EXPECT_TRUE(run.err.ends_with(stalled < 0
                                          ? "\nDone.\n\n"
                                          : "\n1 of 8 boards failed\nFailed: /dev/hidraw5 "
                                            "(-device=/dev/hidraw5). To retry one of them, run quorvel "
                                            "again with its option in place of -all\n\n"))
            << run.err;
    }
}

TEST_F(SimulatedBench, AllBoardsWaitsForTheCountOrProgramsNone)
{
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    add_device(1, 0x5E1A, 0x0001, numbered_board(1));
    ProcessResult run =
        run_quorvel({"-all=3", "-w=2", "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "Unable to open device\n2 boards match, not 3: none was programmed (see quorvel -list)\n\n");
    EXPECT_GE(run.seconds, 2.0);
    EXPECT_LT(run.seconds, 3.0);
    EXPECT_TRUE(finish(0).frames.empty());
    EXPECT_TRUE(finish(1).frames.empty());
}

// Under -all -w, each board's copy rides out udev setting up its node, as
// a single -w run does.
TEST_F(SimulatedBench, AllBoardsWaitRidesOutUdevSettingUpTheNodes)
{
    std::string hex = write_scratch_file("user.hex", read_whole_file(example_hex_path()));
    SimOptions unopenable = numbered_board(0);
    unopenable.mode = 0000;
    add_device(0, 0x5E1A, 0x0001, unopenable);
    ProcessResult run = run_process({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     public_binary(), "-all", "-w", "-mmcu=atmega32u4", "-usb=5e1a:1", hex},
                                    [](int) {
                                        std::this_thread::sleep_for(std::chrono::seconds(1));
                                        set_mode(0, 0666);
                                    });
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(finish(0).frames.size(), 17u);
}

// The copy that the run `parent` started for the board at this path (its
// child whose command line holds -device=PATH), or -1 when there is none.
pid_t copy_for(pid_t parent, const std::string &path)
{
    pid_t found = -1;
    DIR *processes = opendir("/proc");
    if (!processes)
        return found;
    while (dirent *entry = readdir(processes)) {
        const pid_t pid = pid_t(std::atol(entry->d_name));
        if (pid <= 0)
            continue;
        const std::string proc = "/proc/" + std::to_string(pid);
        const std::string stat = read_whole_file(proc + "/stat");
        const size_t name_end = stat.rfind(')');
        long ppid = 0;
        char state = 0;
        if (name_end == std::string::npos ||
            std::sscanf(stat.c_str() + name_end + 1, " %c %ld", &state, &ppid) != 2 || ppid != parent)
            continue;
        std::string command = read_whole_file(proc + "/cmdline");
        if (command.find(std::string("-device=") + path + '\0') != std::string::npos)
            found = pid;
    }
    closedir(processes);
    return found;
}

// A copy killed mid-write fails alone: its line names the signal and says
// that its flash may be partly written; the other board is done; the run
// ends with status 1.
TEST_F(SimulatedBench, AllBoardsCopyKilledBySignalFailsAloneNamed)
{
    add_device(0, 0x5E1A, 0x0001, numbered_board(0));
    SimOptions slow = numbered_board(1);
    slow.report_delay_us = 150000;  // 17 reports: about 2.5 s
    add_device(1, 0x5E1A, 0x0001, slow);
    // The log: a copy writes its own line as it ends, but a copy killed
    // outright cannot; its line comes from the run that started it.
    const std::string log = scratch_dir() + "/killed.log";
    std::remove(log.c_str());
    BackgroundRun run =
        start_quorvel({"-all", "-log=" + log, "-mmcu=atmega32u4", "-usb=5e1a:1", example_hex_path()});
    pid_t copy = -1;
    for (int i = 0; i < 300 && copy < 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        copy = copy_for(run.pid, "/dev/hidraw1");
    }
    ASSERT_GT(copy, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));  // into its upload
    ASSERT_EQ(kill(copy, SIGKILL), 0);
    ProcessResult ended = finish_quorvel(run);
    SimResult fast = finish(0), killed = finish(1);
    reset();

    EXPECT_EQ(fast.frames.size(), 17u);
    EXPECT_GT(killed.frames.size(), 0u);
    EXPECT_LT(killed.frames.size(), 17u);
    EXPECT_EQ(ended.status, 1) << ended.err;
    EXPECT_NE(ended.out.find("/dev/hidraw0\tQV-0\t\tDone\n"), std::string::npos) << ended.out;
    EXPECT_NE(ended.out.find("/dev/hidraw1\tQV-1\t\tkilled by SIGKILL: its flash may be only partly written; "
                             "program it again (start its bootloader and run quorvel for it once more)\n"),
              std::string::npos)
        << ended.out;
    EXPECT_TRUE(
        ended.err.ends_with("\n1 of 2 boards failed\nFailed: /dev/hidraw1 (-device=/dev/hidraw1). To "
                            "retry one of them, run quorvel again with its option in place of -all\n\n"))
        << ended.err;
    const std::string lines = read_whole_file(log);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    EXPECT_NE(lines.find("\"path\":\"/dev/hidraw0\""), std::string::npos) << lines;
    EXPECT_NE(lines.find("\"result\":\"killed by SIGKILL"), std::string::npos) << lines;
}

}  // namespace
