// The constant that each throw or catch site of the library puts into the
// errors it makes, so that a rendered error tells where it was raised.
#pragma once

#include <cstdint>

namespace kelvoapi {

struct ContextId {
    uint32_t value;
};

}  // namespace kelvoapi
