// The engine's attached databases are one for all sessions; a session reaches
// only its own. This finds, in a statement's significant tokens (so whitespace
// and comments between the parts of a name count for nothing, as in the
// engine), every name that would resolve to a database some other session
// attached: db.schema.table, db.table where a table goes, USE db, SET
// schema/search_path to one, and a sequence named by text. Used by the rewrite
// for the engine.
#pragma once

#include <functional>
#include <string>

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

// Throws SqlError 3F000 for a reference to a database that `isOtherSessionsAlias`
// says belongs to other sessions, and 42501 for SET GLOBAL of the schema, the
// search path or preserve_insertion_order (it would change them for every session).
void RefuseOtherSessionsDatabases(const Statement& statement,
                                  const std::function<bool(const std::string&)>& isOtherSessionsAlias);

}  // namespace kelvod
