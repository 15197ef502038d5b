// Errors and notices that arrive in protocol results, turned into error
// objects from the result's fields. Used by the rowset, the connection's
// notice hook and the insertion.
#pragma once

#include <optional>
#include <string_view>

#include "error/context_id.h"
#include "error/error.h"
#include "kelvo/error.h"
#include "postgres/libpq/libpq_types.h"

namespace kelvoapi {

// Message = primary text, then ": " and the detail when there is one; the
// SQLSTATE is HY000 when missing and 08P01 when not five characters long.
Error MakeError(const PGresult* result, ContextId contextId);

// The field's text, empty when absent.
std::string_view GetResultErrorField(const PGresult* result, int field);

// "FATAL" and "PANIC" exactly; anything else is an ERROR.
kelvo_error_severity_t ParseSeverityString(std::string_view severity);

// The SQLSTATE of a result as its code value; none when the field is absent
// or not five characters long.
std::optional<int> getSqlstate(const PGresult* result);

}  // namespace kelvoapi
