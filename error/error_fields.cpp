// Reading and changing an error's fields by key, behind kelvo_error_get_field
// and kelvo_error_set_field.
#include "error/context_ids.h"
#include "error/error.h"
#include "error/invalid_argument.h"

namespace kelvoapi {

namespace {

Error InvalidFieldError(ContextId contextId) { return InvalidArgumentError("field", contextId); }

// A null text counts as empty rather than crashing the caller's process.
std::string_view TextOrEmpty(const char* text) noexcept { return text ? std::string_view(text) : std::string_view(); }

bool ChainContains(const Error& error, const Error* candidate) noexcept {
    for (const Error* link = &error; link; link = link->GetCause()) {
        if (link == candidate)
            return true;
    }
    return false;
}

}  // namespace

void Error::GetField(unsigned key, kelvo_error_field_value* value) const {
    switch (key) {
        case KELVO_ERROR_FIELD_ERROR_CATEGORY:
            value->discriminator = 0;
            value->value.integer = GetCategory();
            return;
        case KELVO_ERROR_FIELD_ERROR_CODE:
            value->discriminator = 0;
            value->value.integer = m_code.value();
            return;
        case KELVO_ERROR_FIELD_MESSAGE:
            value->discriminator = 1;
            value->value.string = m_message.c_str();
            return;
        case KELVO_ERROR_FIELD_HINT_MESSAGE:
            value->discriminator = 1;
            value->value.string = m_hint.c_str();
            return;
        case KELVO_ERROR_FIELD_SEVERITY:
            value->discriminator = 0;
            value->value.integer = m_severity;
            return;
        case KELVO_ERROR_FIELD_SQL_STATE:
            value->discriminator = 1;
            value->value.string = m_sqlstate.c_str();
            return;
        case KELVO_ERROR_FIELD_CAUSE:
            value->discriminator = 2;
            value->value.pointer = static_cast<kelvo_error_t*>(const_cast<Error*>(m_cause.get()));
            return;
        case KELVO_ERROR_FIELD_CONTEXT_ID:
            value->discriminator = 3;
            value->value.uinteger = m_contextId.value;
            return;
        case KELVO_ERROR_FIELD_DETAIL:
            value->discriminator = 1;
            value->value.string = m_message.c_str() + m_detail_offset;
            return;
        default:
            throw InvalidFieldError(ContextIds::ErrorGetFieldInvalidKey);
    }
}

void Error::SetField(unsigned key, const kelvo_error_field_value& value) {
    switch (key) {
        case KELVO_ERROR_FIELD_ERROR_CATEGORY: {
            const std::error_category* category = CategoryFromValue(value.value.integer);
            // An unknown category would leave the error unreadable for the caller.
            if (!category)
                throw InvalidFieldError(ContextIds::ErrorSetFieldInvalidKey);
            SetCode(std::error_code(0, *category));
            return;
        }
        case KELVO_ERROR_FIELD_ERROR_CODE:
            SetCode(std::error_code(value.value.integer, m_code.category()));
            return;
        case KELVO_ERROR_FIELD_MESSAGE:
            SetMessage(TextOrEmpty(value.value.string));
            return;
        case KELVO_ERROR_FIELD_HINT_MESSAGE:
            SetHint(TextOrEmpty(value.value.string));
            return;
        case KELVO_ERROR_FIELD_SEVERITY:
            SetSeverity(value.value.integer);
            return;
        case KELVO_ERROR_FIELD_CAUSE: {
            auto* cause = static_cast<Error*>(static_cast<kelvo_error_t*>(value.value.pointer));
            // Handing over the current cause again changes nothing; any other
            // link of this error's own chain (or the error itself) would be
            // freed while still owned, or close a cycle, so it is refused.
            if (cause && cause == m_cause.get())
                return;
            if (cause && ChainContains(*this, cause))
                throw InvalidFieldError(ContextIds::ErrorSetFieldInvalidKey);
            SetCause(std::unique_ptr<Error>(cause));
            return;
        }
        case KELVO_ERROR_FIELD_CONTEXT_ID:
            m_contextId = ContextId{value.value.uinteger};
            return;
        default:
            // SQL_STATE and DETAIL follow from the code and the message.
            throw InvalidFieldError(ContextIds::ErrorSetFieldInvalidKey);
    }
}

}  // namespace kelvoapi
