// The output capture's reading thread and the flush of the kept text.
#include "instance/pipe_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/read.hpp>
#include <system_error>

namespace kelvoapi {

namespace {

constexpr int kFinalDrainRounds = 64;

// The pipes' ends are close-on-exec from their first moment, so that a
// process the application forks meanwhile holds no end. The server gets its
// ends through dup2, which clears the flag on the copies.
void UseCloseOnExecPipe(boost::process::async_pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::system_category(), "pipe2");
    // Only the rvalue accessors hand out the ends for modification.
    // The accessors move nothing: `pipe` stays whole after the first one.
    auto&& source = std::move(pipe).source();
    auto&& sink = std::move(pipe).sink();  // NOLINT(bugprone-use-after-move)
    source.close();
    sink.close();
    source.assign(fds[0]);
    sink.assign(fds[1]);
}

}  // namespace

PipeDriver::PipeDriver()
    : stdErrPipe(io),
      stdOutPipe(io),
      stdOutBuf(maxKeepLastInput),
      stdErrBuf(maxKeepLastInput),
      outReadBuf(readBufferSize, 0),
      errReadBuf(readBufferSize, 0) {
    UseCloseOnExecPipe(stdErrPipe);
    UseCloseOnExecPipe(stdOutPipe);
    arm(outReadBuf, stdOutBuf, stdOutPipe);
    arm(errReadBuf, stdErrBuf, stdErrPipe);
    try {
        pipeReaderThread = std::thread([this] {
            io.run();
            {
                std::lock_guard<std::mutex> lock(finishedMutex);
                finished = true;
            }
            finishedCond.notify_all();
        });
    } catch (const std::system_error& e) {
        throw std::system_error(e.code(), "thread constructor failed");
    }
}

PipeDriver::~PipeDriver() {
    boost::system::error_code ignored;
    stopAndJoin();
    stdOutPipe.close(ignored);
    stdErrPipe.close(ignored);
}

void PipeDriver::stopAndJoin() {
    if (!io.stopped())
        io.stop();
    if (pipeReaderThread.joinable())
        pipeReaderThread.join();
}

void PipeDriver::arm(std::vector<char>& readBuffer, CircularBuffer& ringBuffer, boost::process::async_pipe& pipe) {
    pipe.async_read_some(boost::asio::buffer(readBuffer),
                         [this, &readBuffer, &ringBuffer, &pipe](const boost::system::error_code& error, size_t n) {
                             readLoop(error, n, readBuffer, ringBuffer, pipe);
                         });
}

void PipeDriver::readLoop(const boost::system::error_code& error, size_t bytesRead, std::vector<char>& readBuffer,
                          CircularBuffer& ringBuffer, boost::process::async_pipe& pipe) {
    if (error)
        return;
    // A full ring drops its oldest byte for each new one.
    for (size_t i = 0; i < bytesRead; ++i)
        ringBuffer.push_back(readBuffer[i]);
    arm(readBuffer, ringBuffer, pipe);
}

std::string PipeDriver::flushPipeOutput(std::optional<PipeDriver>& driver, std::chrono::milliseconds drainLimit) {
    if (!driver)
        return "Child process' output was not captured.";
    {
        std::unique_lock<std::mutex> lock(driver->finishedMutex);
        driver->finishedCond.wait_for(lock, drainLimit, [&] { return driver->finished; });
    }
    driver->stopAndJoin();
    // What was written before the flush but not yet handed to the rings
    // (still in a pipe, or read by a completion that the stop kept from
    // running) is taken now on this thread, the reader being gone; bounded,
    // so that a writer that keeps going cannot hold the flush.
    driver->io.restart();
    for (int round = 0; round < kFinalDrainRounds && driver->io.poll() != 0; ++round) {
    }
    std::string text;
    const auto append = [&text](const char* title, const CircularBuffer& ring) {
        if (ring.empty())
            return;
        text += title;
        text.append(ring.begin(), ring.end());
        text += '\n';
    };
    append("Child process' stdout:\n", driver->stdOutBuf);
    append("Child process' stderr:\n", driver->stdErrBuf);
    return text;
}

}  // namespace kelvoapi
