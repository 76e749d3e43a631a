// What bounds an upload's time beyond the protocol's own pauses, on this
// machine: how long a 10 ms pause really lasts, and what one report costs
// the transport (the hand-over to the writer thread and the write itself,
// into a FIFO that another thread drains).
#include "cli/console.h"
#include "hid/hid_device.h"
#include "test_support.h"

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

void pause_10ms(benchmark::State &state)
{
    for (auto _ : state)
        pause_seconds(0.01);
}

void send_report(benchmark::State &state)
{
    std::string fifo = scratch_dir() + "/report.fifo";
    unlink(fifo.c_str());
    mkfifo(fifo.c_str(), 0600);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (!device_open_path(fifo.c_str(), 0, 0, 0)) {
        state.SkipWithError("cannot open the FIFO");
        return;
    }
    // Started once the writer holds the FIFO: until then a read says end of file.
    std::thread drain([reader] {
        std::array<char, 4096> sink;
        for (;;) {
            ssize_t got = read(reader, sink.data(), sink.size());
            if (got == 0)
                return;
            if (got < 0)
                usleep(200);  // nothing yet: look again, as a device polls
        }
    });
    const std::array<uint8_t, 64> report{0xA1, 0x04};
    for (auto _ : state)
        if (!device_send(report.data(), report.size(), 0.05))
            state.SkipWithError("a report was not delivered");
    device_close();
    drain.join();
    close(reader);
}

}  // namespace

BENCHMARK(pause_10ms)->Unit(benchmark::kMicrosecond)->Iterations(200)->UseRealTime();
BENCHMARK(send_report)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
