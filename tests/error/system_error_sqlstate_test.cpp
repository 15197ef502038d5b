#include "error/system_error_sqlstate.h"

#include <gtest/gtest.h>

#include <future>

namespace {

using kelvo::Sqlstate;

TEST(SystemErrorSqlstate, MapsByTheDefaultCondition) {
    struct Case {
        const char* name;
        std::error_code code;
        Sqlstate expected;
    };
    const Case cases[] = {
        {"NoError", std::error_code(), Sqlstate::SuccessfulCompletion},
        {"SystemErrnoThroughGeneric", std::error_code(EACCES, std::system_category()), Sqlstate::InsufficientPrivilege},
        {"GenericErrno", std::make_error_code(std::errc::no_such_file_or_directory), Sqlstate::UndefinedFile},
        {"UnmappedErrnoFallsBack", std::error_code(ECHILD, std::system_category()), Sqlstate::TimeoutExpired},
        {"SqlstateKeepsItself", kelvo::make_error_code(Sqlstate::InvalidParameterValue), Sqlstate::InvalidParameterValue},
        {"OtherCategoryFallsBack", std::make_error_code(std::future_errc::no_state), Sqlstate::TimeoutExpired},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kelvo::mapToSqlstate(c.code, Sqlstate::TimeoutExpired), c.expected) << c.name;
        EXPECT_EQ(kelvo::mapToSqlstate(c.code.default_error_condition(), Sqlstate::TimeoutExpired), c.expected)
            << c.name;
    }
}

}  // namespace
