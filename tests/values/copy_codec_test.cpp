// The copy-format writers and readers (exact bytes, the size query, buffer
// boundaries) and data chunks through resizes and out of memory.
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "kelvo/copy.h"
#include "kelvo/error.h"
#include "support/error_ptr.h"

// Huge requests must come back as null allocations, as they do without the
// sanitizer, rather than end the test.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using Bytes = std::vector<uint8_t>;
using Writer = std::function<size_t(uint8_t*, size_t)>;

const uint8_t varbinary_value[] = {'a', 'b', 'c'};

TEST(CopyWriters, WriteExactBytesOnlyWhenTheCellFits) {
    const kelvo_data128_t wide{{0x0807060504030201ULL, 0x100F0E0D0C0B0A09ULL}};
    const std::tuple<const char*, Writer, Bytes> cases[] = {
        {"header",
         [](uint8_t* d, size_t s) { return kelvo_write_header(d, s); },
         {'K', 'L', 'V', 'C', 'P', 'Y', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"null", [](uint8_t* d, size_t s) { return kelvo_write_null(d, s); }, {0x01}},
        {"int16", [](uint8_t* d, size_t s) { return kelvo_write_int16(d, s, 0x0102); }, {0x00, 0x02, 0x01}},
        {"data128 not null",
         [wide](uint8_t* d, size_t s) { return kelvo_write_data128_not_null(d, s, wide); },
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"varbinary",
         [](uint8_t* d, size_t s) { return kelvo_write_varbinary(d, s, varbinary_value, 3); },
         {0x00, 3, 0, 0, 0, 'a', 'b', 'c'}},
        {"empty varbinary",
         [](uint8_t* d, size_t s) { return kelvo_write_varbinary(d, s, nullptr, 0); },
         {0, 0, 0, 0, 0}},
    };
    constexpr uint8_t guard = 0xAA;
    for (const auto& [name, write, cell] : cases) {
        SCOPED_TRACE(name);
        const size_t size = cell.size();
        EXPECT_EQ(write(nullptr, 0), size) << "size query";
        // The cell at an odd address: no alignment is ever needed.
        Bytes buffer(size + 2, guard);
        EXPECT_EQ(write(buffer.data() + 1, size), size) << "exact fit";
        Bytes expected = cell;
        expected.insert(expected.begin(), guard);
        expected.push_back(guard);
        EXPECT_EQ(buffer, expected);
        Bytes shortBuffer(size + 1, guard);
        EXPECT_EQ(write(shortBuffer.data(), size - 1), size) << "one byte short";
        EXPECT_EQ(shortBuffer, Bytes(size + 1, guard));
        // A null destination is never written, whatever space comes with it.
        EXPECT_EQ(write(nullptr, 64), size);
    }
}

TEST(CopyWriters, RefuseLengthsTheFormatCannotHold) {
    uint8_t buffer[16] = {};
    const uint8_t byte = 0x55;
    // Lengths from 2^32 do not fit the length field; near SIZE_MAX the cell
    // size would wrap to a small number and overrun the buffer; a null value
    // has no bytes to copy.
    const std::pair<const uint8_t*, size_t> cases[] = {
        {&byte, size_t{1} << 32}, {&byte, std::numeric_limits<size_t>::max() - 4}, {nullptr, 3}};
    for (const auto& [value, length] : cases) {
        SCOPED_TRACE(length);
        EXPECT_EQ(kelvo_write_varbinary(buffer, sizeof buffer, value, length), 0u);
        EXPECT_EQ(kelvo_write_varbinary_not_null(buffer, sizeof buffer, value, length), 0u);
        EXPECT_EQ(kelvo_write_varbinary(nullptr, 0, value, length), 0u);
        EXPECT_EQ(Bytes(buffer, buffer + sizeof buffer), Bytes(sizeof buffer, 0));
    }
    // The largest length the field holds is still sized correctly.
    EXPECT_EQ(kelvo_write_varbinary(nullptr, 0, &byte, 0xFFFFFFFFu), size_t{0xFFFFFFFFu} + 5);
    EXPECT_EQ(kelvo_write_varbinary_not_null(nullptr, 0, &byte, 0xFFFFFFFFu), size_t{0xFFFFFFFFu} + 4);
}

// Little-endian values read at an odd address, with their sign.
TEST(CopyReaders, ReadLittleEndianValuesAtAnyAlignment) {
    const uint8_t bytes[] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0xFF, 0xFF};
    const uint8_t* odd = bytes + 1;
    const kelvo_data128_t wide = kelvo_read_data128(odd);
    EXPECT_EQ(std::make_tuple(kelvo_read_int8(bytes), kelvo_read_int16(odd), kelvo_read_int32(odd),
                              kelvo_read_int64(odd), wide.data[0], wide.data[1], kelvo_read_int16(bytes + 17)),
              std::make_tuple(int8_t{-18}, int16_t{0x0201}, 0x04030201, int64_t{0x0807060504030201LL},
                              0x0807060504030201ULL, 0x100F0E0D0C0B0A09ULL, int16_t{-1}));
    EXPECT_EQ(kelvo_read_varbinary(odd), odd);
}

struct ChunkDeleter {
    void operator()(kelvo_data_chunk_t* chunk) const { kelvo_destroy_data_chunk(chunk); }
};
using ChunkPtr = std::unique_ptr<kelvo_data_chunk_t, ChunkDeleter>;

constexpr size_t initial_size = 16777216;

// A chunk starts with the header; out of memory leaves it as it was, and
// resizing keeps the bytes below the smaller size, down to none.
TEST(DataChunk, KeepsWhatWasWrittenThroughResizesAndOutOfMemory) {
    ChunkPtr chunk(kelvo_create_data_chunk());
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(kelvo_get_chunk_header_size(chunk.get()), 19u);
    uint8_t* data = kelvo_get_chunk_data(chunk.get());
    const kelvotest::ErrorPtr error(kelvo_resize_data_chunk(chunk.get(), std::numeric_limits<size_t>::max() / 2));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(kelvotest::AsError(error).GetSqlstate(), "53200");
    EXPECT_EQ(kelvotest::AsError(error).GetContextId().value, 0xbada110cu);
    EXPECT_EQ(kelvo_get_chunk_data(chunk.get()), data);
    EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), initial_size);
    uint8_t header[19];
    ASSERT_EQ(kelvo_write_header(header, sizeof header), 19u);
    EXPECT_EQ(std::memcmp(data, header, sizeof header), 0);
    size_t used = 19;
    for (int32_t i = 0; i < 100; ++i) {
        used += kelvo_write_int32(data + used, initial_size - used, i);
    }
    // The new sizes, and how many of the bytes written before each keeps.
    const std::pair<size_t, size_t> steps[] = {
        {initial_size * 2, used}, {used, used}, {100, 100}, {19, 19}, {5, 5}, {4096, 5}};
    const std::vector<uint8_t> written(data, data + used);
    for (const auto& [size, kept] : steps) {
        SCOPED_TRACE(size);
        ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), size), nullptr);
        EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), size);
        data = kelvo_get_chunk_data(chunk.get());
        EXPECT_EQ(std::memcmp(data, written.data(), kept), 0);
        // The new capacity is writable to its last byte (kept bytes stay).
        data[size - 1] = size <= written.size() ? written[size - 1] : 0x5A;
    }
    // Resizing to zero leaves a valid chunk, which can grow again.
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), 0u);
    EXPECT_EQ(kelvo_get_chunk_data(chunk.get()), nullptr);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 32), nullptr);
    EXPECT_EQ(kelvo_write_header(kelvo_get_chunk_data(chunk.get()), 32), 19u);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    // The chunk is destroyed once, by the deleter; ASan reports a double free.
    kelvo_destroy_data_chunk(nullptr);
}

}  // namespace
