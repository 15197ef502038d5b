// The C-interface frame wraps every per-cell call of the inserter buffer, so
// its success path must cost no more than the call it wraps.
#include <benchmark/benchmark.h>

#include "error/context_ids.h"
#include "error/frame.h"

namespace {

int64_t cells[1024];

void BM_PlainCall(benchmark::State& state) {
    size_t i = 0;
    for (auto _ : state) {
        cells[i & 1023] = static_cast<int64_t>(i);
        ++i;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PlainCall);

void BM_FrameSuccess(benchmark::State& state) {
    size_t i = 0;
    for (auto _ : state) {
        kelvo_error_t* error = kelvoapi::WrapErrorThrowingBlock(
            [&] {
                cells[i & 1023] = static_cast<int64_t>(i);
                ++i;
            },
            kelvoapi::ContextIds::InserterBufferAddInt64);
        benchmark::DoNotOptimize(error);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FrameSuccess);

void BM_FrameThrowsError(benchmark::State& state) {
    for (auto _ : state) {
        kelvo_error_t* error = kelvoapi::WrapErrorThrowingBlock(
            [] {
                throw kelvoapi::Error(kelvo::make_error_code(kelvo::Sqlstate::ValueTooLarge),
                                      "The given value is too large.", kelvoapi::ContextId{0x995a946a});
            },
            kelvoapi::ContextIds::InserterBufferAddInt64);
        benchmark::DoNotOptimize(error);
        delete static_cast<kelvoapi::Error*>(error);
    }
}
BENCHMARK(BM_FrameThrowsError);

}  // namespace
