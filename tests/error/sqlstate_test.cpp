// SQLSTATE codes as base-36 integers and the mapping of operating-system errors.
#include "error/sqlstate.h"

#include <gtest/gtest.h>

#include <climits>
#include <future>

#include "error/error.h"
#include "error/system_error_sqlstate.h"

namespace {

using kelvo::Sqlstate;

TEST(Sqlstate, TextsAndValuesConvertBothWays) {
    const std::pair<const char*, int> cases[] = {
        {"00000", 0}, {"HY000", 30139776}, {"22023", 3452619}, {"08P01", 405649}, {"ZZZZZ", 60466175}};
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(kelvo::SqlstateValue(text), value);
        EXPECT_EQ(kelvo::SqlstateText(value), text);
        EXPECT_EQ(kelvo::sqlstate_category().message(value), text);
    }
    EXPECT_EQ(static_cast<int>(Sqlstate::UndefinedTable), kelvo::SqlstateValue("42P01"));
    EXPECT_STREQ(kelvo::sqlstate_category().name(), "sqlstate");
    EXPECT_STREQ(kelvoapi::process_exit_code_category().name(), "process_exit_code");
}

TEST(Sqlstate, ValuesOutsideTheFiveDigitRangeGiveWellFormedTexts) {
    for (int value : {-1, -36, INT_MIN, INT_MAX, 60466176}) {
        SCOPED_TRACE(value);
        const std::string text = kelvo::SqlstateText(value);
        ASSERT_EQ(text.size(), 5u);
        for (char c : text) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) << text;
    }
}

TEST(Sqlstate, SystemErrorsMapToTheirSqlstates) {
    using E = std::errc;
    const std::pair<std::error_code, const char*> cases[] = {
        {std::make_error_code(E::read_only_file_system), "42501"},
        {std::make_error_code(E::no_such_file_or_directory), "58P01"},
        {std::make_error_code(E::not_enough_memory), "53200"},
        {std::make_error_code(E::no_space_on_device), "53100"},
        {std::make_error_code(E::broken_pipe), "08006"},
        {std::make_error_code(E::stream_timeout), "HYT00"},
        {std::make_error_code(E::value_too_large), "54S01"},
        {std::error_code(EACCES, std::system_category()), "42501"},
        {std::error_code(ECHILD, std::system_category()), "58000"},
        {std::make_error_code(E::interrupted), "58000"},
        {kelvo::make_error_code(Sqlstate::InvalidParameterValue), "22023"},
        {std::make_error_code(std::future_errc::no_state), "58000"},
        {std::error_code(), "00000"},
    };
    for (const auto& [code, sqlstate] : cases) {
        SCOPED_TRACE(sqlstate);
        EXPECT_EQ(kelvo::SqlstateText(static_cast<int>(kelvo::mapToSqlstate(code, Sqlstate::SystemError))), sqlstate);
    }
}

}  // namespace
