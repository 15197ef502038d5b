// Settings carried from the library to the server in the `options` start-up
// value: the library packs any names and values (the input: items split at 0x01, name and value at 0x02) and the server
// reads them back. Every setting the library accepts arrives exactly, as one item of its own; a name that would split
// or forge an item is refused before anything is sent. Text the server reads that no library wrote is refused or read
// into items that, packed again, read back the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error/error.h"
#include "fuzz_input.h"
#include "infra/options_value.h"
#include "instance/pq_params.h"
#include "instance/protocol_keywords.h"
#include "kelvod/protocol/startup_options.h"
#include "kelvod/sql/sql_lexer.h"

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

// The server's reading, or nothing when it refused.
std::optional<Items> Read(const std::string& options) {
    try {
        return kelvod::ParseOptionItems(options);
    } catch (const kelvod::SqlError& e) {
        TrapIf(e.sqlstate != "22023");
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::replace(input.begin(), input.end(), '\0', '0');  // a start-up value holds no NUL
    if (const std::optional<Items> read = Read(input)) {
        std::string again;
        for (const auto& [name, value] : *read)
            again += (again.empty() ? "" : " ") + name + "=" + kelvoapi::EscapeAndQuoteOptionsValue(value);
        TrapIf(Read(again) != read);
    }

    kelvoapi::Parameters parameters;
    Items expected;
    bool valid = true;
    for (const std::string& item : kelvofuzz::Split(input, '\x01')) {
        const std::vector<std::string> parts = kelvofuzz::Split(item, '\x02');
        // Prefixed, so that no name is one of the connection's own keywords.
        const std::string name = "x_" + parts[0], value = parts.size() > 1 ? parts[1] : "";
        try {
            parameters.Set(name, value);
        } catch (const kelvoapi::Error&) {
            continue;
        }
        expected.erase(std::remove_if(expected.begin(), expected.end(), [&](const auto& e) { return e.first == name; }),
                       expected.end());
        expected.emplace_back(std::string(kelvoapi::mapParameterForCompatibility(name)), value);
        valid = valid && kelvoapi::IsValidOptionsName(expected.back().first);
    }
    try {
        kelvoapi::PQParams params = kelvoapi::ConvertToPQParams(parameters);
        TrapIf(!valid);  // a name that splits an item was sent
        std::optional<Items> got = Items();
        for (size_t i = 0; params.GetKeywords()[i] != nullptr; ++i)
            if (std::strcmp(params.GetKeywords()[i], "options") == 0)
                got = Read(params.GetValues()[i]);
        TrapIf(!got);
        std::sort(got->begin(), got->end());
        std::sort(expected.begin(), expected.end());
        TrapIf(*got != expected);
    } catch (const kelvoapi::Error&) {
        TrapIf(valid);  // every setting could have been sent
    }
    return 0;
}
