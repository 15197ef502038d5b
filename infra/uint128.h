// A 128-bit value as two 64-bit words: the C interface's kelvo_data128_t under
// its internal name, so that values pass between the two without conversion.
// Intervals and 16-byte cells of the copy format use it; it has no arithmetic
// because nothing here computes with it.
#pragma once

#include "kelvo/values.h"

namespace kelvoapi {

using uint128_t = kelvo_data128_t;
static_assert(sizeof(uint128_t) == 16, "two words, no padding: cells copy it byte for byte");

}  // namespace kelvoapi
