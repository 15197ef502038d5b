// Receiving a connection's socket on a thread of its own while the caller's
// thread is busy with the rows before: the thread only moves bytes from the
// socket into large blocks, and the connection's reads take whole blocks as
// their input buffer. Parsing, result memory and its release all stay on
// the caller's thread, as without read-ahead. A caller that comes back for
// bytes before the thread has any receives them itself, into its own
// buffer; the thread takes over once the caller has not received for a
// few milliseconds, and drains the socket until it is back, so that the
// server does not wait for a busy reader.
//
// Used by a rowset that prefetches. While one is attached (conn->readAhead)
// the connection's reads and read waits go through Take. Destroying it
// stops the thread and puts every byte received ahead back into the input
// buffer, in order, so the stream stays whole.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "postgres/libpq/connection_record.h"

class ReadAhead {
public:
    // Blocks are this large; a block starts with this much room, where a
    // message cut at the end of the input buffer goes in front of the
    // block's bytes so that the block can become the input buffer as it is.
    static constexpr size_t kBlockSize = 256 * 1024;
    static constexpr size_t kHeadroom = 8 * 1024;

    // Attaches to `conn` (which must have an open socket and no read-ahead)
    // and starts receiving; the thread waits while `limit` bytes or more are
    // received and not yet taken. Throws std::system_error when the socket
    // or the thread cannot be had; nothing is attached then.
    ReadAhead(PGconn* conn, size_t limit);
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    // Stops the thread, puts back what it received and detaches. Should the
    // input buffer not grow to take it all, the connection is dropped: it
    // would otherwise read a stream with a hole in it.
    ~ReadAhead();

    // Stops the thread and leaves the socket to the caller, who takes the
    // blocks received so far and then receives for itself: a rowset that
    // closes early reads on only as far as its drain needs. Safe to repeat.
    void StopReceiving();

    // What Take found.
    enum : int {
        kGone = -2,  // the thread gave up (out of memory) and left everything: read the socket
        kEnd = -1,   // the stream ended (*error 0) or failed (*error the errno of the receive)
    };
    // Moves received bytes into the connection's input buffer: 1 when it
    // did, 0 when nothing has arrived (only without `wait`), or kEnd/kGone
    // once every byte before that is taken; kEnd with ENOMEM when the input
    // buffer cannot grow to take a block (which is kept).
    int Take(bool wait, int* error);

private:
    struct Block {
        char* data = nullptr;
        size_t begin = 0;  // the bytes received are [begin, end)
        size_t end = 0;
    };
    enum class State { Receiving, Ended, Gone };

    void Receive();
    // With nothing received ahead and the thread away from the socket, the
    // caller receives into its input buffer itself: bytes that arrive while
    // it waits need no hand-over from another core.
    int ReceiveHere(std::unique_lock<std::mutex>& lock, bool wait, int* error);
    bool Deliver(Block block);
    // A buffer of kBlockSize goes back to the spare blocks, any other is freed.
    void Recycle(char* buffer, size_t size);

    PGconn* m_conn;
    const size_t m_limit;
    // A duplicate of the connection's socket, so that a connection that
    // drops its socket meanwhile never leaves the thread with a closed or
    // reused descriptor.
    int m_socket = -1;
    int m_wake = -1;        // an eventfd that ends the thread's poll at a stop
    const int m_interrupt;  // the connection's interruptFd, read by the thread

    std::mutex m_mutex;
    std::condition_variable m_arrived;  // the caller waits for bytes
    std::condition_variable m_room;     // the thread waits below the limit
    std::deque<Block> m_ready;          // full blocks, oldest first
    Block m_filling;                    // the block being received into, after m_ready
    // Taken oldest first: its lines have left the caller's cache the longest.
    std::deque<char*> m_spare;
    size_t m_ahead = 0;              // bytes received and not taken
    bool m_receiving = false;        // the thread writes into m_filling outside the lock
    bool m_callerReceiving = false;  // the caller receives: the thread keeps off the socket
    size_t m_callerReceives = 0;     // how often the caller received for itself
    // That count when the thread last looked; at first none, so that the
    // caller has a first look to show whether it keeps up.
    size_t m_receivesSeen = SIZE_MAX;
    bool m_takerWaiting = false;
    bool m_roomWaiting = false;
    bool m_stop = false;
    State m_state = State::Receiving;
    int m_error = 0;

    std::thread m_thread;
};
