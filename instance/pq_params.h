// Translation of a connection parameter set into the keyword and value arrays
// of the wire-protocol client (PQconnectdbParams, PQpingParams).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "instance/parameters.h"

namespace kelvoapi {

// Owns every text its two arrays point into. The queue never moves its
// elements, so the pointers stay valid for the object's life; keep it alive
// until the wire-protocol call that reads the arrays has returned.
class PQParams {
public:
    // Keyword and value texts alternating: keyword 0, value 0, keyword 1, ...
    explicit PQParams(std::deque<std::string>&& strings);
    PQParams(const PQParams&) = delete;
    PQParams& operator=(const PQParams&) = delete;

    // Null-terminated.
    const char* const* GetKeywords() const { return m_keywords.data(); }
    const char* const* GetValues() const { return m_values.data(); }

private:
    std::deque<std::string> m_strings;
    std::vector<const char*> m_keywords;
    std::vector<const char*> m_values;
};

// `endpoint` becomes `host` and `port`, `dbname` the JSON list of databases,
// the wire-protocol client's own keywords pass unchanged, and every other
// setting becomes an item of the `options` value, which comes last. The given
// set is not changed; throws kelvoapi::Error.
PQParams ConvertToPQParams(const Parameters& parameters);

// Moves `dbname` into the queue when it must be sent as JSON or as "[]";
// a value beginning with '[' or ":main" stays in the set and passes as it is.
void handleDbname(Parameters& parameters, std::deque<std::string>& strings);

}  // namespace kelvoapi
