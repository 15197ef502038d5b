// Capture of the server's standard output and error: two pipes read on a
// thread of their own, keeping the last 16384 bytes of each stream for the
// errors that report a failed start or shut-down.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/circular_buffer.hpp>
#include <boost/process/async_pipe.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelvoapi {

class PipeDriver {
public:
    static constexpr size_t maxKeepLastInput = 16384;
    static constexpr size_t readBufferSize = 1024;
    using CircularBuffer = boost::circular_buffer_space_optimized<char>;

    PipeDriver();
    PipeDriver(const PipeDriver&) = delete;
    PipeDriver& operator=(const PipeDriver&) = delete;
    ~PipeDriver();

    boost::process::async_pipe& StdOutPipe() { return stdOutPipe; }
    boost::process::async_pipe& StdErrPipe() { return stdErrPipe; }

    // The kept text of both streams, or "Child process' output was not
    // captured." for an empty optional. Waits up to drainLimit for the
    // streams to end, so that the last words of a server that has just
    // exited are kept; a grandchild holding a pipe open cannot stall it.
    static std::string flushPipeOutput(std::optional<PipeDriver>& driver,
                                       std::chrono::milliseconds drainLimit = std::chrono::milliseconds(1000));

private:
    void readLoop(const boost::system::error_code& error, size_t bytesRead, std::vector<char>& readBuffer,
                  CircularBuffer& ringBuffer, boost::process::async_pipe& pipe);
    void arm(std::vector<char>& readBuffer, CircularBuffer& ringBuffer, boost::process::async_pipe& pipe);
    void stopAndJoin();

    // The server-process classes name their fields in plain camel case, without the m_ prefix.
    // NOLINTBEGIN(readability-identifier-naming)
    boost::asio::io_context io;
    boost::process::async_pipe stdErrPipe;
    boost::process::async_pipe stdOutPipe;
    std::thread pipeReaderThread;
    CircularBuffer stdOutBuf;
    CircularBuffer stdErrBuf;
    std::vector<char> outReadBuf;
    std::vector<char> errReadBuf;
    std::mutex finishedMutex;
    std::condition_variable finishedCond;
    bool finished = false;
    // NOLINTEND(readability-identifier-naming)
};

}  // namespace kelvoapi
