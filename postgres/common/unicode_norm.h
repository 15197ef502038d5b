// Unicode NFKC normalisation, the second step of SASLprep.
#pragma once

// A Unicode code point.
typedef unsigned int pg_wchar;

// Returns the NFKC form of the zero-terminated code point string input as a
// new zero-terminated string (free it with free()), or null when out of
// memory.
pg_wchar* unicode_normalize_kc(const pg_wchar* input);
