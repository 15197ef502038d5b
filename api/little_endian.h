// Unaligned, little-endian loads and stores: the byte order of the copy format
// and of binary results, at any alignment, in a single move on x86-64.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "infra/uint128.h"

namespace kelvoapi {

// memcpy of a fixed size compiles to one unaligned move and, unlike a cast
// pointer, is defined at any address.
template <typename T>
inline void unaligned_store(void* destination, T value) {
    static_assert(std::is_trivially_copyable<T>::value, "stored values are plain bytes");
    std::memcpy(destination, &value, sizeof(T));
}

template <typename T>
inline T unaligned_load(const void* source) {
    static_assert(std::is_trivially_copyable<T>::value, "loaded values are plain bytes");
    T value;
    std::memcpy(&value, source, sizeof(T));
    return value;
}

namespace detail {

template <typename T>
inline T to_little_endian(T value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    if constexpr (sizeof(T) == 2) {
        return static_cast<T>(__builtin_bswap16(static_cast<uint16_t>(value)));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(value)));
    } else if constexpr (sizeof(T) == 8) {
        return static_cast<T>(__builtin_bswap64(static_cast<uint64_t>(value)));
    }
#endif
    return value;
}

}  // namespace detail

// Integers of 1, 2, 4 or 8 bytes; a 128-bit value is its two words in order.
template <typename T>
inline void little_endian_store(void* destination, T value) {
    static_assert(std::is_integral<T>::value, "little-endian stores take integers");
    unaligned_store<T>(destination, detail::to_little_endian(value));
}

template <typename T>
inline T little_endian_load(const void* source) {
    static_assert(std::is_integral<T>::value, "little-endian loads give integers");
    return detail::to_little_endian(unaligned_load<T>(source));
}

inline void little_endian_store(void* destination, uint128_t value) {
    auto* bytes = static_cast<unsigned char*>(destination);
    little_endian_store<uint64_t>(bytes, value.data[0]);
    little_endian_store<uint64_t>(bytes + 8, value.data[1]);
}

inline uint128_t little_endian_load_u128(const void* source) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    return uint128_t{{little_endian_load<uint64_t>(bytes), little_endian_load<uint64_t>(bytes + 8)}};
}

}  // namespace kelvoapi
