// The library's one error type. Inside the library it is thrown by value; at
// the C boundary the frame (error/frame.h) hands a heap copy to the caller as
// its kelvo_error_t*, so the C handle is the error object itself.
#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "error/context_id.h"
#include "error/sqlstate.h"
#include "kelvo/error.h"

// The C handle type; empty, so that an Error converts to it without a cast.
struct kelvo_error_t {};

namespace kelvoapi {

// The category of server exit codes; message(v) is the decimal text of v.
class process_exit_code_error_category final : public std::error_category {
public:
    ~process_exit_code_error_category() override = default;
    const char* name() const noexcept override;
    std::string message(int value) const override;
};

const std::error_category& process_exit_code_category() noexcept;

// The category object for a kelvo_error_category_t value; null for a value
// that names none of the four.
const std::error_category* CategoryFromValue(int category) noexcept;

class Error : public kelvo_error_t {
public:
    // The detail text is message[detailOffset, end); an offset beyond the
    // message is cut down to its length. A code of a category other than the
    // four the library reports is carried over through its default error
    // condition when that is generic, and becomes HY000 otherwise.
    // Construction never throws: a text that cannot be copied stays empty.
    Error(std::error_code code, std::string_view message, ContextId contextId, size_t detailOffset) noexcept;
    Error(std::error_code code, std::string_view message, ContextId contextId) noexcept;

    // Copying duplicates the whole cause chain, without recursion; a cause
    // that cannot be allocated ends the copied chain there.
    Error(const Error& other) noexcept;
    Error(Error&& other) noexcept;
    Error& operator=(const Error& other) noexcept;
    // The target's previous cause chain is freed.
    Error& operator=(Error&& other) noexcept;
    // Frees the cause chain link by link, so a long chain cannot exhaust the stack.
    ~Error();

    void swap(Error& other) noexcept;

    const std::error_code& GetCode() const noexcept { return m_code; }
    kelvo_error_category_t GetCategory() const noexcept;
    // Empty outside the sqlstate category.
    const std::string& GetSqlstate() const noexcept { return m_sqlstate; }
    const Error* GetCause() const noexcept { return m_cause.get(); }
    Error* GetCause() noexcept { return m_cause.get(); }
    // The primary text followed by the detail text.
    const std::string& GetMessage() const noexcept { return m_message; }
    std::string_view GetPrimaryMessage() const noexcept;
    std::string_view GetDetail() const noexcept;
    size_t GetDetailOffset() const noexcept { return m_detail_offset; }
    const std::string& GetHint() const noexcept { return m_hint; }
    // Kept as the integer the caller gave: the C interface stores severities
    // without a range check, and such values render as "?".
    int GetSeverity() const noexcept { return m_severity; }
    ContextId GetContextId() const noexcept { return m_contextId; }

    // Replaces code and category; the SQLSTATE text follows.
    void SetCode(std::error_code code) noexcept;
    // Keeps the detail offset, cut down to the new message's length.
    void SetMessage(std::string_view message);
    void SetHint(std::string_view hint);
    void SetSeverity(int severity) noexcept { m_severity = severity; }
    // Moves `cause` into a new heap error that becomes this error's cause; the
    // previous chain is freed. Without memory the previous cause is kept.
    void SetCause(Error&& cause) noexcept;
    // Takes ownership of `cause` (null removes the cause).
    void SetCause(std::unique_ptr<Error> cause) noexcept;

    // The field access behind kelvo_error_get_field and kelvo_error_set_field;
    // invalid keys throw the invalid-argument error of each.
    void GetField(unsigned key, kelvo_error_field_value* value) const;
    void SetField(unsigned key, const kelvo_error_field_value& value);

private:
    struct WithoutCause {};
    Error(const Error& other, WithoutCause) noexcept;
    void RefreshSqlstate() noexcept;

    std::error_code m_code;
    std::string m_sqlstate;
    std::unique_ptr<Error> m_cause;
    std::string m_message;
    size_t m_detail_offset = 0;
    std::string m_hint;
    int m_severity = KELVO_SEVERITY_ERROR;
    ContextId m_contextId;
};

inline void swap(Error& a, Error& b) noexcept { a.swap(b); }

// "ERROR", "FATAL", "PANIC", or "?" for any other value.
const char* ErrorSeverityToString(int severity) noexcept;

// The fixed out-of-memory error (53200, empty message, context id 0xbada110c),
// allocated without throwing. A reserve made at start-up stands in when even
// that allocation fails.
Error* CreateOutOfMemoryError() noexcept;

// Heap copies handed to the caller; a failed allocation gives the
// out-of-memory error instead.
Error* NewHeapError(Error&& error) noexcept;

Error MakeError(const std::system_error& e, ContextId contextId) noexcept;
// A std::system_error keeps its code; any other exception gets HY000.
Error MakeError(const std::exception& e, ContextId contextId) noexcept;

// An error from the wire-protocol client's tagged error text
// ("<sqlstate>..</sqlstate><primary>..</primary><detail>..</detail>...").
Error MakeErrorFromTaggedString(std::string_view text, ContextId contextId);

// Code, Message, Hint Message, Severity and Context id lines, then each cause
// after an empty line and "CAUSED BY". The stream's formatting flags are kept.
std::ostream& PrintTo(std::ostream& os, const Error& error);
std::string ToString(const Error& error);

}  // namespace kelvoapi
