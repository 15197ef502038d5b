// SQLSTATE codes for system error codes.
#include "error/system_error_sqlstate.h"

namespace kelvo {

Sqlstate mapToSqlstate(const std::error_condition& condition, Sqlstate fallback) noexcept {
    if (condition.value() == 0)
        return Sqlstate::SuccessfulCompletion;
    if (condition.category() == sqlstate_category())
        return static_cast<Sqlstate>(condition.value());
    if (condition.category() == std::generic_category())
        return mapToSqlstate(static_cast<std::errc>(condition.value()), fallback);
    return fallback;
}

Sqlstate mapToSqlstate(const std::error_code& code, Sqlstate fallback) noexcept {
    return mapToSqlstate(code.default_error_condition(), fallback);
}

}  // namespace kelvo
