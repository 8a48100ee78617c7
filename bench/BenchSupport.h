// What the reader benchmarks share: their inputs, read into memory once, and the measure of
// one decode's time and memory.
//
// Fairness: each side decodes the same bytes from memory into pixels in its usual layout. All
// sides use the same C allocator, set up so that large blocks stay in the heap and are reused
// (no fresh pages per iteration for anyone), and every allocation through it is counted: the
// counter PeakMiB is the most memory a side held at once during one decode, besides the input.
//
// A benchmark links BenchSupport.cpp by naming its inputs' folder (under bench/data) in
// chronolith_add_bench(... INPUTS folder ...).
#pragma once

#include "platform/graphics/Stream.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

// The bytes of the input file `name`, read on first use; empty if the file is missing.
const Bytes& Input(const std::string& name);

// Starts a peak over: returns the bytes held now, from which PeakBytes counts.
int64_t ResetPeak();
// The most bytes held at once since ResetPeak.
int64_t PeakBytes();

// Skips the benchmark, naming the missing input and the target that makes it.
void SkipMissing(benchmark::State& state, const std::string& name);

// Runs `decode` on the bytes of input `name` once per iteration and reports the peak memory of
// one decode.
template <class Decode>
void Measure(benchmark::State& state, const std::string& name, Decode decode) {
    const Bytes& data = Input(name);
    if (data.empty()) {
        SkipMissing(state, name);
        return;
    }
    const int64_t base = ResetPeak();
    for (auto _ : state) decode(data);
    state.counters["PeakMiB"] = double(PeakBytes() - base) / (1 << 20);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// One of our readers on input `name`.
template <class Reader> void Ours(benchmark::State& state, const std::string& name) {
    // The stream holds its own copy of the file, made before the measure starts.
    TMemoryStream stream(Input(name));
    Measure(state, name, [&](const Bytes&) {
        stream.SetPosition(0);
        Reader image;
        image.DecodeImage(stream);
        benchmark::DoNotOptimize(image.ScanLine(0));
    });
}

} // namespace bench
