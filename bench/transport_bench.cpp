// What bounds an upload's time beyond the protocol's own pauses, on this
// machine: how long a 10 ms pause really lasts, and what one report costs
// the transport (the hand-over to the writer thread and the write itself,
// into a simulated device that answers each write at once).
#include "cli/console.h"
#include "hid/hid_device.h"
#include "test_support.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
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

void send_report(benchmark::State &state)
{
    std::string dir = scratch_dir() + "/transport";
    pid_t simulator = geteuid() == 0 ? start_simulator(dir) : -1;
    if (simulator < 0 || !device_open_path((dir + "/mnt/hidraw").c_str(), 0, 0, 0)) {
        state.SkipWithError(simulator < 0 ? "needs root for the simulated device" : device_open_error());
        if (simulator > 0)
            kill(simulator, SIGKILL);
        return;
    }
    const std::array<uint8_t, 64> report{0xA1, 0x04};
    for (auto _ : state)
        if (!device_send(report.data(), report.size(), 0.05))
            state.SkipWithError(device_send_error());
    device_close();
    kill(simulator, SIGTERM);
    waitpid(simulator, nullptr, 0);
    umount2((dir + "/mnt").c_str(), MNT_DETACH);
}

}  // namespace

BENCHMARK(pause_10ms)->Unit(benchmark::kMicrosecond)->Iterations(200)->UseRealTime();
BENCHMARK(send_report)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
