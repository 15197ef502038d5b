// Mapping of engine errors to SQLSTATEs.
#include "kelvod/engine/engine_errors.h"

#include <cstdlib>
#include <string>

namespace kelvod {

namespace {

bool Has(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Whether the engine could not read text as an integer type because the
// number, well formed, lies outside it ("Could not convert string '-9...9' to INT32").
bool IsIntegerOutOfRange(std::string_view m) {
    constexpr std::string_view kLead = "Could not convert string '";
    size_t at = m.find(kLead);
    if (at == std::string_view::npos || (!Has(m, "' to INT") && !Has(m, "' to UINT")))
        return false;
    std::string_view digits = m.substr(at + kLead.size());
    digits = digits.substr(0, digits.find('\''));
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+'))
        digits.remove_prefix(1);
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string StateFor(std::string_view kind, std::string_view m) {
    // A full disk reads the same whichever statement or checkpoint met it.
    if (Has(m, "No space left on device") || Has(m, "disk is full") || Has(m, "Disk full"))
        return "53100";
    // So does memory that runs out, in a statement or in the COMMIT after it.
    if (kind == "Out of Memory" || Has(m, "failed to pin block") || Has(m, "could not allocate block") ||
        Has(m, "Out of Memory Error"))
        return "53200";
    if (Has(m, "null character not permitted"))
        return "54000";  // chr(0), as PostgreSQL refuses it
    if (Has(m, "Prepared statement") && Has(m, "does not exist"))
        return "26000";
    if (Has(m, "unrecognized configuration parameter"))
        return "42704";
    if (Has(m, "configuration has been locked"))
        return "42501";
    if (kind == "Parser")
        return "42601";
    if (kind == "Catalog") {
        if (Has(m, "already exists"))
            return Has(m, "Schema") ? "42P06" : "42P07";
        // A table in a missing schema is a missing relation, as PostgreSQL clients expect.
        if (Has(m, "Table with name"))
            return "42P01";
        if (Has(m, "Schema with name") || Has(m, "schema"))
            return "3F000";
        if (Has(m, "Catalog with name") || Has(m, "Catalog \""))
            return "3F000";
        if (Has(m, "Function with name") || Has(m, "Macro Function"))
            return "42883";
        if (Has(m, "Type with name"))
            return "42704";
        return "42P01";
    }
    if (kind == "Binder") {
        if (Has(m, "Catalog \"") && Has(m, "does not exist"))
            return "3F000";
        if (Has(m, "column") || Has(m, "Column"))
            return "42703";
        if (Has(m, "No function matches") || Has(m, "function"))
            return "42883";
        return "42000";
    }
    if (kind == "Constraint") {
        if (Has(m, "NOT NULL"))
            return "23502";
        if (Has(m, "PRIMARY KEY") || Has(m, "UNIQUE") || Has(m, "Duplicate key"))
            return "23505";
        if (Has(m, "foreign key") || Has(m, "FOREIGN KEY"))
            return "23503";
        if (Has(m, "CHECK"))
            return "23514";
        return "23000";
    }
    if (kind == "Out of Range")
        return "22003";
    if (Has(m, "date/time field value out of range"))
        return "22008";
    if (kind == "Conversion" && Has(m, "type date"))
        return "22007";
    if (kind == "Conversion")
        return Has(m, "out of range") || IsIntegerOutOfRange(m) ||
                       (Has(m, "Could not cast value") && Has(m, "to DECIMAL"))
                   ? "22003"
                   : "22P02";
    if (kind == "Invalid Input")
        return Has(m, "ivision by zero") ? "22012" : "22023";
    if (kind == "Interrupt" || Has(m, "Interrupted"))
        return "57014";
    if (kind == "TransactionContext" || kind == "Transaction") {
        // A key that another transaction committed first is found only at commit.
        if (Has(m, "constraint violation") || Has(m, "Duplicate key"))
            return "23505";
        // Write-write conflicts: clients retry on 40001.
        if (Has(m, "onflict"))
            return "40001";
        return Has(m, "aborted") ? "25P02" : "25000";
    }
    if (kind == "Not implemented")
        return "0A000";
    if (kind == "IO")
        return "58030";
    if (kind == "Permission")
        return "42501";
    if (kind == "Serialization" || kind == "Conflict")
        return "40001";
    if (kind == "Dependency")
        return "2BP01";
    if (kind == "Sequence")
        return "2200H";
    if (kind == "Syntax")
        return "42601";
    return "XX000";
}

// The value of one string field of the JSON form in which the engine passes
// some errors on from its threads; "" when it is missing.
std::string JsonField(std::string_view json, std::string_view name) {
    std::string key = "\"" + std::string(name) + "\":\"";
    size_t at = json.find(key);
    if (at == std::string_view::npos)
        return "";
    std::string out;
    for (size_t i = at + key.size(); i < json.size() && json[i] != '"'; ++i) {
        if (json[i] != '\\' || i + 1 == json.size()) {
            out += json[i];
            continue;
        }
        char c = json[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'u' && i + 4 < json.size()) {
            unsigned long code = std::strtoul(std::string(json.substr(i + 1, 4)).c_str(), nullptr, 16);
            out += code < 0x80 ? static_cast<char>(code) : '?';
            i += 4;
        } else
            out += c;
    }
    return out;
}

}  // namespace

ErrorFields EngineErrorFields(std::string_view text) {
    std::string unwrapped;
    if (text.rfind("{\"exception_type\":", 0) == 0) {
        unwrapped = JsonField(text, "exception_type") + " Error: " + JsonField(text, "exception_message");
        text = unwrapped;
    }
    ErrorFields e;
    std::string_view kind;
    size_t colon = text.find(" Error: ");
    size_t newline = text.find('\n');
    if (colon != std::string_view::npos && (newline == std::string_view::npos || colon < newline)) {
        kind = text.substr(0, colon);
        text.remove_prefix(colon + 8);
    }
    newline = text.find('\n');
    std::string_view first = text.substr(0, newline);
    e.message = std::string(first);
    if (newline != std::string_view::npos) {
        // Further lines: a suggestion becomes the hint, the engine's own cursor
        // display ("LINE n:" and its caret line) is dropped, the rest is detail.
        std::string_view rest = text.substr(newline + 1);
        bool skipCaret = false;
        while (!rest.empty()) {
            size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            std::string_view trimmed = line;
            while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t'))
                trimmed.remove_prefix(1);
            if (skipCaret) {
                skipCaret = false;
                continue;
            }
            if (trimmed.empty())
                continue;
            if (trimmed.rfind("LINE ", 0) == 0) {
                skipCaret = true;
                continue;
            }
            if (trimmed.rfind("Did you mean", 0) == 0) {
                if (e.hint.empty())
                    e.hint = std::string(trimmed);
                continue;
            }
            if (!e.detail.empty())
                e.detail += "\n";
            e.detail += std::string(line);
        }
    }
    e.sqlstate = StateFor(kind, e.message);
    return e;
}

bool CommittedDespite(const SqlError& error) {
    return std::string_view(error.what()).find("COMMIT succeeded and is durable") != std::string_view::npos;
}

}  // namespace kelvod
