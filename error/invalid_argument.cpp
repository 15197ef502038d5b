// See invalid_argument.h.
#include "error/invalid_argument.h"

#include <string>
#include <system_error>

namespace kelvoapi {

Error InvalidArgumentError(std::string_view name, ContextId contextId) {
    std::string message = "Invalid `";
    message += name;
    message += '`';
    return Error(std::make_error_code(std::errc::invalid_argument), message, contextId);
}

void ThrowIfNull(const void* pointer, std::string_view name, ContextId contextId) {
    if (pointer == nullptr)
        throw InvalidArgumentError(name, contextId);
}

}  // namespace kelvoapi
