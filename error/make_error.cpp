// Errors made from standard exceptions and from the wire-protocol client's
// tagged error texts.
#include "error/error.h"
#include "error/tagged_text.h"

namespace kelvoapi {

Error MakeError(const std::system_error& e, ContextId contextId) noexcept {
    return Error(e.code(), e.what(), contextId);
}

Error MakeError(const std::exception& e, ContextId contextId) noexcept {
    if (const auto* systemError = dynamic_cast<const std::system_error*>(&e))
        return MakeError(*systemError, contextId);
    return Error(kelvo::make_error_code(kelvo::Sqlstate::GeneralError), e.what(), contextId);
}

namespace {

int SeverityFromText(std::string_view text) {
    if (text == "FATAL")
        return KELVO_SEVERITY_FATAL;
    if (text == "PANIC")
        return KELVO_SEVERITY_PANIC;
    return KELVO_SEVERITY_ERROR;
}

}  // namespace

Error MakeErrorFromTaggedString(std::string_view text, ContextId contextId) {
    const std::string sqlstate = ReadTagValue(text, "sqlstate");
    kelvo::Sqlstate code = kelvo::Sqlstate::GeneralError;
    if (sqlstate.size() == 5) {
        code = static_cast<kelvo::Sqlstate>(kelvo::SqlstateValue(sqlstate));
    } else if (!sqlstate.empty()) {
        code = kelvo::Sqlstate::ProtocolViolation;
    }

    std::string message = ReadTagValue(text, "primary");
    const std::string detail = ReadTagValue(text, "detail");
    size_t detailOffset = message.size();
    if (message.empty() && detail.empty()) {
        message.assign(text.data(), text.size());
        detailOffset = message.size();
    } else if (!detail.empty()) {
        // The detail reads as the continuation of the primary sentence.
        if (!message.empty() && message.back() == '.')
            message.pop_back();
        message += ": ";
        detailOffset = message.size();
        message += detail;
    }

    Error error(kelvo::make_error_code(code), message, contextId, detailOffset);
    const std::string hint = ReadTagValue(text, "hint");
    if (!hint.empty())
        error.SetHint(hint);
    const std::string severity = ReadTagValue(text, "severity");
    if (!severity.empty())
        error.SetSeverity(SeverityFromText(severity));
    return error;
}

}  // namespace kelvoapi
