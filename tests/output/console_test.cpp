// The console helpers whose behaviour a user relies on.
#include "output/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

namespace {

// A pause gives the bootloader its time: it must never end early, however
// the system's timer behaves, and it must sleep rather than spin the CPU.
TEST(Console, PauseNeverEndsEarlyAndSleeps)
{
    const double lengths[] = {0.1005, 0.01, 0.001, 0.02, 0.01, 0.0019};
    std::clock_t cpu_before = std::clock();
    double total = 0;
    for (int round = 0; round < 5; ++round) {
        for (double seconds : lengths) {
            auto started = std::chrono::steady_clock::now();
            pause_seconds(seconds);
            double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            double expected =
                double(static_cast<long long>(seconds * 1000.0)) / 1000.0;  // whole milliseconds
            EXPECT_GE(took, expected) << seconds;
            total += took;
        }
    }
#if !defined(_WIN32)  // std::clock() is CPU time here, wall time on Windows
    double cpu = double(std::clock() - cpu_before) / CLOCKS_PER_SEC;
    EXPECT_LT(cpu, total / 4) << "a pause spins instead of sleeping";
#else
    (void)cpu_before;
#endif
}

}  // namespace
