// The callback connection: the server tells the library its endpoint over it,
// and its end is the library's signal to stop.
#pragma once

#include <stdexcept>
#include <string>

#include "kelvod/process/endpoint.h"

namespace kelvod {

struct CallbackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Callback {
public:
    // Connects to `to` and sends, in one write, one length byte and `descriptor`
    // (at most 255 bytes). Throws CallbackError.
    Callback(const Endpoint& to, const std::string& descriptor);
    ~Callback();
    Callback(const Callback&) = delete;
    Callback& operator=(const Callback&) = delete;

    // Blocks until the library closes the connection (end of file or reset).
    void WaitForClose();
    // From another thread: ends WaitForClose as if the library had closed the connection.
    void Interrupt();

private:
    int m_fd = -1;
};

}  // namespace kelvod
