// A library error, or what a call throws, in one line, so that a table of refusals can name each expected error as one
// text.
#pragma once

#include <cstdio>
#include <exception>
#include <string>

#include "error/error.h"

namespace kelvotest {

// "<SQLSTATE> <context id> <message>[ | <hint>]".
inline std::string Summary(const kelvoapi::Error& e) {
    char id[16];
    std::snprintf(id, sizeof id, "%#x", static_cast<unsigned>(e.GetContextId().value));
    return e.GetSqlstate() + " " + id + " " + e.GetMessage() + (e.GetHint().empty() ? "" : " | " + e.GetHint());
}

// The Summary of the library error body throws, the text of an Exception, or "no error"; other exceptions pass.
template <typename Exception = std::exception, typename Body>
std::string Thrown(Body body) {
    try {
        body();
    } catch (const kelvoapi::Error& e) {
        return Summary(e);
    } catch (const Exception& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace kelvotest
