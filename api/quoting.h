// Quoting of the identifiers and string literals that the library puts into
// the SQL it sends; exported so that applications quote the same way.
#pragma once

#include <string>
#include <string_view>

namespace kelvoapi {

// "name" with inner double quotes doubled. A name holding a line feed or a
// carriage return takes the U&"..." form instead, where those two become the
// escapes \000A and \000D and backslashes are doubled.
std::string QuoteIdentifier(std::string_view text);

// 'text' with single quotes doubled; when the text needs a backslash escape
// (a backslash or a control byte) it becomes an E'...' literal. Bytes from 128
// up pass unchanged, so UTF-8 text stays as it is.
std::string QuoteStringLiteral(std::string_view text);

// "db"."schema"."name", leaving out the empty parts before the name.
std::string MakeQualifiedQuotedIdentifier(const std::string& database, const std::string& schema,
                                          const std::string& name);

}  // namespace kelvoapi
