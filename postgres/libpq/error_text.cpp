// Building the tagged text of a server error or notice from its fields.
#include <climits>
#include <cstdlib>
#include <new>
#include <string>

#include "error/tagged_text.h"
#include "postgres/libpq/error_text.h"
#include "postgres/libpq/result_record.h"

namespace {

void appendField(std::string& out, const PGresult* res, char code, const char* tag) {
    const char* val = PQresultErrorField(res, code);
    if (val != nullptr)
        kelvoapi::AppendTaggedValue(out, tag, val);
}

void buildTaggedText(std::string& out, const PGresult* res, PGVerbosity verbosity, PGContextVisibility show_context);

// A position field is server text: out-of-range numbers are clamped rather
// than overflowing (a position past the query gives no display anyway).
int parsePosition(const char* text) {
    const long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < 0)
        return 0;
    return static_cast<int>(value);
}

}  // namespace

void pqBuildErrorMessage3(PQExpBuffer msg, const PGresult* res, PGVerbosity verbosity,
                          PGContextVisibility show_context) {
    if (res == nullptr) {
        appendPQExpBufferStr(msg, "out of memory");
        return;
    }
    if (res->errFields == nullptr) {
        if (res->errMsg != nullptr && res->errMsg[0] != '\0') {
            appendPQExpBufferStr(msg, res->errMsg);
        } else {
            appendPQExpBufferStr(msg, "no error message available\n");
        }
        return;
    }

    // Nothing may escape into the caller: a text that cannot be built is
    // reported as "out of memory", like a broken buffer.
    try {
        std::string out;
        buildTaggedText(out, res, verbosity, show_context);
        appendBinaryPQExpBuffer(msg, out.data(), out.size());
    } catch (const std::bad_alloc&) {
        appendPQExpBufferStr(msg, "out of memory");
    }
}

namespace {

void buildTaggedText(std::string& out, const PGresult* res, PGVerbosity verbosity, PGContextVisibility show_context) {
    // The non-localised severity reads the same whatever the server's language.
    const char* severity = PQresultErrorField(res, 'V');
    if (severity == nullptr)
        severity = PQresultErrorField(res, 'S');
    if (severity != nullptr)
        kelvoapi::AppendTaggedValue(out, "severity", severity);
    if (verbosity == PQERRORS_VERBOSE)
        appendField(out, res, 'C', "sqlstate");
    appendField(out, res, 'M', "primary");

    const char* cursorQuery = nullptr;
    int cursorPos = 0;
    const char* position = PQresultErrorField(res, 'P');
    if (position != nullptr) {
        if (verbosity == PQERRORS_TERSE || res->errQuery == nullptr) {
            kelvoapi::AppendTaggedValue(out, "position", position);
        } else {
            cursorQuery = res->errQuery;
            cursorPos = parsePosition(position);
        }
    } else {
        const char* internalPosition = PQresultErrorField(res, 'p');
        if (internalPosition != nullptr) {
            const char* internalQuery = PQresultErrorField(res, 'q');
            if (verbosity == PQERRORS_TERSE || internalQuery == nullptr) {
                kelvoapi::AppendTaggedValue(out, "position", internalPosition);
            } else {
                cursorQuery = internalQuery;
                cursorPos = parsePosition(internalPosition);
            }
        }
    }
    out += '\n';

    if (verbosity != PQERRORS_TERSE) {
        if (cursorQuery != nullptr && cursorPos > 0)
            pqAppendErrorCursor(out, cursorQuery, cursorPos, res->client_encoding);
        appendField(out, res, 'D', "detail");
        appendField(out, res, 'H', "hint");
        appendField(out, res, 'q', "query");
        if (show_context == PQSHOW_CONTEXT_ALWAYS ||
            (show_context == PQSHOW_CONTEXT_ERRORS && res->resultStatus == PGRES_FATAL_ERROR))
            appendField(out, res, 'W', "context");
    }
    if (verbosity == PQERRORS_VERBOSE) {
        appendField(out, res, 's', "schema-name");
        appendField(out, res, 't', "table-name");
        appendField(out, res, 'c', "column-name");
        appendField(out, res, 'd', "datatype-name");
        appendField(out, res, 'n', "constraint-name");
        const char* valf = PQresultErrorField(res, 'F');
        const char* vall = PQresultErrorField(res, 'L');
        const char* valr = PQresultErrorField(res, 'R');
        if (valf != nullptr || vall != nullptr || valr != nullptr) {
            std::string location;
            if (valr != nullptr) {
                location += valr;
                location += ", ";
            }
            if (valf != nullptr && vall != nullptr) {
                location += valf;
                location += ':';
                location += vall;
            }
            kelvoapi::AppendTaggedValue(out, "location", location);
        }
    }
}

}  // namespace
