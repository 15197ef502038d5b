// Tagged error texts built from hostile ErrorResponse fields: whatever the server sends, each tag reads back exactly
// the field it was built from, and a field the server did not send reads back empty. The input is the ErrorResponse
// body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "error/tagged_text.h"
#include "fuzz_input.h"
#include "libpq/parser_helpers.h"
#include "postgres/libpq/error_text.h"

using namespace kelvotest;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 100000)
        return 0;
    ConnPtr conn = MakeDetachedRecord();
    BeginStatement(conn.get(), 0, PGQUERY_SIMPLE, "SELECT 'a\nb' FROM t");
    FeedInput(conn.get(), kelvofuzz::Msg('E', std::string(reinterpret_cast<const char*>(data), size)));
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
            TrapIf(kelvoapi::ReadTagValue(built, f.tag) != (sent != nullptr ? sent : ""));
        }
    }
    return 0;
}
