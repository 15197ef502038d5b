// Date text as clients send it, on hostile input: reading it throws nothing, and a date written with digits is never
// taken for an infinity.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "fuzz_input.h"
#include "kelvod/values/text_casts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool outOfRange = false;
    auto days = kelvod::ParseDateText(std::string_view(reinterpret_cast<const char*>(data), size), outOfRange);
    TrapIf(days && outOfRange);
    // A date written with digits never lands on the infinities' sentinels.
    constexpr int32_t kInfinity = std::numeric_limits<int32_t>::max();
    TrapIf(days && size > 0 && data[0] >= '0' && data[0] <= '9' && (*days == kInfinity || *days == -kInfinity));
    return 0;
}
