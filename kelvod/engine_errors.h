// Turns the engine's error texts ("Catalog Error: Table with name t does not
// exist!\nDid you mean ...") into the fields of an ErrorResponse with the
// nearest PostgreSQL SQLSTATE.
#pragma once

#include <string_view>

#include "kelvod/protocol_writer.h"

namespace kelvod {

ErrorFields EngineErrorFields(std::string_view engineMessage);

}  // namespace kelvod
