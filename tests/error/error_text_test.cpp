// The text rendering of errors and their causes.
#include <gtest/gtest.h>

#include <sstream>

#include "error/error.h"

namespace {

using kelvoapi::ContextId;
using kelvoapi::Error;

TEST(ErrorText, RendersEveryLineAndTheCauseChain) {
    Error error(kelvo::make_error_code(kelvo::Sqlstate::UndefinedTable), "relation missing: \"t\"", ContextId{0x0abcdef1},
                18);
    error.SetHint("Create it first.");
    error.SetSeverity(KELVO_SEVERITY_FATAL);
    Error cause(std::make_error_code(std::errc::invalid_argument), "bad argument", ContextId{0x10});
    cause.SetSeverity(9);
    cause.SetCause(Error(std::error_code(3, kelvoapi::process_exit_code_category()), "", ContextId{0}));
    error.SetCause(std::move(cause));

    EXPECT_EQ(kelvoapi::ToString(error),
              "Code: sqlstate:42P01\n"
              "Message: relation missing: \"t\"\n"
              "Hint Message: Create it first.\n"
              "Severity: FATAL\n"
              "Context id: 0xabcdef1\n"
              "\n"
              "CAUSED BY\n"
              "Code: generic:22\n"
              "Message: bad argument\n"
              "Severity: ?\n"
              "Context id: 0x10\n"
              "\n"
              "CAUSED BY\n"
              "Code: process_exit_code:3\n"
              "Severity: ERROR\n"
              "Context id: 0x0\n");
}

TEST(ErrorText, CodeAndSeverityLines) {
    struct Case {
        std::error_code code;
        int severity;
        const char* expected;
    };
    const Case cases[] = {
        {std::error_code(ENOENT, std::system_category()), KELVO_SEVERITY_PANIC,
         "Code: system:2\nSeverity: PANIC\nContext id: 0xffffffff\n"},
        {std::error_code(-7, kelvoapi::process_exit_code_category()), KELVO_SEVERITY_ERROR,
         "Code: process_exit_code:-7\nSeverity: ERROR\nContext id: 0xffffffff\n"},
        {std::error_code(-1, kelvo::sqlstate_category()), -1,
         "Code: sqlstate:141Z3\nSeverity: ?\nContext id: 0xffffffff\n"},
        {std::error_code(3, kelvo::sqlstate_category()), 3, "Code: sqlstate:00003\nSeverity: ?\nContext id: 0xffffffff\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        Error error(c.code, "", ContextId{0xffffffff});
        error.SetSeverity(c.severity);
        EXPECT_EQ(kelvoapi::ToString(error), c.expected);
    }
}

TEST(ErrorText, KeepsTheStreamsFormattingAndIgnoresIt) {
    const Error error(std::make_error_code(std::errc::invalid_argument), "m", ContextId{0xab});
    std::ostringstream os;
    os << std::hex << std::showbase << std::uppercase << std::showpos;
    const std::ios_base::fmtflags before = os.flags();
    kelvoapi::PrintTo(os, error) << 255;
    EXPECT_EQ(os.flags(), before);
    EXPECT_EQ(os.str(), "Code: generic:22\nMessage: m\nSeverity: ERROR\nContext id: 0xab\n0XFF");
}

}  // namespace
