// The mapping of operating-system errors to SQLSTATE codes; the codes' texts
// are read wherever errors are rendered.
#include "error/sqlstate.h"

#include <gtest/gtest.h>

#include <future>

#include "error/error.h"
#include "error/system_error_sqlstate.h"

namespace {

using kelvo::Sqlstate;

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
