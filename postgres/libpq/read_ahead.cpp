// The read-ahead thread and the hand-over of its blocks to the input buffer.
#include "postgres/libpq/read_ahead.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "postgres/libpq/buffer_space.h"

ReadAhead::ReadAhead(PGconn* conn, size_t limit) : m_conn(conn), m_limit(limit), m_interrupt(conn->interruptFd) {
    m_socket = fcntl(conn->sock, F_DUPFD_CLOEXEC, 0);
    if (m_socket < 0)
        throw std::system_error(errno, std::generic_category(), "dup");
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0) {
        const int err = errno;
        close(m_socket);
        throw std::system_error(err, std::generic_category(), "eventfd");
    }
    try {
        m_thread = std::thread([this] { Receive(); });
    } catch (...) {
        close(m_socket);
        close(m_wake);
        throw;
    }
    conn->readAhead = this;
}

void ReadAhead::StopReceiving() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_room.notify_all();
    const uint64_t one = 1;
    // Only a full counter refuses, and then the thread is woken already.
    (void)!write(m_wake, &one, sizeof(one));
    if (m_thread.joinable())
        m_thread.join();
}

ReadAhead::~ReadAhead() {
    StopReceiving();

    PGconn* conn = m_conn;
    bool lost = false;
    auto putBack = [&](const Block& block) {
        const size_t bytes = block.end - block.begin;
        if (bytes > 0 && !lost) {
            if (pqCheckInBufferSpace(static_cast<size_t>(conn->inEnd) + bytes, conn) == 0) {
                memcpy(conn->inBuffer + conn->inEnd, block.data + block.begin, bytes);
                conn->inEnd += static_cast<int>(bytes);
            } else {
                lost = true;
            }
        }
        free(block.data);
    };
    for (const Block& block : m_ready)
        putBack(block);
    if (m_filling.data != nullptr)
        putBack(m_filling);
    for (char* spare : m_spare)
        free(spare);
    conn->readAhead = nullptr;
    if (lost) {
        // The text of the failed growth stays as the reason.
        pqDropConnection(conn, true);
        conn->status = CONNECTION_BAD;
    }
    close(m_socket);
    close(m_wake);
}

int ReadAhead::Take(bool wait, int* error) {
    Block block;
    bool roomFreed = false;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (!m_ready.empty()) {
                block = m_ready.front();
                m_ready.pop_front();
                break;
            }
            // A block being filled is taken as it is while the thread waits
            // for the socket: the caller has nothing else to do.
            if (m_filling.end > m_filling.begin && !m_receiving) {
                block = m_filling;
                m_filling = Block{};
                break;
            }
            if (m_state == State::Ended) {
                *error = m_error;
                return kEnd;
            }
            if (m_state == State::Gone)
                return kGone;
            if (!m_receiving)
                return ReceiveHere(lock, wait, error);
            if (!wait)
                return 0;
            m_takerWaiting = true;
            m_arrived.wait(lock);
            m_takerWaiting = false;
        }
        m_ahead -= block.end - block.begin;
        roomFreed = m_roomWaiting && m_ahead < m_limit;
    }
    if (roomFreed)
        m_room.notify_one();
    if (!Deliver(block)) {
        *error = ENOMEM;
        return kEnd;
    }
    return 1;
}

int ReadAhead::ReceiveHere(std::unique_lock<std::mutex>& lock, bool wait, int* error) {
    m_callerReceiving = true;
    ++m_callerReceives;
    lock.unlock();
    PGconn* conn = m_conn;
    int got = 0;
    int err = 0;
    if (conn->inBufSize - conn->inEnd < 8192 &&
        pqCheckInBufferSpace(static_cast<size_t>(conn->inEnd) + 8192, conn) != 0) {
        got = kEnd;
        err = ENOMEM;
    }
    while (got == 0) {
        const ssize_t n = recv(m_socket, conn->inBuffer + conn->inEnd,
                               static_cast<size_t>(conn->inBufSize - conn->inEnd), MSG_DONTWAIT);
        if (n > 0) {
            conn->inEnd += static_cast<int>(n);
            got = 1;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            got = kEnd;
            err = n == 0 ? 0 : errno;
        } else if (errno != EINTR) {
            if (!wait)
                break;
            pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_interrupt, POLLIN, 0}};
            const int ready = poll(fds, m_interrupt >= 0 ? 2 : 1, conn->idleLimitMs);
            if (ready == 0 || (ready > 0 && fds[1].revents != 0)) {
                // The server sent nothing within the limit, or the owner gave
                // the wait up.
                got = kEnd;
                err = ready == 0 ? ETIMEDOUT : ECANCELED;
            }
        }
    }
    lock.lock();
    m_callerReceiving = false;
    if (got == kEnd && err != ENOMEM) {
        m_state = State::Ended;
        m_error = err;
    }
    *error = err;
    return got;
}

bool ReadAhead::Deliver(Block block) {
    PGconn* conn = m_conn;
    const size_t unread = static_cast<size_t>(conn->inEnd - conn->inStart);
    if (unread <= block.begin) {
        // The block becomes the input buffer, the unread bytes in front of
        // its own: no copy of the received bytes.
        const size_t start = block.begin - unread;
        memcpy(block.data + start, conn->inBuffer + conn->inStart, unread);
        Recycle(conn->inBuffer, static_cast<size_t>(conn->inBufSize));
        conn->inCursor = static_cast<int>(start) + (conn->inCursor - conn->inStart);
        conn->inStart = static_cast<int>(start);
        conn->inEnd = static_cast<int>(block.end);
        conn->inBuffer = block.data;
        conn->inBufSize = static_cast<int>(kBlockSize);
        return true;
    }
    // A long message is being assembled: the block's bytes go after it.
    const size_t bytes = block.end - block.begin;
    if (pqCheckInBufferSpace(static_cast<size_t>(conn->inEnd) + bytes, conn) != 0) {
        // Kept for a later take: nothing may be lost.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ready.push_front(block);
        m_ahead += bytes;
        return false;
    }
    memcpy(conn->inBuffer + conn->inEnd, block.data + block.begin, bytes);
    conn->inEnd += static_cast<int>(bytes);
    Recycle(block.data, kBlockSize);
    return true;
}

void ReadAhead::Recycle(char* buffer, size_t size) {
    if (size != kBlockSize) {
        free(buffer);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_spare.push_back(buffer);
}

void ReadAhead::Receive() {
    for (;;) {
        char* into;
        size_t room;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (!m_stop && m_ahead >= m_limit) {
                m_roomWaiting = true;
                m_room.wait(lock);
                m_roomWaiting = false;
            }
            if (m_stop || m_state != State::Receiving)
                return;
            if (m_callerReceiving || m_receivesSeen != m_callerReceives) {
                // A caller that keeps receiving for itself needs no help;
                // one that has not received for a while is busy, and the
                // thread drains the socket until it is back. The thread is
                // not woken by the caller, which would cost it a call per
                // read, but looks again after a while.
                m_receivesSeen = m_callerReceives;
                m_room.wait_for(lock, std::chrono::milliseconds(2));
                continue;
            }
            if (m_filling.data == nullptr) {
                char* data = nullptr;
                if (!m_spare.empty()) {
                    data = m_spare.front();
                    m_spare.pop_front();
                } else {
                    data = static_cast<char*>(malloc(kBlockSize));
                }
                if (data == nullptr) {
                    // What is in the socket stays there for the caller.
                    m_state = State::Gone;
                    m_arrived.notify_one();
                    return;
                }
                m_filling = Block{data, kHeadroom, kHeadroom};
            }
            m_receiving = true;
            into = m_filling.data + m_filling.end;
            room = kBlockSize - m_filling.end;
        }
        const ssize_t n = recv(m_socket, into, room, MSG_DONTWAIT);
        const int err = n < 0 ? errno : 0;
        bool drained = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_receiving = false;
            if (n > 0) {
                m_filling.end += static_cast<size_t>(n);
                m_ahead += static_cast<size_t>(n);
                if (m_filling.end == kBlockSize) {
                    m_ready.push_back(m_filling);
                    m_filling = Block{};
                }
                // Less than the room: the socket had no more for now.
                drained = static_cast<size_t>(n) < room;
                if (m_takerWaiting)
                    m_arrived.notify_one();
            } else if (n == 0 || (err != EINTR && err != EAGAIN && err != EWOULDBLOCK)) {
                m_state = State::Ended;
                m_error = err;
                m_arrived.notify_one();
                return;
            } else {
                drained = err != EINTR;
            }
        }
        if (drained) {
            pollfd fds[3] = {{m_socket, POLLIN, 0}, {m_wake, POLLIN, 0}, {m_interrupt, POLLIN, 0}};
            // Any wake-up, an interrupted one included, goes round again.
            if (poll(fds, m_interrupt >= 0 ? 3 : 2, -1) > 0 && fds[2].revents != 0) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_state = State::Ended;
                m_error = ECANCELED;
                m_arrived.notify_one();
                return;
            }
        }
    }
}
