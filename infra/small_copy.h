// A byte copy for the short values that make up most cells (names, codes,
// keys of a few dozen bytes): up to 64 bytes it is a few overlapping
// unaligned moves each way, inline, where a call into memcpy would cost more
// than the copy itself. Longer values go to memcpy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvoapi {

namespace small_copy_detail {

// At most 16 bytes, so that a block lives in one register: a wider block
// went through the stack.
template <size_t w>
struct Block {
    static_assert(w <= 16, "a block must fit one register");
    uint8_t bytes[w];
};

template <size_t w>
inline Block<w> load(const uint8_t* source) {
    Block<w> block;
    std::memcpy(&block, source, w);
    return block;
}

template <size_t w>
inline void store(uint8_t* destination, const Block<w>& block) {
    std::memcpy(destination, &block, w);
}

// Copies n bytes, w <= n <= 2w, as the first and the last w bytes. Both are
// loaded before either is stored.
template <size_t w>
inline void copy_two_overlapping(uint8_t* destination, const uint8_t* source, size_t n) {
    const Block<w> head = load<w>(source);
    const Block<w> tail = load<w>(source + n - w);
    store(destination, head);
    store(destination + n - w, tail);
}

// Copies n bytes, 32 <= n <= 64, as the first and the last 32 bytes.
inline void copy_four_overlapping(uint8_t* destination, const uint8_t* source, size_t n) {
    const Block<16> head0 = load<16>(source);
    const Block<16> head1 = load<16>(source + 16);
    const Block<16> tail0 = load<16>(source + n - 32);
    const Block<16> tail1 = load<16>(source + n - 16);
    store(destination, head0);
    store(destination + 16, head1);
    store(destination + n - 32, tail0);
    store(destination + n - 16, tail1);
}

}  // namespace small_copy_detail

// The longest copy done inline.
constexpr size_t copy_small_max = 64;

// `source` may be null when n is 0; the ranges must not overlap.
inline void copy_small(uint8_t* destination, const uint8_t* source, size_t n) {
    using namespace small_copy_detail;
    if (n >= 8) {
        if (n <= 16) {
            copy_two_overlapping<8>(destination, source, n);
        } else if (n <= 32) {
            copy_two_overlapping<16>(destination, source, n);
        } else if (n <= copy_small_max) {
            copy_four_overlapping(destination, source, n);
        } else {
            std::memcpy(destination, source, n);
        }
    } else if (n >= 4) {
        copy_two_overlapping<4>(destination, source, n);
    } else if (n >= 2) {
        copy_two_overlapping<2>(destination, source, n);
    } else if (n != 0) {
        destination[0] = source[0];
    }
}

}  // namespace kelvoapi
