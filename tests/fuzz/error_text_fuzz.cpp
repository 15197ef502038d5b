// Tagged error texts built from hostile ErrorResponse fields: whatever the
// server sends, each tag reads back exactly the field it was built from, and
// a field the server did not send reads back empty. The input is the
// ErrorResponse body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "error/tagged_text.h"
#include "libpq/parser_helpers.h"
#include "postgres/libpq/error_text.h"

using namespace kelvotest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 100000)
        return 0;
    std::string body(reinterpret_cast<const char*>(data), size);
    const uint32_t length = static_cast<uint32_t>(body.size() + 4);
    std::string message = "E";
    for (int shift = 24; shift >= 0; shift -= 8)
        message += static_cast<char>((length >> shift) & 0xFF);
    ConnPtr conn = MakeDetachedRecord();
    BeginStatement(conn.get(), 0, PGQUERY_SIMPLE, "SELECT 'a\nb' FROM t");
    FeedInput(conn.get(), message + body);
    for (ResultPtr& res : TakeResults(conn.get())) {
        if (res->errFields == nullptr)
            continue;
        PQExpBufferData text;
        initPQExpBuffer(&text);
        pqBuildErrorMessage3(&text, res.get(), PQERRORS_VERBOSE, PQSHOW_CONTEXT_ALWAYS);
        const std::string built(text.data, text.len);
        termPQExpBuffer(&text);
        if (built == "out of memory")
            continue;
        const struct {
            char code;
            const char* tag;
        } fields[] = {{'C', "sqlstate"},      {'M', "primary"},        {'D', "detail"},     {'H', "hint"},
                      {'W', "context"},       {'s', "schema-name"},    {'t', "table-name"}, {'c', "column-name"},
                      {'d', "datatype-name"}, {'n', "constraint-name"}};
        for (const auto& f : fields) {
            const char* sent = PQresultErrorField(res.get(), f.code);
            if (kelvoapi::ReadTagValue(built, f.tag) != (sent != nullptr ? sent : ""))
                __builtin_trap();
        }
    }
    return 0;
}
