#include "instance/cpu_check.h"

#include <gtest/gtest.h>

#include "error/error.h"

namespace {

TEST(CpuCheck, EveryRequiredBitMustBeSet) {
    EXPECT_NO_THROW(kelvoapi::CheckProcessor(0x980201));
    EXPECT_NO_THROW(kelvoapi::CheckProcessor());  // this machine
    // SSE3, SSSE3, SSE4.1, SSE4.2, POPCNT.
    for (const uint32_t bit : {0u, 9u, 19u, 20u, 23u}) {
        try {
            kelvoapi::CheckProcessor(0xffffffffu & ~(1u << bit));
            ADD_FAILURE() << "bit " << bit << " not required";
        } catch (const kelvoapi::Error& e) {
            EXPECT_EQ(e.GetSqlstate(), "58000");
            EXPECT_EQ(e.GetMessage(),
                      "The Kelvo API requires a processor that supports SSE4.2, SSE4.1, SSSE3, SSE3 and POPCNT "
                      "instructions.");
            EXPECT_EQ(e.GetContextId().value, 0x0f4c5532u);
        }
    }
}

}  // namespace
