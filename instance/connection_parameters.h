// The connection defaults every connection of the library sends unless the
// caller changes them, plus the endpoint of a started server.
#pragma once

#include "instance/kelvo_process.h"
#include "instance/parameters.h"

namespace kelvoapi {

class ConnectionParameters : public Parameters {
public:
    // No `endpoint` entry for a null process.
    explicit ConnectionParameters(const KelvoProcess* process);
};

}  // namespace kelvoapi
