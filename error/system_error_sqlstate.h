// SQLSTATE codes for operating-system and library error codes, used where a
// failed system call becomes a kelvoapi::Error.
#pragma once

#include <system_error>

#include "error/sqlstate.h"

namespace kelvo {

// By the code's default error condition: 0 gives 00000, an SQLSTATE
// condition itself, a generic errno value its mapping, anything else
// `fallback`.
Sqlstate mapToSqlstate(const std::error_code& code, Sqlstate fallback) noexcept;
Sqlstate mapToSqlstate(const std::error_condition& condition, Sqlstate fallback) noexcept;

}  // namespace kelvo
