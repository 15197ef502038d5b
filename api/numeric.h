// Decimal text to NUMERIC(precision, scale) values: a signed 64-bit integer
// holding the value times 10^scale (NUMERIC(10,2) 12.34 is 1234).
#pragma once

#include <cstdint>

namespace kelvoapi {

// Parses [ws][sign | "("]digits[.digits][e[sign]digits][")"][ws] from iter up
// to limit and advances iter behind what it consumed, also when it throws.
// Precision and scale are at most 18. Throws Error 42601 for malformed text
// and 22003 for a value with more fraction digits than the scale or more
// integer digits than precision - scale. Digits are judged as significant
// digits, so 0e9 is 0 and 0.05e2 is 5.
int64_t parseNumeric(const char*& iter, const char* limit, uint32_t precision, uint32_t scale);

}  // namespace kelvoapi
