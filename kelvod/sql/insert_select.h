// The INSERT ... SELECT statement the server writes around a client's select
// list (INSERT BULK), built as tokens: the names it adds stay quoted
// identifiers whatever they hold, and the client's tokens are kept as they were
// lexed rather than written out as text and read again.
#pragma once

#include <string>
#include <vector>

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

// INSERT INTO target [(columns)] SELECT <selectList>
Statement InsertSelectStatement(const std::vector<std::string>& target, const std::vector<std::string>& columns,
                                const Statement& selectList);

}  // namespace kelvod
