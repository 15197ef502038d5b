// The one owner of a protocol result: a result held here is freed with
// PQclear on every way out. The library's statement, rowset and insertion
// code keeps every result it reads in one.
#pragma once

#include <memory>

#include "postgres/libpq/result_record.h"

struct PGresultDeleter {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using ScopedPGresult = std::unique_ptr<PGresult, PGresultDeleter>;
