// The C-interface frame: every exported function that can fail runs its whole
// body inside WrapErrorThrowingBlock, which returns null on success or a new
// error object made from whatever the body threw. No exception crosses the
// library's C boundary.
//
// It wraps per-cell calls of the inserter buffer, so the success path is a
// plain call of the body: no std::function, no allocation, no logging. The
// conversions live out of line to keep each instantiation small.
#pragma once

#include <exception>
#include <new>

#include "error/context_id.h"
#include "error/error.h"

namespace kelvoapi {

namespace frame_detail {

kelvo_error_t* FromError(Error& error) noexcept;
kelvo_error_t* FromStdException(const std::exception& e, ContextId contextId) noexcept;
kelvo_error_t* FromUnknownException(ContextId contextId) noexcept;

}  // namespace frame_detail

template <typename Body>
inline kelvo_error_t* WrapErrorThrowingBlock(Body&& body, ContextId contextId) noexcept {
    try {
        body();
        return nullptr;
    } catch (Error& error) {
        return frame_detail::FromError(error);
    } catch (const std::bad_alloc&) {
        return CreateOutOfMemoryError();
    } catch (const std::exception& e) {
        return frame_detail::FromStdException(e, contextId);
    } catch (...) {
        return frame_detail::FromUnknownException(contextId);
    }
}

}  // namespace kelvoapi
