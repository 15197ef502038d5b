// The session's transaction status, as ReadyForQuery reports it.
#pragma once

namespace kelvod {

// Unscoped so that its values read as the status bytes they are on the wire.
enum TransactionStatus : char {
    kIdle = 'I',         // no transaction block
    kInBlock = 'T',      // inside a block
    kFailedBlock = 'E',  // inside a failed block: only COMMIT or ROLLBACK end it
};

}  // namespace kelvod
