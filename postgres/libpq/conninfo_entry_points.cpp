// PQconndefaults and PQconninfoParse: the public entry points that build an
// option array with the defaults or a parser, and turn a lack of memory into
// a null answer.
#include <cstring>
#include <new>
#include <string>

#include "postgres/libpq/conninfo.h"

PQconninfoOption* PQconndefaults(void) {
    try {
        ConninfoOptions options = pqConninfoInit();
        // Service-file errors are ignored here: there is nobody to tell.
        if (!pqConninfoAddDefaults(options.get(), nullptr))
            return nullptr;
        return options.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

PQconninfoOption* PQconninfoParse(const char* conninfo, char** errmsg) {
    if (errmsg != nullptr)
        *errmsg = nullptr;
    try {
        std::string message;
        ConninfoOptions options = pqConninfoParseString(conninfo != nullptr ? conninfo : "", message);
        if (!options && errmsg != nullptr)
            *errmsg = strdup(message.c_str());
        return options.release();
    } catch (const std::bad_alloc&) {
        if (errmsg != nullptr)
            *errmsg = strdup("out of memory");
        return nullptr;
    }
}
