// Encoding N rows x 10 columns (default 10 M) through the inserter buffer's C
// functions into a sink that keeps only the last chunk, against a memcpy of
// the same number of bytes in blocks of the chunks' size. No server.
//
// Like for like: both sides write into one buffer of the chunk's size that
// earlier rounds have already touched, so neither pays for page faults; the
// faults of each side's rounds are printed to show it. A third line calls an
// empty out-of-line function once per cell in the same loop shape: the part
// of the ratio that the call itself costs.
// Usage: encode_bench [rows] [rounds]
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/chunk_sink.h"
#include "api/inserter_buffer.h"
#include "kelvo/kelvo.h"
#include "side_by_side.h"
#include "support/mixed_table.h"

namespace {

using namespace kelvobench;

class CountingSink : public kelvoapi::ChunkSink {
public:
    void InitBulkInsert(const kelvoapi::TableDefinition*, const std::string&) override {}
    void SendChunk(const uint8_t* data, size_t size) override {
        bytes += size;
        if (size > largest) {
            largest = size;
            sample.assign(data, data + size);
        }
    }
    size_t bytes = 0;
    size_t largest = 0;
    std::vector<uint8_t> sample;  // the largest chunk: the anchor copies real encoded bytes
};

void AddRow(kelvo_inserter_buffer_t* buffer, int64_t id) {
    if (kelvo_error_t* e = AddMixedRow(buffer, id)) {
        kelvo_error_destroy(e);
        throw std::runtime_error("a cell was refused");
    }
}

__attribute__((noinline)) kelvo_error_t* NoCell(kelvo_inserter_buffer_t* buffer, int64_t value) {
    asm volatile("" : : "r"(buffer), "r"(value));
    return nullptr;
}

long PageFaults() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

// The run, adding the page faults it took to `faults` from its second call
// on: the first is the unmeasured warm-up.
std::function<void()> CountingFaults(std::function<void()> run, long& faults) {
    return [run = std::move(run), &faults, warm = false]() mutable {
        const long before = PageFaults();
        run();
        if (warm) {
            faults += PageFaults() - before;
        }
        warm = true;
    };
}

}  // namespace

int main(int argc, char** argv) try {
    const long rows = ArgOr(argc, argv, 1, 10000000);
    const int rounds = static_cast<int>(ArgOr(argc, argv, 2, 5));
    const kelvoapi::TableDefinition definition = MixedDefinition();

    CountingSink sink;
    auto encode = [&] {
        sink.bytes = 0;
        kelvoapi::InserterBuffer buffer(sink, definition, "*");
        for (long id = 0; id < rows; ++id)
            AddRow(&buffer, id);
        buffer.flush();
    };
    encode();  // learns the byte count and the chunk size the anchor copies
    const size_t total = sink.bytes;
    const std::vector<uint8_t> source = sink.sample;
    std::vector<uint8_t> destination(source.size());
    auto copy = [&] {
        for (size_t done = 0; done < total; done += source.size()) {
            std::memcpy(destination.data(), source.data(), std::min(source.size(), total - done));
            asm volatile("" : : "r"(destination.data()) : "memory");
        }
    };
    auto calls = [&] {
        kelvo_inserter_buffer_t* buffer = nullptr;
        asm volatile("" : "+r"(buffer));
        // Ten calls a row, each result tested, as AddMixedRow does.
        for (long id = 0; id < rows; ++id) {
            kelvo_error_t* e = NoCell(buffer, id);
            for (int cell = 1; cell < 10 && e == nullptr; ++cell)
                e = NoCell(buffer, id);
            if (e != nullptr)
                throw std::runtime_error("unreachable");
        }
    };
    long copyFaults = 0;
    long encodeFaults = 0;
    std::vector<Contender> contenders{{"memcpy of the same bytes", CountingFaults(copy, copyFaults), {}},
                                      {"kelvo_inserter_buffer_add_*", CountingFaults(encode, encodeFaults), {}},
                                      {"an empty call per cell", calls, {}}};
    const std::string title = std::to_string(rows) + " rows x 10 columns encoded (" + std::to_string(total) +
                              " bytes in chunks of " + std::to_string(source.size()) + ")";
    RunSideBySide(title.c_str(), contenders, rounds);
    std::printf("  page faults in the measured rounds: memcpy %ld, encoding %ld\n", copyFaults, encodeFaults);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "encode_bench: %s\n", e.what());
    return 1;
}
