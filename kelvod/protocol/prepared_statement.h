// What the extended protocol keeps between its messages. Parse splits,
// classifies, rewrites and prepares a statement once, and Bind, Describe and
// Execute read what it worked out; the prepared statement owns the engine's
// statement, and each portal bound from it shares it, so that Close of the
// statement leaves its portals working.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kelvod/engine/engine_plan.h"
#include "kelvod/sql/sql_rewriter.h"

namespace kelvod {

struct PreparedStatement {
    std::string sql;
    std::vector<uint32_t> paramTypes;
    std::optional<Statement> statement;  // the one statement that is not empty, if any
    Command command;                     // what it is, as classified at Parse
    std::string tag;                     // its command tag
    bool savepoint = false;              // SAVEPOINT, RELEASE or ROLLBACK TO
    // Engine statements other than those the session intercepts (SET, RESET,
    // PREPARE, DEALLOCATE) carry their plan.
    std::optional<EnginePlan> plan;
    bool readsCatalog = false;   // its rewrite depends on the catalog: redone before each run
    bool foldsSettings = false;  // the engine fixes settings it reads when it plans: planned before each run
};

struct Portal {
    std::shared_ptr<PreparedStatement> prepared;
    std::vector<int16_t> resultFormats;
    std::vector<std::optional<std::string>> params;
};

// The extended protocol's prepared statements by name ("" the unnamed one).
using PreparedStatements = std::map<std::string, std::shared_ptr<PreparedStatement>>;

}  // namespace kelvod
