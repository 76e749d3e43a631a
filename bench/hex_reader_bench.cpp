// Throughput of the Intel HEX reader: files that fill the 64 KiB image with
// 16-, 32- and 255-byte records, and the example firmware.
#include "image/hex_reader.h"
#include "test_support.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void load(benchmark::State &state, const std::string &path, size_t text_bytes)
{
    int32_t data_bytes = 0;
    for (auto _ : state) {
        data_bytes = load_hex_file(path.c_str());
        benchmark::DoNotOptimize(data_bytes);
    }
    if (data_bytes <= 0) {
        state.SkipWithError("the file did not load");
        return;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text_bytes));
    // Shown as seconds per data byte (with an SI prefix: "n" is nanoseconds).
    state.counters["per_data_byte"] = benchmark::Counter(
        double(data_bytes), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void full_image(benchmark::State &state)
{
    size_t record_size = size_t(state.range(0));
    std::string text = hex_file_for(pattern_bytes(0, 0x10000), record_size);
    std::string path = write_scratch_file("full-" + std::to_string(record_size) + ".hex", text);
    load(state, path, text.size());
}

void example_firmware(benchmark::State &state)
{
    std::string path = example_hex_path();
    load(state, path, read_whole_file(path).size());
}

}  // namespace

BENCHMARK(full_image)->Arg(16)->Arg(32)->Arg(255)->Unit(benchmark::kMicrosecond);
BENCHMARK(example_firmware)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
