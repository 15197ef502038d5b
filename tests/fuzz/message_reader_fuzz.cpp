// The server's message reader fed hostile bytes: a start-up packet, then
// messages. Whatever is taken, the reader never holds more than it was given,
// and cutting the bytes elsewhere takes the same requests.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kelvod/protocol_reader.h"

namespace {

// The number of requests taken, or -1 after a protocol error.
int Take(const std::string& bytes, size_t step) {
    kelvod::ProtocolReader reader;
    bool started = false;
    int taken = 0;
    try {
        for (size_t at = 0; at < bytes.size(); at += step) {
            const size_t n = std::min(step, bytes.size() - at);
            reader.Append(bytes.data() + at, n);
            if (reader.Buffered() > bytes.size())
                __builtin_trap();
            if (!started) {
                auto packet = reader.TakeStartupPacket();
                if (!packet)
                    continue;
                started = true;
                ++taken;
            }
            while (reader.TakeRequest())
                ++taken;
        }
    } catch (const kelvod::ProtocolError& e) {
        if (e.sqlstate.empty())
            __builtin_trap();
        return -1 - taken;
    }
    return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t step = 1 + data[0] % 16;
    if (Take(bytes, bytes.size() + 1) != Take(bytes, step))
        __builtin_trap();
    return 0;
}
