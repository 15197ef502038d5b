// Connection strings and URIs: whatever parses, written back as a
// keyword/value string, parses to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "postgres/libpq/conninfo.h"

namespace {

std::string Quoted(const char* value) {
    std::string out = "'";
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == '\'' || *p == '\\')
            out += '\\';
        out += *p;
    }
    return out + "'";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000 || memchr(data, 0, size) != nullptr)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    char* error = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(text.c_str(), &error);
    free(error);
    if (parsed == nullptr)
        return 0;
    std::string written;
    for (const PQconninfoOption* o = parsed; o->keyword != nullptr; ++o)
        if (o->val != nullptr)
            written += std::string(o->keyword) + "=" + Quoted(o->val) + " ";
    PQconninfoOption* again = PQconninfoParse(written.c_str(), &error);
    if (again == nullptr)
        __builtin_trap();
    for (int i = 0; parsed[i].keyword != nullptr; ++i) {
        const char* a = parsed[i].val;
        const char* b = again[i].val;
        if ((a == nullptr) != (b == nullptr) || (a != nullptr && strcmp(a, b) != 0))
            __builtin_trap();
    }
    PQconninfoFree(again);
    PQconninfoFree(parsed);
    return 0;
}
