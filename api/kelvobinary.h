// The KLVCPY copy format: its 19-byte header and the cells of a row.
//
// A cell of a nullable column is a marker byte (0 value follows, 1 NULL) and
// then the value; a cell of a NOT NULL column is the value alone. Values are
// little-endian integers of 1, 2, 4, 8 or 16 bytes, or a 32-bit length and
// that many bytes. Each store returns the cell's size and writes the whole
// cell only when it fits the span, so a null span of size 0 asks for the size.
// These are pure functions: the C codecs, the inserter buffer and the server
// all encode through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "api/little_endian.h"
#include "infra/small_copy.h"
#include "infra/uint128.h"

namespace kelvoapi {

// Where a store may write: the first byte and the room behind it.
struct writable_bytes {
    uint8_t* data;
    size_t size;
};

constexpr size_t kelvobinary_header_size = 19;
constexpr uint8_t kelvobinary_magic[6] = {'K', 'L', 'V', 'C', 'P', 'Y'};
constexpr uint8_t kelvobinary_marker_value = 0x00;
constexpr uint8_t kelvobinary_marker_null = 0x01;

// The unchecked writers, for a caller that has made room for the whole cell:
// `marker` is 1 for a nullable column's cell and 0 for a NOT NULL column's,
// and each returns the cell's size.
template <typename T>
inline size_t kelvobinary_put_fixed(uint8_t* out, size_t marker, T value) {
    // Without a marker the value's first byte lands on this one: no branch.
    out[0] = kelvobinary_marker_value;
    little_endian_store(out + marker, value);
    return marker + sizeof(T);
}

inline size_t kelvobinary_put_varbinary(uint8_t* out, size_t marker, const uint8_t* value, uint32_t length) {
    out[0] = kelvobinary_marker_value;
    little_endian_store<uint32_t>(out + marker, length);
    copy_small(out + marker + 4, value, length);
    return marker + 4 + size_t{length};
}

namespace detail {

// A null destination never receives bytes, whatever size comes with it.
inline bool fits(writable_bytes out, size_t cellSize) { return out.size >= cellSize && out.data != nullptr; }

// T is an integer or uint128_t; overload resolution picks the store.
template <typename T>
inline size_t store_fixed_cell(writable_bytes out, T value, size_t marker) {
    if (fits(out, marker + sizeof(T))) {
        kelvobinary_put_fixed(out.data, marker, value);
    }
    return marker + sizeof(T);
}

template <typename T>
inline size_t store_fixed(writable_bytes out, T value) {
    return store_fixed_cell(out, value, 0);
}

template <typename T>
inline size_t store_fixed_nullable(writable_bytes out, T value) {
    return store_fixed_cell(out, value, 1);
}

// The length field is 32 bits wide; a longer value has no encoding, and its
// cell size would wrap for lengths near SIZE_MAX. Both are refused with 0.
inline size_t store_varbinary(writable_bytes out, const uint8_t* value, size_t length, bool nullable) {
    if (length > std::numeric_limits<uint32_t>::max() || (value == nullptr && length != 0)) {
        return 0;
    }
    const size_t marker = nullable ? 1 : 0;
    if (fits(out, marker + 4 + length)) {
        return kelvobinary_put_varbinary(out.data, marker, value, static_cast<uint32_t>(length));
    }
    return marker + 4 + length;
}

}  // namespace detail

inline size_t kelvobinary_store_header(writable_bytes out) {
    if (detail::fits(out, kelvobinary_header_size)) {
        std::memcpy(out.data, kelvobinary_magic, sizeof kelvobinary_magic);
        std::memset(out.data + sizeof kelvobinary_magic, 0, kelvobinary_header_size - sizeof kelvobinary_magic);
    }
    return kelvobinary_header_size;
}

inline size_t kelvobinary_store_null(writable_bytes out) {
    if (detail::fits(out, 1)) {
        out.data[0] = kelvobinary_marker_null;
    }
    return 1;
}

inline size_t kelvobinary_store_i8(writable_bytes out, int8_t value) {
    return detail::store_fixed_nullable(out, value);
}
inline size_t kelvobinary_store_i8_not_nullable(writable_bytes out, int8_t value) {
    return detail::store_fixed(out, value);
}
inline size_t kelvobinary_store_i16(writable_bytes out, int16_t value) {
    return detail::store_fixed_nullable(out, value);
}
inline size_t kelvobinary_store_i16_not_nullable(writable_bytes out, int16_t value) {
    return detail::store_fixed(out, value);
}
inline size_t kelvobinary_store_i32(writable_bytes out, int32_t value) {
    return detail::store_fixed_nullable(out, value);
}
inline size_t kelvobinary_store_i32_not_nullable(writable_bytes out, int32_t value) {
    return detail::store_fixed(out, value);
}
inline size_t kelvobinary_store_i64(writable_bytes out, int64_t value) {
    return detail::store_fixed_nullable(out, value);
}
inline size_t kelvobinary_store_i64_not_nullable(writable_bytes out, int64_t value) {
    return detail::store_fixed(out, value);
}

inline size_t kelvobinary_store_u128(writable_bytes out, uint128_t value) {
    return detail::store_fixed_nullable(out, value);
}
inline size_t kelvobinary_store_u128_not_nullable(writable_bytes out, uint128_t value) {
    return detail::store_fixed(out, value);
}

inline size_t kelvobinary_store_varbinary(writable_bytes out, const uint8_t* value, size_t length) {
    return detail::store_varbinary(out, value, length, true);
}
inline size_t kelvobinary_store_varbinary_not_nullable(writable_bytes out, const uint8_t* value, size_t length) {
    return detail::store_varbinary(out, value, length, false);
}

// Loads read a bare field value of a binary result (no marker, no length).
inline int8_t kelvobinary_load_i8(const uint8_t* source) { return static_cast<int8_t>(source[0]); }
inline int16_t kelvobinary_load_i16(const uint8_t* source) { return little_endian_load<int16_t>(source); }
inline int32_t kelvobinary_load_i32(const uint8_t* source) { return little_endian_load<int32_t>(source); }
inline int64_t kelvobinary_load_i64(const uint8_t* source) { return little_endian_load<int64_t>(source); }
inline uint128_t kelvobinary_load_u128(const uint8_t* source) { return little_endian_load_u128(source); }

}  // namespace kelvoapi
