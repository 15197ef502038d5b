// Room in a connection's buffers: the message code fills the output buffer
// and the socket code the input buffer, and both ask here for the space.
#pragma once

#include <cstddef>

#include "postgres/libpq/connection_record.h"

// Make the buffers at least bytes_needed large; 0 on success, EOF (-1) with
// the error text written when memory runs out. The input buffer is compacted
// first. Sizes are computed in 64 bits and never pass INT_MAX.
int pqCheckOutBufferSpace(size_t bytes_needed, PGconn* conn);
int pqCheckInBufferSpace(size_t bytes_needed, PGconn* conn);
