// An error returned through the C interface, owned and read as the library's own type.
#pragma once

#include <memory>
#include <string>

#include "error/error.h"
#include "kelvo/error.h"

namespace kelvotest {

struct ErrorDestroy {
    void operator()(kelvo_error_t* error) const { kelvo_error_destroy(error); }
};
using ErrorPtr = std::unique_ptr<kelvo_error_t, ErrorDestroy>;

inline const kelvoapi::Error& AsError(const kelvo_error_t* error) {
    return *static_cast<const kelvoapi::Error*>(error);
}
inline const kelvoapi::Error& AsError(const ErrorPtr& error) { return AsError(error.get()); }

// The whole text of `error` (empty for success); destroys it.
inline std::string TextOf(kelvo_error_t* error) {
    const ErrorPtr owned(error);
    return error ? kelvoapi::ToString(AsError(error)) : "";
}

// The SQLSTATE of `error` (empty for success); destroys it.
inline std::string SqlstateOf(kelvo_error_t* error) {
    const ErrorPtr owned(error);
    return error ? AsError(error).GetSqlstate() : "";
}

}  // namespace kelvotest
