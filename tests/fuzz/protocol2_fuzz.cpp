// The protocol 2.0 parser fed hostile bytes through the input buffer, as a statement's answer. The first byte picks the
// chunk size and where to cut the input. Answers without an error must give the same results wherever the bytes were
// cut (the messages of 2.0 carry no length, so the parser must wait for the rest of a message wherever a read ends),
// and the parser never reads past what arrived.
#include "parser_cut.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size <= 1 << 16)
        kelvofuzz::SameWhereverCut(data, size, true);
    return 0;
}
