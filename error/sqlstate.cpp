// SQLSTATE texts, the sqlstate error category and the mapping of
// operating-system errors to SQLSTATEs.
#include "error/sqlstate.h"

#include <cstdint>

namespace kelvo {

std::string SqlstateText(int value) {
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    uint32_t rest = static_cast<uint32_t>(value);
    std::string text(5, '0');
    for (int i = 4; i >= 0; --i) {
        text[static_cast<size_t>(i)] = kDigits[rest % 36];
        rest /= 36;
    }
    return text;
}

namespace internal {

const char* sqlstate_error_category::name() const noexcept { return "sqlstate"; }

std::string sqlstate_error_category::message(int value) const { return SqlstateText(value); }

}  // namespace internal

const std::error_category& sqlstate_category() noexcept {
    static const internal::sqlstate_error_category category;
    return category;
}

std::error_code make_error_code(Sqlstate code) noexcept {
    return std::error_code(static_cast<int>(code), sqlstate_category());
}

Sqlstate mapToSqlstate(std::errc code, Sqlstate fallback) noexcept {
    // std::errc has no enumerator for "no error".
    if (static_cast<int>(code) == 0)
        return Sqlstate::SuccessfulCompletion;
    switch (code) {
        case std::errc::operation_not_permitted:
        case std::errc::permission_denied:
        case std::errc::read_only_file_system:
            return Sqlstate::InsufficientPrivilege;
        case std::errc::no_such_file_or_directory:
            return Sqlstate::UndefinedFile;
        case std::errc::io_error:
        case std::errc::inappropriate_io_control_operation:
            return Sqlstate::IoError;
        case std::errc::no_such_device_or_address:
        case std::errc::no_such_device:
            return Sqlstate::UndefinedObject;
        case std::errc::resource_unavailable_try_again:
        case std::errc::text_file_busy:
            return Sqlstate::ObjectInUse;
        case std::errc::not_enough_memory:
            return Sqlstate::UnableToAllocateMemory;
        case std::errc::file_exists:
            return Sqlstate::DuplicateFile;
        case std::errc::too_many_files_open_in_system:
        case std::errc::too_many_files_open:
        case std::errc::too_many_links:
        case std::errc::too_many_symbolic_link_levels:
        case std::errc::no_stream_resources:
        case std::errc::no_buffer_space:
            return Sqlstate::InsufficientResources;
        case std::errc::file_too_large:
            return Sqlstate::ProgramLimitExceeded;
        case std::errc::no_space_on_device:
            return Sqlstate::DiskFull;
        case std::errc::broken_pipe:
        case std::errc::network_down:
        case std::errc::network_unreachable:
        case std::errc::network_reset:
        case std::errc::connection_reset:
        case std::errc::host_unreachable:
            return Sqlstate::ConnectionFailure;
        case std::errc::resource_deadlock_would_occur:
        case std::errc::no_lock_available:
            return Sqlstate::LockNotAvailable;
        case std::errc::filename_too_long:
            return Sqlstate::InvalidName;
        case std::errc::stream_timeout:
        case std::errc::timed_out:
            return Sqlstate::TimeoutExpired;
        case std::errc::protocol_error:
            return Sqlstate::ProtocolViolation;
        case std::errc::value_too_large:
            return Sqlstate::ValueTooLarge;
        default:
            return fallback;
    }
}

}  // namespace kelvo
