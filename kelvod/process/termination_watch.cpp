// Taking SIGTERM on a thread of its own.
#include "kelvod/process/termination_watch.h"

#include <signal.h>

#include <ctime>

namespace kelvod {

TerminationWatch::TerminationWatch() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_thread = std::thread([this, set] {
        // A bounded wait, so that the watch notices when it is no longer wanted.
        const timespec wait{0, 100 * 1000 * 1000};
        while (!m_done) {
            if (sigtimedwait(&set, nullptr, &wait) != SIGTERM)
                continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_terminated = true;
            if (m_callback)
                m_callback->Interrupt();
        }
    });
}

TerminationWatch::~TerminationWatch() {
    m_done = true;
    m_thread.join();
}

void TerminationWatch::Watch(Callback* callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callback = callback;
    if (m_terminated && m_callback)
        m_callback->Interrupt();
}

bool TerminationWatch::Terminated() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_terminated;
}

}  // namespace kelvod
