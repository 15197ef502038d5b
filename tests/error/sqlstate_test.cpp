// SQLSTATE codes as base-36 integers, the two categories of the library and
// the mapping of operating-system errors.
#include "error/sqlstate.h"

#include <gtest/gtest.h>

#include <climits>

#include "error/error.h"

namespace {

using kelvo::Sqlstate;

TEST(Sqlstate, TextsAndValuesConvertBothWays) {
    struct Case {
        const char* text;
        int value;
        Sqlstate code;
    };
    const Case cases[] = {
        {"00000", 0, Sqlstate::SuccessfulCompletion},
        {"HY000", 30139776, Sqlstate::GeneralError},
        {"XX000", 56966976, Sqlstate::InternalError},
        {"53200", 8540640, Sqlstate::UnableToAllocateMemory},
        {"22023", 3452619, Sqlstate::InvalidParameterValue},
        {"08P01", 405649, Sqlstate::ProtocolViolation},
        {"42P01", kelvo::SqlstateValue("42P01"), Sqlstate::UndefinedTable},
        {"54S01", kelvo::SqlstateValue("54S01"), Sqlstate::ValueTooLarge},
        {"HYT00", kelvo::SqlstateValue("HYT00"), Sqlstate::TimeoutExpired},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(kelvo::SqlstateValue(c.text), c.value);
        EXPECT_EQ(kelvo::SqlstateText(c.value), c.text);
        EXPECT_EQ(kelvo::sqlstate_category().message(c.value), c.text);
        EXPECT_EQ(static_cast<int>(c.code), c.value);
        const std::error_code ec = c.code;
        EXPECT_EQ(ec.category(), kelvo::sqlstate_category());
        EXPECT_EQ(ec.message(), c.text);
    }
    EXPECT_EQ(kelvo::SqlstateValue("ZZZZZ"), 60466175);
    EXPECT_EQ(kelvo::SqlstateText(60466175), "ZZZZZ");
}

TEST(Sqlstate, CharactersOutsideDigitsAndCapitalsCountAsZero) {
    EXPECT_EQ(kelvo::SqlstateValue("42p01"), kelvo::SqlstateValue("42001"));
    EXPECT_EQ(kelvo::SqlstateValue("4-.!1"), kelvo::SqlstateValue("40001"));
}

TEST(Sqlstate, ValuesOutsideTheFiveDigitRangeGiveWellFormedTexts) {
    for (int value : {-1, -36, INT_MIN, INT_MAX, 60466176, 60466175 * 2}) {
        SCOPED_TRACE(value);
        const std::string text = kelvo::SqlstateText(value);
        ASSERT_EQ(text.size(), 5u);
        for (char c : text) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) << text;
    }
}

TEST(Sqlstate, CategoriesHaveTheirNamesAndMessages) {
    EXPECT_STREQ(kelvo::sqlstate_category().name(), "sqlstate");
    EXPECT_STREQ(kelvoapi::process_exit_code_category().name(), "process_exit_code");
    EXPECT_EQ(kelvoapi::process_exit_code_category().message(3), "3");
    EXPECT_EQ(kelvoapi::process_exit_code_category().message(-9), "-9");
    EXPECT_EQ(&kelvo::sqlstate_category(), &kelvo::sqlstate_category());
}

TEST(Sqlstate, OperatingSystemErrorsMapToTheirSqlstates) {
    using E = std::errc;
    struct Case {
        std::errc errc;
        const char* sqlstate;
    };
    // One condition for each SQLSTATE of the mapping, and some without one.
    const Case cases[] = {
        {E::read_only_file_system, "42501"},
        {E::no_such_file_or_directory, "58P01"},
        {E::inappropriate_io_control_operation, "58030"},
        {E::no_such_device, "42704"},
        {E::text_file_busy, "55006"},
        {E::not_enough_memory, "53200"},
        {E::file_exists, "58P02"},
        {E::too_many_symbolic_link_levels, "53000"},
        {E::no_buffer_space, "53000"},
        {E::file_too_large, "54000"},
        {E::no_space_on_device, "53100"},
        {E::broken_pipe, "08006"},
        {E::host_unreachable, "08006"},
        {E::no_lock_available, "55P03"},
        {E::filename_too_long, "42602"},
        {E::stream_timeout, "HYT00"},
        {E::protocol_error, "08P01"},
        {E::value_too_large, "54S01"},
        {E::interrupted, "58000"},
        {E::invalid_argument, "58000"},
        {E::connection_refused, "58000"},
        {std::errc(), "00000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sqlstate);
        EXPECT_EQ(kelvo::SqlstateText(static_cast<int>(kelvo::mapToSqlstate(c.errc, Sqlstate::SystemError))),
                  c.sqlstate);
    }
}

}  // namespace
