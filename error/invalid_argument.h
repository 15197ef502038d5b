// The error for an argument that a C caller got wrong: an invalid error-field
// key, or a null pointer where an export needs an object or a place to store
// its result. A clear error instead of a crash inside the library.
#pragma once

#include <cstring>
#include <string_view>

#include "error/context_id.h"
#include "error/error.h"

namespace kelvoapi {

// Code 22 (EINVAL) of the generic category, message "Invalid `<name>`", no
// detail, severity ERROR.
Error InvalidArgumentError(std::string_view name, ContextId contextId);

// Throws InvalidArgumentError when `pointer` is null. Exports pass their frame
// context id, so the rendered error leads back to the refused call.
void ThrowIfNull(const void* pointer, std::string_view name, ContextId contextId);

// What a C caller passed for an enumeration, read as raw bytes: a C caller may
// pass any int, and loading a value outside the enumerators from an
// enumeration-typed object is undefined in C++.
template <typename Enum>
int RawEnumValue(const Enum& value) noexcept {
    static_assert(sizeof(int) == sizeof(Enum));
    int raw = 0;
    std::memcpy(&raw, &value, sizeof raw);
    return raw;
}

}  // namespace kelvoapi
