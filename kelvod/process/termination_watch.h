// SIGTERM stops the server as the end of the callback connection does: the
// listener then tells every connected session 57P01 before the process exits.
// The signal is blocked in every thread (the engine's included, so it must be
// blocked before the engine starts) and taken by a thread of this watch.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "kelvod/process/callback.h"

namespace kelvod {

class TerminationWatch {
public:
    // Blocks SIGTERM in the calling thread (and so in every thread started after) and starts watching.
    TerminationWatch();
    ~TerminationWatch();
    TerminationWatch(const TerminationWatch&) = delete;
    TerminationWatch& operator=(const TerminationWatch&) = delete;

    // The callback whose wait a SIGTERM ends (null: none yet); a signal that came before ends it at once.
    void Watch(Callback* callback);
    bool Terminated() const;

private:
    mutable std::mutex m_mutex;
    Callback* m_callback = nullptr;
    bool m_terminated = false;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

}  // namespace kelvod
