// The text rendering of an error and its chain of causes.
#include <sstream>

#include "error/error.h"

namespace kelvoapi {

namespace {

void PrintOne(std::ostream& os, const Error& error) {
    os << "Code: " << error.GetCode().category().name() << ':';
    if (error.GetCategory() == KELVO_ERROR_CATEGORY_SQLSTATE) {
        os << kelvo::SqlstateText(error.GetCode().value());
    } else {
        os << std::dec << error.GetCode().value();
    }
    os << '\n';
    if (!error.GetMessage().empty())
        os << "Message: " << error.GetMessage() << '\n';
    if (!error.GetHint().empty())
        os << "Hint Message: " << error.GetHint() << '\n';
    os << "Severity: " << ErrorSeverityToString(error.GetSeverity()) << '\n';
    os << "Context id: 0x" << std::hex << error.GetContextId().value << std::dec << '\n';
}

}  // namespace

std::ostream& PrintTo(std::ostream& os, const Error& error) {
    const std::ios_base::fmtflags flags = os.flags();
    const std::streamsize width = os.width(0);
    // A caller's showbase or showpos would otherwise leak into the numbers.
    os.flags(std::ios_base::dec);
    const Error* current = &error;
    PrintOne(os, *current);
    // A loop, not recursion: a cause chain may be arbitrarily long.
    while ((current = current->GetCause()) != nullptr) {
        os << "\nCAUSED BY\n";
        PrintOne(os, *current);
    }
    os.flags(flags);
    os.width(width);
    return os;
}

std::string ToString(const Error& error) {
    std::ostringstream os;
    PrintTo(os, error);
    return os.str();
}

}  // namespace kelvoapi
