// Turns the engine's error texts ("Catalog Error: Table with name t does not
// exist!\nDid you mean ...") into the fields of an ErrorResponse with the
// nearest PostgreSQL SQLSTATE.
#pragma once

#include <string_view>

#include "kelvod/protocol/protocol_writer.h"
#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

ErrorFields EngineErrorFields(std::string_view engineMessage);

// Whether the engine's error of a COMMIT says that the commit itself succeeded
// (it is durable; only the checkpoint after it failed).
bool CommittedDespite(const SqlError& error);

}  // namespace kelvod
