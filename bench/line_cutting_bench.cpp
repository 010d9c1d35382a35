// Cutting lines out of a receive buffer when one long line arrives in small pieces: searching
// only the bytes not searched before (the scan mark the cutter keeps) against searching the
// whole unfinished line again at every arrival.
#include <benchmark/benchmark.h>

#include <string>

#include "command/line_cutter.h"

namespace {

using namespace tarselctl;

// One line of `state.range(0)` bytes in pieces of `state.range(1)` bytes, then its line end.
void BM_SearchNewBytesOnly(benchmark::State& state) {
    const std::size_t lineLength = static_cast<std::size_t>(state.range(0));
    const std::string piece(static_cast<std::size_t>(state.range(1)), 'x');
    for (auto _ : state) {
        std::string buffer;
        std::size_t scanned = 0, lines = 0;
        while (buffer.size() < lineLength) {
            buffer += piece;
            lines += TakeReplyLines(buffer, scanned).size();
        }
        buffer += "\r\n";
        lines += TakeReplyLines(buffer, scanned).size();
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_SearchWholeBufferEachTime(benchmark::State& state) {
    const std::size_t lineLength = static_cast<std::size_t>(state.range(0));
    const std::string piece(static_cast<std::size_t>(state.range(1)), 'x');
    for (auto _ : state) {
        std::string buffer;
        std::size_t lines = 0;
        while (buffer.size() < lineLength) {
            buffer += piece;
            std::size_t forgotten = 0;  // as if no scan mark were kept
            lines += TakeListingLines(buffer, forgotten).size();
        }
        buffer += "\r\n";
        std::size_t forgotten = 0;
        lines += TakeListingLines(buffer, forgotten).size();
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// 1 MiB (the bound of a reply or listing line) in 64-byte and 1460-byte (one TCP segment) pieces.
BENCHMARK(BM_SearchNewBytesOnly)->Args({1 << 20, 64})->Args({1 << 20, 1460})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchWholeBufferEachTime)->Args({1 << 20, 64})->Args({1 << 20, 1460})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
