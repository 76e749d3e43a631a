// What bounds an upload's time beyond the protocol's own pauses, on this
// machine: how long a 10 ms pause really lasts, what one report costs the
// transport within an upload's play (its time limit and the write itself,
// into a simulated device that answers each write at once), and what the
// same write costs without
// the transport: the round trip through the simulated device alone.
#include "output/console.h"
#include "hid/hid_device.h"
#include "test_support.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

#ifndef SIM_BOOTLOADER
#error "SIM_BOOTLOADER must name the simulator program"
#endif

namespace {

void pause_10ms(benchmark::State &state)
{
    for (auto _ : state)
        pause_seconds(0.01);
}

// Starts a simulated bootloader whose FUSE file stands in for a hidraw node
// (it needs root); returns its process ID, or -1.
pid_t start_simulator(const std::string &dir)
{
    std::filesystem::create_directories(dir + "/mnt");
    std::string log = dir + "/sim.log";
    std::filesystem::remove(log);
    pid_t pid = fork();
    if (pid == 0) {
        std::string mount_dir = dir + "/mnt", flash = dir + "/flash.bin";
        execl(SIM_BOOTLOADER, SIM_BOOTLOADER, mount_dir.c_str(), log.c_str(), flash.c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 300; ++i) {
        if (read_whole_file(log).find("ready\n") != std::string::npos)
            return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Runs `body` with a simulated device open at `path`, or skips.
template <typename Body> void with_simulator(benchmark::State &state, Body body)
{
    std::string dir = scratch_dir() + "/transport";
    pid_t simulator = geteuid() == 0 ? start_simulator(dir) : -1;
    if (simulator < 0) {
        state.SkipWithError("needs root for the simulated device");
        return;
    }
    body(dir + "/mnt/hidraw");
    kill(simulator, SIGTERM);
    waitpid(simulator, nullptr, 0);
    umount2((dir + "/mnt").c_str(), MNT_DETACH);
}

void send_report(benchmark::State &state)
{
    with_simulator(state, [&](const std::string &path) {
        if (!device_open_path(path.c_str(), 1, 0x5E1A, 0x0001)) {
            state.SkipWithError(device_open_error());
            return;
        }
        // An upload's reports go out in one play: the time of a play of
        // 256 data reports, with their limits kept (bench/report.py divides).
        constexpr int REPORTS = 256;
        std::vector<PlayStep> steps(REPORTS);
        for (PlayStep &step : steps) {
            step.report[0] = 0xA1;
            step.report[1] = 0x04;
            step.length = 64;
            step.limit_ms = 50;
        }
        for (auto _ : state)
            if (device_play(steps.data(), REPORTS, PlayWatch{nullptr, nullptr, 0, -1}).outcome != PLAY_DONE)
                state.SkipWithError(device_send_error());
        device_close();
    });
}

void device_round_trip(benchmark::State &state)
{
    with_simulator(state, [&](const std::string &path) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        const std::array<uint8_t, 65> frame{0x00, 0xA1, 0x04};
        for (auto _ : state)
            if (write(fd, frame.data(), frame.size()) != ssize_t(frame.size()))
                state.SkipWithError("a write was not taken");
        close(fd);
    });
}

}  // namespace

BENCHMARK(pause_10ms)->Unit(benchmark::kMicrosecond)->Iterations(200)->UseRealTime();
BENCHMARK(send_report)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(device_round_trip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
