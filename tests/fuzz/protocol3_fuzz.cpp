// The protocol 3.0 parser fed hostile bytes through the input buffer, as a statement's answer. The first byte picks the
// chunk size and where to cut the input. Answers that keep to the protocol must give the same results wherever the
// bytes were cut; after a protocol violation the parser owes only an error, and which results it reports around it may
// depend on where a read ended.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "parser_cut.h"

namespace {

// Whether a message declares more than a megabyte. The parser then grows its buffer to the declared size, which is
// right and tested elsewhere, but would make the fuzzer spend its time clearing pages.
bool DeclaresHugeMessage(const std::string& input) {
    for (size_t at = 0; at + 5 <= input.size();) {
        const auto length = static_cast<uint32_t>(kelvofuzz::ReadBe32(input, at + 1));
        if (length > (1u << 20))
            return true;
        at += 1 + std::max<size_t>(length, 4);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || DeclaresHugeMessage(std::string(reinterpret_cast<const char*>(data) + 1, size - 1)))
        return 0;
    kelvofuzz::SameWhereverCut(data, size, false);
    return 0;
}
