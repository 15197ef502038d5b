// The read-ahead thread and the hand-over of its blocks to the input buffer.
#include "postgres/libpq/read_ahead.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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
    m_epoll = m_wake < 0 ? -1 : epoll_create1(EPOLL_CLOEXEC);
    epoll_event socketEvent{};
    socketEvent.events = EPOLLIN | EPOLLET;
    socketEvent.data.fd = m_socket;
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.fd = m_wake;
    epoll_event interruptEvent{};
    interruptEvent.events = EPOLLIN;
    interruptEvent.data.fd = m_interrupt;
    if (m_epoll < 0 || epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_socket, &socketEvent) != 0 ||
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &wakeEvent) != 0 ||
        (m_interrupt >= 0 && epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_interrupt, &interruptEvent) != 0)) {
        const int err = errno;
        closeAll();
        throw std::system_error(err, std::generic_category(), "epoll");
    }
    try {
        m_thread = std::thread([this] { Receive(); });
    } catch (...) {
        closeAll();
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
    closeAll();
}

void ReadAhead::closeAll() {
    for (int fd : {m_socket, m_wake, m_epoll}) {
        if (fd >= 0)
            close(fd);
    }
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
            if (!TakeOver(lock)) {
                lock.unlock();
                if (!AwaitArrival())
                    return;
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
                // A waiting caller gets what came at once, not once the
                // block is full: the thread may be about to receive into it
                // again, and the caller would wait for that too. One such
                // block at a time, so that blocks never pile up half empty.
                if (m_filling.end == kBlockSize || (m_takerWaiting && m_ready.empty())) {
                    m_ready.push_back(m_filling);
                    m_filling = Block{};
                }
                // Less than the room: the socket had no more for now.
                drained = static_cast<size_t>(n) < room;
                m_draining = !drained;
                if (m_takerWaiting)
                    m_arrived.notify_one();
            } else if (n == 0 || (err != EINTR && err != EAGAIN && err != EWOULDBLOCK)) {
                m_state = State::Ended;
                m_error = err;
                m_arrived.notify_one();
                return;
            } else {
                drained = err != EINTR;
                m_draining = !drained;
            }
        }
        if (drained && !AwaitArrival())
            return;
    }
}

bool ReadAhead::TakeOver(std::unique_lock<std::mutex>& lock) {
    // A caller that receives gets what arrived itself.
    if (m_callerReceiving) {
        m_draining = false;
        return false;
    }
    if (m_draining)
        return true;
    const bool keptUp = m_receivesSeen != m_callerReceives;
    m_receivesSeen = m_callerReceives;
    if (keptUp) {
        // A reader between two receives: only a socket filling up makes
        // the thread step in before the next arrival shows it busy.
        int queued = 0;
        lock.unlock();
        const bool full = ioctl(m_socket, FIONREAD, &queued) == 0 && queued >= kTakeOverQueued;
        lock.lock();
        if (!full || m_callerReceiving || m_stop)
            return false;
    }
    m_draining = true;
    return true;
}

bool ReadAhead::AwaitArrival() {
    epoll_event events[3];
    // Any wake-up, an interrupted one included, goes round again.
    const int ready = epoll_wait(m_epoll, events, 3, -1);
    for (int i = 0; i < ready; ++i) {
        if (events[i].data.fd == m_interrupt) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_state = State::Ended;
            m_error = ECANCELED;
            m_arrived.notify_one();
            return false;
        }
    }
    return true;
}
