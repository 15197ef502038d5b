// The error object: construction, copying and the cause chain, the two error
// categories of the library and the fixed out-of-memory error.
#include "error/error.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "error/context_ids.h"

namespace kelvoapi {

const char* process_exit_code_error_category::name() const noexcept { return "process_exit_code"; }

std::string process_exit_code_error_category::message(int value) const { return std::to_string(value); }

const std::error_category& process_exit_code_category() noexcept {
    static const process_exit_code_error_category category;
    return category;
}

const std::error_category* CategoryFromValue(int category) noexcept {
    switch (category) {
        case KELVO_ERROR_CATEGORY_GENERIC:
            return &std::generic_category();
        case KELVO_ERROR_CATEGORY_SYSTEM:
            return &std::system_category();
        case KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE:
            return &process_exit_code_category();
        case KELVO_ERROR_CATEGORY_SQLSTATE:
            return &kelvo::sqlstate_category();
        default:
            return nullptr;
    }
}

namespace {

bool IsKnownCategory(const std::error_category& category) noexcept {
    return category == std::generic_category() || category == std::system_category() ||
           category == process_exit_code_category() || category == kelvo::sqlstate_category();
}

// Callers read the category as one of four values; a code from any other
// category (iostreams, futures, a third-party library) would have none.
std::error_code NormalizeCode(std::error_code code) noexcept {
    if (IsKnownCategory(code.category()))
        return code;
    const std::error_condition condition = code.default_error_condition();
    if (condition.category() == std::generic_category())
        return std::error_code(condition.value(), std::generic_category());
    return kelvo::make_error_code(kelvo::Sqlstate::GeneralError);
}

// Copies a text, leaving the target empty when memory runs out.
void AssignOrLeaveEmpty(std::string& target, std::string_view text) noexcept {
    try {
        target.assign(text.data(), text.size());
    } catch (...) {
        target.clear();
    }
}

}  // namespace

Error::Error(std::error_code code, std::string_view message, ContextId contextId, size_t detailOffset) noexcept
    : m_code(NormalizeCode(code)), m_contextId(contextId) {
    AssignOrLeaveEmpty(m_message, message);
    m_detail_offset = detailOffset < m_message.size() ? detailOffset : m_message.size();
    RefreshSqlstate();
}

Error::Error(std::error_code code, std::string_view message, ContextId contextId) noexcept
    : Error(code, message, contextId, message.size()) {}

Error::Error(const Error& other, WithoutCause) noexcept
    : m_code(other.m_code),
      m_detail_offset(other.m_detail_offset),
      m_severity(other.m_severity),
      m_contextId(other.m_contextId) {
    AssignOrLeaveEmpty(m_sqlstate, other.m_sqlstate);
    AssignOrLeaveEmpty(m_message, other.m_message);
    AssignOrLeaveEmpty(m_hint, other.m_hint);
    if (m_detail_offset > m_message.size())
        m_detail_offset = m_message.size();
}

Error::Error(const Error& other) noexcept : Error(other, WithoutCause{}) {
    Error* tail = this;
    for (const Error* source = other.m_cause.get(); source; source = source->m_cause.get()) {
        tail->m_cause.reset(new (std::nothrow) Error(*source, WithoutCause{}));
        if (!tail->m_cause)
            break;
        tail = tail->m_cause.get();
    }
}

Error::Error(Error&& other) noexcept
    : m_code(other.m_code),
      m_sqlstate(std::move(other.m_sqlstate)),
      m_cause(std::move(other.m_cause)),
      m_message(std::move(other.m_message)),
      m_detail_offset(other.m_detail_offset),
      m_hint(std::move(other.m_hint)),
      m_severity(other.m_severity),
      m_contextId(other.m_contextId) {
    other.m_detail_offset = other.m_message.size();
}

Error& Error::operator=(const Error& other) noexcept {
    if (this != &other) {
        Error copy(other);
        swap(copy);
    }
    return *this;
}

Error& Error::operator=(Error&& other) noexcept {
    if (this != &other) {
        Error moved(std::move(other));
        swap(moved);
    }
    return *this;
}

Error::~Error() {
    std::unique_ptr<Error> next = std::move(m_cause);
    while (next)
        next = std::move(next->m_cause);
}

void Error::swap(Error& other) noexcept {
    using std::swap;
    swap(m_code, other.m_code);
    swap(m_sqlstate, other.m_sqlstate);
    swap(m_cause, other.m_cause);
    swap(m_message, other.m_message);
    swap(m_detail_offset, other.m_detail_offset);
    swap(m_hint, other.m_hint);
    swap(m_severity, other.m_severity);
    swap(m_contextId, other.m_contextId);
}

kelvo_error_category_t Error::GetCategory() const noexcept {
    const std::error_category& category = m_code.category();
    if (category == kelvo::sqlstate_category())
        return KELVO_ERROR_CATEGORY_SQLSTATE;
    if (category == process_exit_code_category())
        return KELVO_ERROR_CATEGORY_PROCESS_EXIT_CODE;
    if (category == std::system_category())
        return KELVO_ERROR_CATEGORY_SYSTEM;
    return KELVO_ERROR_CATEGORY_GENERIC;
}

std::string_view Error::GetPrimaryMessage() const noexcept {
    return std::string_view(m_message).substr(0, m_detail_offset);
}

std::string_view Error::GetDetail() const noexcept { return std::string_view(m_message).substr(m_detail_offset); }

void Error::RefreshSqlstate() noexcept {
    if (m_code.category() == kelvo::sqlstate_category()) {
        try {
            m_sqlstate = kelvo::SqlstateText(m_code.value());
        } catch (...) {
            m_sqlstate.clear();
        }
    } else {
        m_sqlstate.clear();
    }
}

void Error::SetCode(std::error_code code) noexcept {
    m_code = NormalizeCode(code);
    RefreshSqlstate();
}

void Error::SetMessage(std::string_view message) {
    m_message.assign(message.data(), message.size());
    if (m_detail_offset > m_message.size())
        m_detail_offset = m_message.size();
}

void Error::SetHint(std::string_view hint) { m_hint.assign(hint.data(), hint.size()); }

void Error::SetCause(Error&& cause) noexcept {
    std::unique_ptr<Error> heap(new (std::nothrow) Error(std::move(cause)));
    if (heap)
        SetCause(std::move(heap));
}

void Error::SetCause(std::unique_ptr<Error> cause) noexcept {
    // Swap first so that the old chain is freed (iteratively) only after the
    // new cause is in place.
    std::unique_ptr<Error> previous = std::move(m_cause);
    m_cause = std::move(cause);
    while (previous)
        previous = std::move(previous->m_cause);
}

const char* ErrorSeverityToString(int severity) noexcept {
    switch (severity) {
        case KELVO_SEVERITY_ERROR:
            return "ERROR";
        case KELVO_SEVERITY_FATAL:
            return "FATAL";
        case KELVO_SEVERITY_PANIC:
            return "PANIC";
        default:
            return "?";
    }
}

namespace {

Error* AllocateOutOfMemoryError() noexcept {
    return new (std::nothrow)
        Error(kelvo::make_error_code(kelvo::Sqlstate::UnableToAllocateMemory), {}, ContextIds::OutOfMemory, 0);
}

// Made while memory is still plentiful; handed out once when even the small
// out-of-memory error cannot be allocated, since the frame has nothing else
// to report and null would read as success.
std::atomic<Error*> outOfMemoryReserve{AllocateOutOfMemoryError()};

}  // namespace

Error* CreateOutOfMemoryError() noexcept {
    if (Error* error = AllocateOutOfMemoryError())
        return error;
    if (Error* reserve = outOfMemoryReserve.exchange(nullptr))
        return reserve;
    // Nothing left to report the failure with; going on would hand the
    // caller a success it did not have.
    std::abort();
}

Error* NewHeapError(Error&& error) noexcept {
    if (Error* heap = new (std::nothrow) Error(std::move(error)))
        return heap;
    return CreateOutOfMemoryError();
}

}  // namespace kelvoapi
