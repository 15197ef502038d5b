// Per-call cost of the value codecs and the numeric parser, and the
// throughput of the quoting functions.
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "api/numeric.h"
#include "api/quoting.h"
#include "kelvo/copy.h"
#include "kelvo/values.h"

namespace {

void BM_EncodeDate(benchmark::State& state) {
    kelvo_date_components_t date{1970, 1, 1};
    for (auto _ : state) {
        benchmark::DoNotOptimize(kelvo_encode_date(date));
        date.day = static_cast<int16_t>(date.day % 28 + 1);
    }
}
BENCHMARK(BM_EncodeDate);

void BM_DecodeDate(benchmark::State& state) {
    kelvo_date_t day = 2440588;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kelvo_decode_date(day));
        ++day;
    }
}
BENCHMARK(BM_DecodeDate);

void BM_IntervalRoundTrip(benchmark::State& state) {
    kelvo_interval_components_t interval{1, 2, 3, -4, -5, -6, -7};
    for (auto _ : state) {
        benchmark::DoNotOptimize(kelvo_decode_interval(kelvo_encode_interval(interval)));
        interval.days ^= 1;
    }
}
BENCHMARK(BM_IntervalRoundTrip);

void BM_ParseNumeric(benchmark::State& state) {
    const std::vector<std::string> texts = {"12.34", "  -1250.5 ", "(99.99)", "0", "1.5E-1", "123456.78"};
    size_t next = 0;
    for (auto _ : state) {
        const std::string& text = texts[next];
        const char* iter = text.data();
        benchmark::DoNotOptimize(kelvoapi::parseNumeric(iter, text.data() + text.size(), 10, 2));
        next = next + 1 == texts.size() ? 0 : next + 1;
    }
}
BENCHMARK(BM_ParseNumeric);

// Cells written back to back into a buffer, as a caller fills a data chunk.
void BM_WriteInt64Cells(benchmark::State& state) {
    std::vector<uint8_t> buffer(1 << 16);
    size_t used = 0;
    int64_t value = 0;
    for (auto _ : state) {
        if (buffer.size() - used < 9) {
            used = 0;
        }
        used += kelvo_write_int64(buffer.data() + used, buffer.size() - used, value++);
    }
    benchmark::DoNotOptimize(buffer.data());
}
BENCHMARK(BM_WriteInt64Cells);

void BM_WriteInt32NotNullCells(benchmark::State& state) {
    std::vector<uint8_t> buffer(1 << 16);
    size_t used = 0;
    int32_t value = 0;
    for (auto _ : state) {
        if (buffer.size() - used < 4) {
            used = 0;
        }
        used += kelvo_write_int32_not_null(buffer.data() + used, buffer.size() - used, value++);
    }
    benchmark::DoNotOptimize(buffer.data());
}
BENCHMARK(BM_WriteInt32NotNullCells);

void BM_WriteVarbinaryCells(benchmark::State& state) {
    std::vector<uint8_t> buffer(1 << 16);
    const std::vector<uint8_t> value(static_cast<size_t>(state.range(0)), 'x');
    size_t used = 0;
    for (auto _ : state) {
        if (buffer.size() - used < value.size() + 5) {
            used = 0;
        }
        used += kelvo_write_varbinary(buffer.data() + used, buffer.size() - used, value.data(), value.size());
    }
    benchmark::DoNotOptimize(buffer.data());
}
BENCHMARK(BM_WriteVarbinaryCells)->Arg(8)->Arg(64);

std::string SampleText(size_t size, bool withEscapes) {
    std::string text;
    const std::string plain = "Lorem ipsum dolor sit amet, it's consectetur \"adipiscing\" elit. ";
    while (text.size() < size) {
        text += plain;
        if (withEscapes) {
            text += "tab\there\\ ";
        }
    }
    text.resize(size);
    return text;
}

void BM_QuoteIdentifier(benchmark::State& state) {
    const std::string text = SampleText(static_cast<size_t>(state.range(0)), false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kelvoapi::QuoteIdentifier(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_QuoteIdentifier)->Arg(32)->Arg(4096);

void BM_QuoteStringLiteral(benchmark::State& state) {
    const std::string text = SampleText(static_cast<size_t>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kelvoapi::QuoteStringLiteral(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_QuoteStringLiteral)->Args({32, 0})->Args({4096, 0})->Args({4096, 1});

}  // namespace
