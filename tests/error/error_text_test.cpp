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
    cause.SetCause(Error(std::error_code(-1, kelvo::sqlstate_category()), "", ContextId{0}));
    error.SetCause(std::move(cause));

    std::ostringstream os;
    os << std::hex << std::showbase << std::uppercase;
    kelvoapi::PrintTo(os, error) << 255;
    EXPECT_EQ(os.str(),
              "Code: sqlstate:42P01\nMessage: relation missing: \"t\"\nHint Message: Create it first.\n"
              "Severity: FATAL\nContext id: 0xabcdef1\n\nCAUSED BY\n"
              "Code: generic:22\nMessage: bad argument\nSeverity: ?\nContext id: 0x10\n\nCAUSED BY\n"
              "Code: sqlstate:141Z3\nSeverity: ERROR\nContext id: 0x0\n0XFF");
    const Error exitCode(std::error_code(-7, kelvoapi::process_exit_code_category()), "", ContextId{0xffffffff});
    EXPECT_EQ(kelvoapi::ToString(exitCode), "Code: process_exit_code:-7\nSeverity: ERROR\nContext id: 0xffffffff\n");
}

}  // namespace
