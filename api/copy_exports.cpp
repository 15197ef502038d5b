// The C entry points of the copy-format codecs and of data chunks.
#include <new>

#include "api/data_chunk.h"
#include "api/kelvobinary.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "kelvo/copy.h"

namespace {

kelvoapi::uint128_t ToUint128(kelvo_data128_t value) { return kelvoapi::uint128_t{{value.data[0], value.data[1]}}; }

const kelvoapi::DataChunk& AsChunk(const kelvo_data_chunk_t* chunk) {
    return *static_cast<const kelvoapi::DataChunk*>(chunk);
}

}  // namespace

size_t kelvo_write_header(uint8_t* destination, size_t space) {
    return kelvoapi::kelvobinary_store_header({destination, space});
}
size_t kelvo_write_null(uint8_t* destination, size_t space) {
    return kelvoapi::kelvobinary_store_null({destination, space});
}
size_t kelvo_write_int8(uint8_t* destination, size_t space, int8_t value) {
    return kelvoapi::kelvobinary_store_i8({destination, space}, value);
}
size_t kelvo_write_int8_not_null(uint8_t* destination, size_t space, int8_t value) {
    return kelvoapi::kelvobinary_store_i8_not_nullable({destination, space}, value);
}
size_t kelvo_write_int16(uint8_t* destination, size_t space, int16_t value) {
    return kelvoapi::kelvobinary_store_i16({destination, space}, value);
}
size_t kelvo_write_int16_not_null(uint8_t* destination, size_t space, int16_t value) {
    return kelvoapi::kelvobinary_store_i16_not_nullable({destination, space}, value);
}
size_t kelvo_write_int32(uint8_t* destination, size_t space, int32_t value) {
    return kelvoapi::kelvobinary_store_i32({destination, space}, value);
}
size_t kelvo_write_int32_not_null(uint8_t* destination, size_t space, int32_t value) {
    return kelvoapi::kelvobinary_store_i32_not_nullable({destination, space}, value);
}
size_t kelvo_write_int64(uint8_t* destination, size_t space, int64_t value) {
    return kelvoapi::kelvobinary_store_i64({destination, space}, value);
}
size_t kelvo_write_int64_not_null(uint8_t* destination, size_t space, int64_t value) {
    return kelvoapi::kelvobinary_store_i64_not_nullable({destination, space}, value);
}
size_t kelvo_write_data128(uint8_t* destination, size_t space, kelvo_data128_t value) {
    return kelvoapi::kelvobinary_store_u128({destination, space}, ToUint128(value));
}
size_t kelvo_write_data128_not_null(uint8_t* destination, size_t space, kelvo_data128_t value) {
    return kelvoapi::kelvobinary_store_u128_not_nullable({destination, space}, ToUint128(value));
}
size_t kelvo_write_varbinary(uint8_t* destination, size_t space, const uint8_t* value, size_t length) {
    return kelvoapi::kelvobinary_store_varbinary({destination, space}, value, length);
}
size_t kelvo_write_varbinary_not_null(uint8_t* destination, size_t space, const uint8_t* value, size_t length) {
    return kelvoapi::kelvobinary_store_varbinary_not_nullable({destination, space}, value, length);
}

int8_t kelvo_read_int8(const uint8_t* source) { return kelvoapi::kelvobinary_load_i8(source); }
int16_t kelvo_read_int16(const uint8_t* source) { return kelvoapi::kelvobinary_load_i16(source); }
int32_t kelvo_read_int32(const uint8_t* source) { return kelvoapi::kelvobinary_load_i32(source); }
int64_t kelvo_read_int64(const uint8_t* source) { return kelvoapi::kelvobinary_load_i64(source); }
kelvo_data128_t kelvo_read_data128(const uint8_t* source) {
    const kelvoapi::uint128_t value = kelvoapi::kelvobinary_load_u128(source);
    return kelvo_data128_t{{value.data[0], value.data[1]}};
}
const uint8_t* kelvo_read_varbinary(const uint8_t* source) { return source; }

kelvo_data_chunk_t* kelvo_create_data_chunk(void) {
    try {
        return new kelvoapi::DataChunk();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

kelvo_error_t* kelvo_resize_data_chunk(kelvo_data_chunk_t* data_chunk, size_t size) {
    return kelvoapi::WrapErrorThrowingBlock([&] { static_cast<kelvoapi::DataChunk*>(data_chunk)->Resize(size); },
                                            kelvoapi::ContextIds::ResizeDataChunk);
}

void kelvo_destroy_data_chunk(kelvo_data_chunk_t* data_chunk) {
    delete static_cast<kelvoapi::DataChunk*>(data_chunk);
}

size_t kelvo_get_chunk_header_size(const kelvo_data_chunk_t*) { return kelvoapi::DataChunk::m_header_size; }

uint8_t* kelvo_get_chunk_data(const kelvo_data_chunk_t* data_chunk) { return AsChunk(data_chunk).GetChunkData(); }

size_t kelvo_get_chunk_data_size(const kelvo_data_chunk_t* data_chunk) {
    return AsChunk(data_chunk).GetChunkDataSize();
}
