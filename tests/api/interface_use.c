/* The interface as a C++17 caller includes it, with every warning an error;
 * each header alone as C99 is compiled by the api_header_alone tests. What
 * it declares (prototypes, records, enumerator values) is pinned by
 * check_exports.sh. Compiled only, never run. */
#include "kelvo/kelvo.h"
