// The session's transaction status, as ReadyForQuery reports it.
#pragma once

namespace kelvod {

// Each value is the status byte it is on the wire.
enum class TransactionStatus : char {
    Idle = 'I',         // no transaction block
    InBlock = 'T',      // inside a block
    FailedBlock = 'E',  // inside a failed block: only COMMIT or ROLLBACK end it
};

}  // namespace kelvod
