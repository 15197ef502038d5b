// Error objects from the fields of a failed result or a notice.
#include "api/result_error.h"

#include <string>

#include "error/sqlstate.h"
#include "postgres/libpq/result_record.h"

namespace kelvoapi {

std::string_view GetResultErrorField(const PGresult* result, int field) {
    const char* value = PQresultErrorField(result, field);
    return value == nullptr ? std::string_view() : std::string_view(value);
}

kelvo_error_severity_t ParseSeverityString(std::string_view severity) {
    if (severity == "FATAL") {
        return KELVO_SEVERITY_FATAL;
    }
    if (severity == "PANIC") {
        return KELVO_SEVERITY_PANIC;
    }
    return KELVO_SEVERITY_ERROR;
}

Error MakeError(const PGresult* result, ContextId contextId) {
    const std::string_view primary = GetResultErrorField(result, 'M');
    // A result the client made itself (a lost connection, a failed read)
    // has no fields, only the tagged text of what went wrong.
    if (primary.empty() && GetResultErrorField(result, 'C').empty()) {
        const char* text = PQresultErrorMessage(result);
        if (text != nullptr && *text != '\0') {
            return MakeErrorFromTaggedString(text, contextId);
        }
    }
    const std::string_view detail = GetResultErrorField(result, 'D');
    std::string message(primary);
    size_t detailOffset = message.size();
    if (!detail.empty()) {
        message += ": ";
        detailOffset = message.size();
        message += detail;
    }
    const std::string_view sqlstate = GetResultErrorField(result, 'C');
    int code;
    if (sqlstate.empty()) {
        code = static_cast<int>(kelvo::Sqlstate::GeneralError);
    } else if (sqlstate.size() == 5) {
        code = kelvo::SqlstateValue(sqlstate);
    } else {
        code = static_cast<int>(kelvo::Sqlstate::ProtocolViolation);
    }
    Error error(std::error_code(code, kelvo::sqlstate_category()), message, contextId, detailOffset);
    error.SetHint(GetResultErrorField(result, 'H'));
    error.SetSeverity(ParseSeverityString(GetResultErrorField(result, 'S')));
    return error;
}

std::optional<int> getSqlstate(const PGresult* result) {
    const char* field = PQresultErrorField(result, 'C');
    if (field == nullptr) {
        return std::nullopt;
    }
    const std::string_view sqlstate(field);
    if (sqlstate.size() != 5) {
        return std::nullopt;
    }
    return kelvo::SqlstateValue(sqlstate);
}

}  // namespace kelvoapi
