// COPY FROM STDIN over the raw test client: the statement, its data as the
// given CopyData messages, then CopyDone or CopyFail.
#pragma once

#include <string>
#include <vector>

#include "support/wire_client.h"

namespace kelvotest {

// The result holds every message from the answer to the statement to
// ReadyForQuery; 'G' leads its types when the server asked for the data.
WireResult CopyIn(WireClient& client, const std::string& sql, const std::vector<std::string>& pieces,
                  const char* failure = nullptr);

// `data` cut into messages of `size` bytes.
std::vector<std::string> SplitInto(const std::string& data, size_t size);

}  // namespace kelvotest
