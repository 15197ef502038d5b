// Data chunks: the header at creation, resizing that keeps what was written,
// and out of memory that leaves the chunk as it was.
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "kelvo/copy.h"
#include "kelvo/error.h"

// Huge requests must come back as null allocations, as they do without the
// sanitizer, rather than end the test.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

struct ChunkDeleter {
    void operator()(kelvo_data_chunk_t* chunk) const { kelvo_destroy_data_chunk(chunk); }
};
using ChunkPtr = std::unique_ptr<kelvo_data_chunk_t, ChunkDeleter>;

constexpr size_t initial_size = 16777216;

void ExpectHeader(const uint8_t* data) {
    uint8_t header[19];
    ASSERT_EQ(kelvo_write_header(header, sizeof header), 19u);
    EXPECT_EQ(std::memcmp(data, header, sizeof header), 0);
}

TEST(DataChunk, StartsWithTheHeaderAndResizingKeepsTheBytesBelowTheSmallerSize) {
    ChunkPtr chunk(kelvo_create_data_chunk());
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), initial_size);
    EXPECT_EQ(kelvo_get_chunk_header_size(chunk.get()), 19u);
    ExpectHeader(kelvo_get_chunk_data(chunk.get()));
    size_t used = 19;
    uint8_t* data = kelvo_get_chunk_data(chunk.get());
    for (int32_t i = 0; i < 100; ++i) {
        used += kelvo_write_int32(data + used, initial_size - used, i);
    }
    struct Step {
        size_t size;
        size_t kept;
    };
    const Step steps[] = {{initial_size * 2, used}, {used, used}, {100, 100}, {19, 19}, {5, 5}, {4096, 5}};
    const std::vector<uint8_t> written(data, data + used);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.size);
        ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), step.size), nullptr);
        EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), step.size);
        data = kelvo_get_chunk_data(chunk.get());
        EXPECT_EQ(std::memcmp(data, written.data(), step.kept), 0);
        // The new capacity is writable to its last byte (kept bytes stay).
        data[step.size - 1] = step.size <= written.size() ? written[step.size - 1] : 0x5A;
    }
}

TEST(DataChunk, ResizingToZeroLeavesAValidChunk) {
    ChunkPtr chunk(kelvo_create_data_chunk());
    ASSERT_NE(chunk, nullptr);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), 0u);
    EXPECT_EQ(kelvo_get_chunk_data(chunk.get()), nullptr);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 32), nullptr);
    EXPECT_EQ(kelvo_write_header(kelvo_get_chunk_data(chunk.get()), 32), 19u);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    // The chunk is destroyed once, by the deleter; ASan reports a double free.
}

TEST(DataChunk, OutOfMemoryLeavesTheChunkUnchanged) {
    ChunkPtr chunk(kelvo_create_data_chunk());
    ASSERT_NE(chunk, nullptr);
    uint8_t* before = kelvo_get_chunk_data(chunk.get());
    kelvo_error_t* error = kelvo_resize_data_chunk(chunk.get(), std::numeric_limits<size_t>::max() / 2);
    ASSERT_NE(error, nullptr);
    kelvo_error_field_value value;
    ASSERT_EQ(kelvo_error_get_field(error, KELVO_ERROR_FIELD_SQL_STATE, &value), nullptr);
    EXPECT_STREQ(value.value.string, "53200");
    ASSERT_EQ(kelvo_error_get_field(error, KELVO_ERROR_FIELD_CONTEXT_ID, &value), nullptr);
    EXPECT_EQ(value.value.uinteger, 0xbada110cu);
    kelvo_error_destroy(error);
    EXPECT_EQ(kelvo_get_chunk_data(chunk.get()), before);
    EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), initial_size);
    ExpectHeader(before);
    kelvo_destroy_data_chunk(nullptr);
}

}  // namespace
