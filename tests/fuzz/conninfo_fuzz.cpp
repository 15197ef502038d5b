// Connection strings and URIs: whatever parses, written back as a keyword/value string, parses to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>

#include "fuzz_input.h"
#include "postgres/libpq/conninfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000 || memchr(data, 0, size) != nullptr)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    char* error = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(text.c_str(), &error);
    free(error);
    if (parsed == nullptr)
        return 0;
    // Each value quoted, with a backslash before a quote or a backslash in it.
    std::ostringstream written;
    for (const PQconninfoOption* o = parsed; o->keyword != nullptr; ++o)
        if (o->val != nullptr)
            written << o->keyword << "=" << std::quoted(o->val, '\'', '\\') << " ";
    PQconninfoOption* again = PQconninfoParse(written.str().c_str(), &error);
    TrapIf(again == nullptr);
    for (int i = 0; parsed[i].keyword != nullptr; ++i) {
        const char* a = parsed[i].val;
        const char* b = again[i].val;
        TrapIf((a == nullptr) != (b == nullptr) || (a != nullptr && strcmp(a, b) != 0));
    }
    PQconninfoFree(again);
    PQconninfoFree(parsed);
    return 0;
}
