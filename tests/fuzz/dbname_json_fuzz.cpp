// The dbname JSON: the server's reader takes hostile text, and a database name the client writes as JSON reads back on
// the server as that one path under the alias the client chose.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "fuzz_input.h"
#include "instance/pq_params.h"
#include "kelvod/protocol/startup_options.h"
#include "kelvod/sql/sql_lexer.h"

namespace {

void ServerReads(const std::string& text) {
    try {
        for (const kelvod::DatabaseToAttach& d : kelvod::ParseDatabaseList(text))
            TrapIf(d.path.empty());
    } catch (const kelvod::SqlError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ServerReads(text);
    if (text.find('\0') != std::string::npos)
        return 0;
    kelvoapi::Parameters parameters;
    parameters.Set("dbname", text);
    std::deque<std::string> strings;
    kelvoapi::handleDbname(parameters, strings);
    if (strings.size() != 2 || text.empty())
        return 0;
    const std::vector<kelvod::DatabaseToAttach> databases = kelvod::ParseDatabaseList(strings[1]);
    TrapIf(databases.size() != 1 || databases[0].path != text || databases[0].alias != kelvod::PathStem(text));
    return 0;
}
