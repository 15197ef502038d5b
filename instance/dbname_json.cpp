// The `dbname` connection value: the JSON list of databases that the server
// attaches when the connection starts.
#include <filesystem>
#include <new>
#include <sstream>
#include <stdexcept>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "error/context_ids.h"
#include "error/error.h"
#include "error/sqlstate.h"
#include "instance/pq_params.h"

namespace kelvoapi {
namespace {

// Secrets and modes given with the database travel inside its object rather
// than as options; empty ones stay in the set and go into `options`.
void MoveIntoObject(Parameters& parameters, const std::string& name, boost::property_tree::ptree& object) {
    std::string_view value = parameters.Get(name);
    if (value.empty())
        return;
    object.push_back({name, boost::property_tree::ptree(std::string(value))});
    parameters.Erase(name);
}

}  // namespace

void handleDbname(Parameters& parameters, std::deque<std::string>& strings) {
    if (!parameters.ContainsKey("dbname"))
        return;
    const std::string dbname(parameters.Get("dbname"));
    if (dbname.empty()) {
        parameters.Erase("dbname");
        strings.emplace_back("dbname");
        strings.emplace_back("[]");
        return;
    }
    if (dbname.front() == '[' || dbname.rfind(":main", 0) == 0)
        return;

    std::string json;
    try {
        boost::property_tree::ptree object;
        // push_back rather than put: the keys are names, not paths.
        object.push_back({"alias", boost::property_tree::ptree(std::filesystem::path(dbname).stem().string())});
        object.push_back({"path", boost::property_tree::ptree(dbname)});
        Parameters remaining(parameters);
        MoveIntoObject(remaining, "encryption_key", object);
        MoveIntoObject(remaining, "access_mode", object);
        std::ostringstream out;
        out << '[';
        boost::property_tree::write_json(out, object, true);
        out << ']';
        json = out.str();
        remaining.Erase("dbname");
        parameters = std::move(remaining);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                    "Failed to format database name connection parameter as JSON.", ContextIds::DbnameJsonFailed);
    }
    strings.emplace_back("dbname");
    strings.push_back(std::move(json));
}

}  // namespace kelvoapi
