// The out-of-line conversions of the C-interface frame; see frame.h.
#include "error/frame.h"

namespace kelvoapi::frame_detail {

kelvo_error_t* FromError(Error& error) noexcept { return NewHeapError(std::move(error)); }

kelvo_error_t* FromStdException(const std::exception& e, ContextId contextId) noexcept {
    return NewHeapError(MakeError(e, contextId));
}

kelvo_error_t* FromUnknownException(ContextId contextId) noexcept {
    return NewHeapError(
        Error(kelvo::make_error_code(kelvo::Sqlstate::InternalError), "An unexpected exception occurred.", contextId));
}

}  // namespace kelvoapi::frame_detail
