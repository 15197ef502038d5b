// A 128-bit value as two 64-bit words, the in-memory twin of kelvo_data128_t.
// Intervals and 16-byte cells of the copy format use it; it has no arithmetic
// because nothing here computes with it.
#pragma once

#include <cstdint>

namespace kelvoapi {

struct uint128_t {
    uint64_t data[2];
};

inline bool operator==(const uint128_t& a, const uint128_t& b) {
    return a.data[0] == b.data[0] && a.data[1] == b.data[1];
}
inline bool operator!=(const uint128_t& a, const uint128_t& b) { return !(a == b); }

}  // namespace kelvoapi
