// The C-interface frame: what a body's outcome turns into.
#include "error/frame.h"
#include "support/error_ptr.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using kelvoapi::ContextId;
using kelvoapi::Error;
using kelvotest::ErrorPtr;

constexpr ContextId kFrameId{0xfeed0001};

TEST(Frame, EveryKindOfThrowBecomesAReturnedError) {
    struct Case {
        const char* name;
        std::function<void()> body;
        kelvo_error_category_t category;
        int code;
        std::string message;
        uint32_t contextId;
    };
    const Case cases[] = {
        {"library error",
         [] {
             Error error(kelvo::make_error_code(kelvo::Sqlstate::ObjectInUse), "busy", ContextId{0x1234});
             error.SetHint("wait");
             throw error;
         },
         KELVO_ERROR_CATEGORY_SQLSTATE, kelvo::SqlstateValue("55006"), "busy", 0x1234},
        {"out of memory", [] { throw std::bad_alloc(); }, KELVO_ERROR_CATEGORY_SQLSTATE, kelvo::SqlstateValue("53200"),
         "", 0xbada110c},
        {"runtime error", [] { throw std::runtime_error("it broke"); }, KELVO_ERROR_CATEGORY_SQLSTATE,
         kelvo::SqlstateValue("HY000"), "it broke", kFrameId.value},
        {"system error", [] { throw std::system_error(std::error_code(EPIPE, std::system_category()), "send"); },
         KELVO_ERROR_CATEGORY_SYSTEM, EPIPE,
         std::system_error(std::error_code(EPIPE, std::system_category()), "send").what(), kFrameId.value},
        {"integer", [] { throw 5; }, KELVO_ERROR_CATEGORY_SQLSTATE, kelvo::SqlstateValue("XX000"),
         "An unexpected exception occurred.", kFrameId.value},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool wrote = false;
        ErrorPtr returned(kelvoapi::WrapErrorThrowingBlock(
            [&] {
                c.body();
                wrote = true;
            },
            kFrameId));
        ASSERT_NE(returned, nullptr);
        EXPECT_FALSE(wrote);
        const Error& error = kelvotest::AsError(returned);
        EXPECT_EQ(error.GetCategory(), c.category);
        EXPECT_EQ(error.GetCode().value(), c.code);
        EXPECT_EQ(error.GetMessage(), c.message);
        EXPECT_EQ(error.GetContextId().value, c.contextId);
    }
    EXPECT_EQ(ErrorPtr(kelvoapi::WrapErrorThrowingBlock([] {}, kFrameId)), nullptr);
}

}  // namespace
