// Connection options: the option table, where option values come from
// (keyword/value arrays, connection strings, URIs, the service file, the
// environment, compiled defaults) and the option arrays handed to callers.
//
// Option arrays are malloc-owned (every text, and the array itself) so that a
// caller frees what PQconninfo, PQconndefaults and PQconninfoParse return with
// PQconninfoFree. Failures leave a message in a caller's text; the functions
// here throw nothing but std::bad_alloc, which the PQ entry points turn into
// "out of memory".
#pragma once

#include <memory>
#include <string>

#include "postgres/libpq/libpq_types.h"

typedef struct _PQconninfoOption {
    char* keyword;   // the option's keyword
    char* envvar;    // fall-back environment variable, or null
    char* compiled;  // compiled default, or null
    char* val;       // the option's value, or null
    char* label;     // label for a connection dialog
    char* dispchar;  // "" shown as it is, "*" a password, "D" a debug option
    int dispsize;    // field width for a connection dialog
} PQconninfoOption;

// A new array of every option with only the service file, the environment
// and the compiled defaults applied; null when memory runs out.
PQconninfoOption* PQconndefaults(void);

// A new array with only what conninfo (a keyword/value string or a URI)
// gives. On failure null, and *errmsg (when errmsg is not null) a new text
// the caller frees with free(), or null when memory ran out.
PQconninfoOption* PQconninfoParse(const char* conninfo, char** errmsg);

// A new array of every option with the connection's current values (none for
// an option it has no value for, and always none for authtype and service);
// null for a null connection or when memory runs out.
PQconninfoOption* PQconninfo(PGconn* conn);

// Frees an option array and its values; null is allowed.
void PQconninfoFree(PQconninfoOption* connOptions);

// ---- Shared with the start-up code ----

// The number of options in the table.
constexpr int kConninfoOptionCount = 28;

// The one owner of an option array, whoever made it.
struct ConninfoOptionsDeleter {
    void operator()(PQconninfoOption* options) const noexcept { PQconninfoFree(options); }
};
using ConninfoOptions = std::unique_ptr<PQconninfoOption[], ConninfoOptionsDeleter>;

// A fresh copy of the table with no values.
ConninfoOptions pqConninfoInit();

// The option named keyword, or null.
PQconninfoOption* pqConninfoFind(PQconninfoOption* options, const char* keyword);
const char* pqConninfoValue(const PQconninfoOption* options, const char* keyword);

// Stores a copy of value (replacing the previous one) under keyword; an
// unknown keyword fails with the invalid-option text.
bool pqConninfoStore(PQconninfoOption* options, const char* keyword, const char* value, std::string& errorMessage);

// True when text starts with "postgresql://" or "postgres://"; the length of
// that prefix, or 0.
size_t pqUriPrefixLength(const char* text);

// True when text would be read as a connection string: a URI or a text with '='.
bool pqIsConnectionString(const char* text);

// Stores what a URI (the whole text, prefix included) gives into options;
// false with a message when it is malformed or names an unknown option.
bool pqConninfoParseUri(const char* uri, PQconninfoOption* options, std::string& errorMessage);

// Parses a keyword/value string or a URI into new options (no defaults).
ConninfoOptions pqConninfoParseString(const char* conninfo, std::string& errorMessage);

// Parses the keyword/value arrays of PQconnectStartParams (no defaults); see
// the .cpp for how expand_dbname reads the first dbname.
ConninfoOptions pqConninfoParseArrays(const char* const* keywords, const char* const* values, int expand_dbname,
                                      std::string& errorMessage);

// Fills every option without a value: the service file first, then each
// option's environment variable, PGREQUIRESSL for sslmode, the compiled
// default, and the operating-system user name for user. With errorMessage
// null, service-file problems are ignored.
bool pqConninfoAddDefaults(PQconninfoOption* options, std::string* errorMessage);

// Copies every option that has a value into its field of conn, replacing
// what is there; false when memory runs out.
bool pqConninfoToConnection(PGconn* conn, const PQconninfoOption* options);

// The home directory of the effective user, from the password database.
bool pqGetHomeDirectory(std::string& home);
