// The library's copy of the protocol client's result status, value for value.
#pragma once

namespace kelvoapi {

enum ResultStatus : int {
    KELVO_RESULT_EMPTY_QUERY = 0,
    KELVO_RESULT_COMMAND_OK = 1,
    KELVO_RESULT_TUPLES_OK = 2,
    KELVO_RESULT_COPY_OUT = 3,
    KELVO_RESULT_COPY_IN = 4,
    KELVO_RESULT_BAD_RESPONSE = 5,
    KELVO_RESULT_NONFATAL_ERROR = 6,
    KELVO_RESULT_FATAL_ERROR = 7,
    KELVO_RESULT_COPY_BOTH = 8,
    KELVO_RESULT_TUPLES_CHUNK = 9
};

// 5 and above, but for the chunk status 9.
inline bool IsErrorStatus(int status) {
    return status >= KELVO_RESULT_BAD_RESPONSE && status != KELVO_RESULT_TUPLES_CHUNK;
}

}  // namespace kelvoapi
