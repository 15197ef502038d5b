// The parameter set as JSON for the "connection-parameters" log event, with
// passwords and encryption keys masked.
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "instance/json_string.h"
#include "instance/parameters.h"

namespace kelvoapi {
namespace {

using boost::property_tree::ptree;

constexpr char kMask[] = "********";

bool IsSecret(const std::string& name) { return name == "password" || name == "encryption_key"; }

// The JSON reader descends recursively; a database list is three levels deep
// at most, and a value of a million '[' must not exhaust the stack.
constexpr size_t kMaxJsonDepth = 32;

void CheckJsonDepth(std::string_view json) {
    size_t depth = 0;
    bool inString = false;
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth)
                throw std::invalid_argument("The database list is nested too deeply.");
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
}

// One object per database of a `dbname` list, its members as texts.
void AddDatabases(ptree& root, const std::string& list) {
    CheckJsonDepth(list);
    std::istringstream in(list);
    ptree parsed;
    boost::property_tree::read_json(in, parsed);
    for (const auto& element : parsed) {
        ptree database;
        for (const auto& member : element.second) {
            const std::string& value = member.first == "encryption_key" ? std::string(kMask) : member.second.data();
            database.push_back({member.first, ptree(value)});
        }
        root.push_back({"dbname", std::move(database)});
    }
}

// A '.' in a name nests the member ("a.b" becomes {"a": {"b": ...}}). A name
// with an empty part, the empty name among them, cannot nest and is written
// whole.
void AddMember(ptree& root, const std::string& name, const std::string& value) {
    const bool hasEmptyPart =
        name.empty() || name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos;
    if (hasEmptyPart) {
        root.push_back({name, ptree(value)});
    } else {
        root.add(name, value);
    }
}

}  // namespace

std::string Parameters::ToSanitizedJson() const {
    try {
        ptree root;
        for (const auto& [name, value] : m_parameters) {
            const std::string& shown = IsSecret(name) ? std::string(kMask) : value;
            if (shown.empty())
                continue;
            if (name == "dbname" && shown.front() == '[') {
                AddDatabases(root, shown);
            } else {
                AddMember(root, name, shown);
            }
        }
        // The writer takes a tree whose members all have empty names for a
        // list: a set that holds only the empty name is written under a
        // stand-in name, which is then emptied.
        const bool onlyEmptyName = root.size() == 1 && root.front().first.empty();
        if (onlyEmptyName) {
            ptree standIn;
            standIn.push_back({"-", root.front().second});
            root.swap(standIn);
        }
        std::ostringstream out;
        boost::property_tree::write_json(out, root, true);
        std::string json = out.str();
        if (onlyEmptyName)
            json.replace(json.find("\"-\""), 3, "\"\"");
        return json;
    } catch (const std::exception& e) {
        std::string out = "{\"Error\":\"Failed to format a sanitized JSON from connection parameters.\",\"Cause\":";
        // The cause is quoted too, so the log receives valid JSON whatever
        // the exception's text holds.
        out += QuoteJsonString(e.what());
        out.push_back('}');
        return out;
    }
}

}  // namespace kelvoapi
