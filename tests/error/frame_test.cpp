// The C-interface frame: what a body's outcome turns into.
#include "error/frame.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using kelvoapi::ContextId;
using kelvoapi::Error;

struct Owned {
    void operator()(kelvo_error_t* error) const { delete static_cast<Error*>(error); }
};
using ErrorPtr = std::unique_ptr<kelvo_error_t, Owned>;

constexpr ContextId kFrameId{0xfeed0001};

TEST(Frame, SuccessReturnsNullAndWritesTheResult) {
    int out = 0;
    ErrorPtr error(kelvoapi::WrapErrorThrowingBlock([&] { out = 42; }, kFrameId));
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(out, 42);
}

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
        {"out of memory", [] { throw std::bad_alloc(); }, KELVO_ERROR_CATEGORY_SQLSTATE,
         kelvo::SqlstateValue("53200"), "", 0xbada110c},
        {"array new length", [] { throw std::bad_array_new_length(); }, KELVO_ERROR_CATEGORY_SQLSTATE,
         kelvo::SqlstateValue("53200"), "", 0xbada110c},
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
        const Error& error = *static_cast<const Error*>(returned.get());
        EXPECT_EQ(error.GetCategory(), c.category);
        EXPECT_EQ(error.GetCode().value(), c.code);
        EXPECT_EQ(error.GetMessage(), c.message);
        EXPECT_EQ(error.GetContextId().value, c.contextId);
    }
}

TEST(Frame, AThrownErrorKeepsItsCauseChainAndFields) {
    ErrorPtr returned(kelvoapi::WrapErrorThrowingBlock(
        [] {
            Error error(kelvo::make_error_code(kelvo::Sqlstate::SystemError), "start failed", ContextId{0xeee3fd70});
            error.SetHint("check the file");
            error.SetSeverity(KELVO_SEVERITY_FATAL);
            Error cause(std::error_code(ENOENT, std::system_category()), "exec", ContextId{0x07e9110c});
            cause.SetCause(Error(kelvo::make_error_code(kelvo::Sqlstate::IoError), "deepest", ContextId{3}));
            error.SetCause(std::move(cause));
            throw error;
        },
        kFrameId));
    ASSERT_NE(returned, nullptr);
    const Error& error = *static_cast<const Error*>(returned.get());
    EXPECT_EQ(kelvoapi::ToString(error),
              "Code: sqlstate:58000\nMessage: start failed\nHint Message: check the file\nSeverity: FATAL\n"
              "Context id: 0xeee3fd70\n\nCAUSED BY\nCode: system:2\nMessage: exec\nSeverity: ERROR\n"
              "Context id: 0x7e9110c\n\nCAUSED BY\nCode: sqlstate:58030\nMessage: deepest\nSeverity: ERROR\n"
              "Context id: 0x3\n");
}

}  // namespace
