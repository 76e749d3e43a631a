// Signals that stop a run mid-upload: the upload stops between two reports,
// says how far it got, and ends with 128 + the signal's number.
#include "sim_bench.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int REPORTS_PER_BLOCK = 7;  // 128-byte blocks: set-address, set-length, 4 data, block-done

WhileRunning signal_after(int signal, double seconds)
{
    return [signal, seconds](int pid) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        kill(pid, signal);
    };
}

TEST_F(SimulatedBench, SignalStopsTheUploadBetweenReports)
{
    const struct {
        int signal;
        const char *name;
        bool json;
    } cases[] = {{SIGINT, "SIGINT", false}, {SIGTERM, "SIGTERM", true}, {SIGHUP, "SIGHUP", false}};
    std::string hex = write_scratch_file("16k.hex", hex_file_for(pattern_bytes(0, 0x4000)));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions slow;
        slow.report_delay_us = 2000;
        add_device(0, 0x5E1A, 0x0001, slow);
        std::vector<std::string> arguments{"-mmcu=atmega32u4", "-usb=5e1a:1", hex};
        if (c.json)
            arguments.insert(arguments.begin(), "-json");
        // The begin command's pause ends at 1 s; the 128 blocks take 3 s more.
        ProcessResult run = run_quorvel(arguments, signal_after(c.signal, 1.8));
        SimResult sim = finish(0);
        reset();

        EXPECT_EQ(run.status, 128 + c.signal) << run.err;
        int done = -1, total = -1;
        ASSERT_EQ(std::sscanf(run.err.c_str(), "quorvel: interrupted after block %d of %d:", &done, &total),
                  2)
            << run.err;
        const std::string expected =
            "quorvel: interrupted after block " + std::to_string(done) +
            " of 128: " + "the board's flash is only partly written\nRun quorvel again with the " +
            "whole image: the board stays in its bootloader until it is told to " +
            "start the application\n\n";
        EXPECT_EQ(run.err, expected);
        EXPECT_GT(done, 0);
        EXPECT_LT(done, 128);
        // Every report taken whole, none cut short or left hanging, and the
        // count is right: the begin command, the finished blocks, part of the next.
        EXPECT_TRUE(sim.errors.empty());
        EXPECT_TRUE(sim.held.empty());
        EXPECT_GE(sim.frames.size(), size_t(1 + done * REPORTS_PER_BLOCK));
        EXPECT_LT(sim.frames.size(), size_t(1 + (done + 1) * REPORTS_PER_BLOCK));
        std::vector<int> commands = commands_of(sim.frames);
        EXPECT_EQ(std::count(commands.begin(), commands.end(), 7), 0);  // the application is not started
        if (c.json) {
            std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
            nlohmann::json event = nlohmann::json::parse(last, nullptr, false);
            EXPECT_EQ(event["event"], "error") << last;
            EXPECT_EQ(event["interrupted"], true) << last;
            EXPECT_EQ(event["signal"], c.name) << last;
            EXPECT_EQ(event["message"], expected.substr(0, expected.find('\n'))) << last;
        }
    }
}

// How many processes run the built quorvel.
int quorvel_processes()
{
    namespace fs = std::filesystem;
    const fs::path binary = fs::canonical(QUORVEL_BINARY);
    int count = 0;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc", error)) {
        fs::path exe = fs::read_symlink(entry.path() / "exe", error);
        count += !error && exe == binary;
    }
    return count;
}

// A signal to the -all parent reaches every board's copy: each stops
// between reports and says so, and the parent reports them all. A parent
// killed outright takes its copies along.
TEST_F(SimulatedBench, SignalToEveryBoardRunIsPassedOnToEachBoard)
{
    std::string hex = write_scratch_file("16k.hex", hex_file_for(pattern_bytes(0, 0x4000)));
    struct Case {
        int signal;
        bool json;  // then the summary must still be the last line of standard output
    };
    // Every stop signal that a terminal, a service manager or a closed
    // session sends: each is caught and passed on, none ends the parent
    // before its copies.
    for (auto [signal, json] : {Case{SIGTERM, false}, Case{SIGINT, false}, Case{SIGHUP, false},
                                Case{SIGKILL, false}, Case{SIGTERM, true}}) {
        SCOPED_TRACE(std::to_string(signal) + (json ? " -json" : ""));
        SimOptions slow;
        slow.report_delay_us = 2000;
        add_device(0, 0x5E1A, 0x0001, slow);
        add_device(1, 0x5E1A, 0x0001, slow);
        std::vector<std::string> arguments{"-all", "-mmcu=atmega32u4", "-usb=5e1a:1", hex};
        if (json)
            arguments.insert(arguments.begin(), "-json");
        ProcessResult run = run_quorvel(arguments, signal_after(signal, 1.8));
        for (int waited = 0; quorvel_processes() > 0 && waited < 200; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(quorvel_processes(), 0);
        for (int number : {0, 1}) {
            SimResult sim = finish(number);
            std::vector<int> commands = commands_of(sim.frames);
            EXPECT_TRUE(sim.held.empty());
            EXPECT_GT(commands.size(), 8u);
            EXPECT_EQ(std::count(commands.begin(), commands.end(), 7), 0);
        }
        reset();
        EXPECT_EQ(run.status, 128 + signal);
        if (signal == SIGKILL)
            continue;
        if (json) {
            std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
            nlohmann::json summary = nlohmann::json::parse(last, nullptr, false);
            EXPECT_EQ(summary["event"], "summary") << run.out;
            EXPECT_EQ(summary["ok"], false) << run.out;
            continue;
        }
        for (const char *path : {"/dev/hidraw0\t\t\tquorvel: interrupted after block ",
                                 "/dev/hidraw1\t\t\tquorvel: interrupted after block "})
            EXPECT_NE(run.out.find(path), std::string::npos) << run.out;
        const std::string name = std::string("SIG") + sigabbrev_np(signal);
        EXPECT_TRUE(run.err.ends_with("\nquorvel: interrupted by " + name +
                                      ": 2 of 2 boards were not programmed\nRun quorvel again for the boards "
                                      "whose line does not say Done: their flash may be only partly written\n\n"))
            << run.err;
    }
}

}  // namespace
