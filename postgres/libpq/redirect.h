// The server's redirect message '@' during start-up: whether the options
// allow it, and reading it strictly inside its declared length.
//
//   '@', Int32 length (counting itself), session identifier (NUL-terminated),
//   Int32 count (0 to 10), then per address: a type byte (pg_conn_host_type),
//   the address and the port (both NUL-terminated).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "postgres/libpq/connection_record.h"

constexpr int kMaxRedirects = 10;
constexpr int kMaxRedirectAddresses = 10;
// The same bound as a start-up error message: a redirect is a few short
// texts, and a larger length can only be garbage or an attack.
constexpr int kMaxRedirectLength = 30000;

// False when the options value holds an allow_redirects item whose value
// (up to the next blank) is 0, f, false, n, no or off in any case.
bool pqRedirectsAllowed(const char* options);

struct RedirectTarget {
    pg_conn_host_type type;
    std::string address;
    std::string port;
};

struct RedirectRequest {
    std::string session_identifier;
    std::vector<RedirectTarget> targets;
};

enum class RedirectParseResult { Complete, Incomplete, Malformed };

// Reads one redirect message from bytes (starting at its type byte; size
// bytes buffered). Incomplete: fewer bytes than the length declares.
// Malformed: *error holds the tagged 08P01 text. On Complete, *consumed is
// the message's whole size.
RedirectParseResult pqParseRedirect(const char* bytes, size_t size, RedirectRequest* request, size_t* consumed,
                                    std::string* error);
