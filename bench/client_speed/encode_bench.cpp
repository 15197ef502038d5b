// Encoding N rows x 10 columns (default 10 M) through the inserter buffer's C
// functions into a sink that keeps only the last chunk, against a memcpy of
// the same number of bytes in blocks of the chunks' size. No server.
// Usage: encode_bench [rows] [rounds]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/chunk_sink.h"
#include "api/inserter_buffer.h"
#include "api/table_definition.h"
#include "kelvo/kelvo.h"
#include "side_by_side.h"

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

// int64 NOT NULL, int32, int16, bool, double, date, two texts (15 and 40
// bytes), an 8-byte bytea and an int32 that is NULL every other row.
kelvoapi::TableDefinition MixedDefinition() {
    kelvoapi::TableDefinition definition("mixed", KELVO_PERMANENT, false);
    definition.AddColumn("id", KELVO_BIG_INT, 0, "", false);
    definition.AddColumn("i", KELVO_INT, 0, "", true);
    definition.AddColumn("s", KELVO_SMALL_INT, 0, "", true);
    definition.AddColumn("f", KELVO_BOOL, 0, "", true);
    definition.AddColumn("d", KELVO_DOUBLE, 0, "", true);
    definition.AddColumn("dt", KELVO_DATE, 0, "", true);
    definition.AddColumn("name", KELVO_TEXT, 0, "", true);
    definition.AddColumn("note", KELVO_TEXT, 0, "", true);
    definition.AddColumn("blob", KELVO_BYTE_A, 0, "", true);
    definition.AddColumn("opt", KELVO_INT, 0, "", true);
    return definition;
}

const std::string kName = "customer-000042";
const std::string kNote = "a note of some forty bytes, give or take";
const uint8_t kBlob[8] = {1, 2, 3, 4, 5, 6, 7, 8};

void AddRow(kelvo_inserter_buffer_t* buffer, int64_t id) {
    kelvo_error_t* e = nullptr;
    auto ok = [&](kelvo_error_t* error) {
        if (error != nullptr) e = error;
        return error == nullptr;
    };
    const bool done =
        ok(kelvo_inserter_buffer_add_int64(buffer, id)) &&
        ok(kelvo_inserter_buffer_add_int32(buffer, static_cast<int32_t>(id))) &&
        ok(kelvo_inserter_buffer_add_int16(buffer, static_cast<int16_t>(id))) &&
        ok(kelvo_inserter_buffer_add_bool(buffer, (id & 1) != 0)) &&
        ok(kelvo_inserter_buffer_add_double(buffer, static_cast<double>(id) * 0.25)) &&
        ok(kelvo_inserter_buffer_add_date(buffer, 2024, 1 + static_cast<int16_t>(id % 12), 1)) &&
        ok(kelvo_inserter_buffer_add_binary(buffer, reinterpret_cast<const uint8_t*>(kName.data()), kName.size())) &&
        ok(kelvo_inserter_buffer_add_binary(buffer, reinterpret_cast<const uint8_t*>(kNote.data()), kNote.size())) &&
        ok(kelvo_inserter_buffer_add_binary(buffer, kBlob, sizeof kBlob)) &&
        ok((id & 1) != 0 ? kelvo_inserter_buffer_add_null(buffer)
                         : kelvo_inserter_buffer_add_int32(buffer, static_cast<int32_t>(id)));
    kelvo_error_destroy(e);
    if (!done) throw std::runtime_error("a cell was refused");
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
        for (long id = 0; id < rows; ++id) AddRow(&buffer, id);
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
    std::vector<Contender> contenders{{"memcpy of the same bytes", copy, {}},
                                      {"kelvo_inserter_buffer_add_*", encode, {}}};
    const std::string title = std::to_string(rows) + " rows x 10 columns encoded (" + std::to_string(total) +
                              " bytes in chunks of " + std::to_string(source.size()) + ")";
    RunSideBySide(title.c_str(), contenders, rounds);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "encode_bench: %s\n", e.what());
    return 1;
}
