// A byte copy for the short values that make up most cells (names, codes,
// keys of a few dozen bytes): up to 64 bytes it is two overlapping unaligned
// moves each way, inline, where a call into memcpy would cost more than the
// copy itself. Longer values go to memcpy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvoapi {

namespace small_copy_detail {

// Copies n bytes, w <= n <= 2w, as the first and the last w bytes.
template <size_t w>
inline void copy_two_overlapping(uint8_t* destination, const uint8_t* source, size_t n) {
    struct Block {
        uint8_t bytes[w];
    };
    Block head;
    Block tail;
    std::memcpy(&head, source, w);
    std::memcpy(&tail, source + n - w, w);
    std::memcpy(destination, &head, w);
    std::memcpy(destination + n - w, &tail, w);
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
            copy_two_overlapping<32>(destination, source, n);
        } else {
            std::memcpy(destination, source, n);
        }
    } else if (n >= 4) {
        copy_two_overlapping<4>(destination, source, n);
    } else if (n != 0) {
        destination[0] = source[0];
        destination[n / 2] = source[n / 2];
        destination[n - 1] = source[n - 1];
    }
}

}  // namespace kelvoapi
