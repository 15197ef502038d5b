#include "instance/pipe_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using kelvoapi::PipeDriver;

void WriteAll(int fd, const std::string& bytes) {
    for (size_t written = 0; written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        ASSERT_GT(n, 0);
        written += static_cast<size_t>(n);
    }
}

TEST(Capture, KeepsTheLastBytesOfEachStream) {
    const std::string out(20000, 'o');
    const std::string err = std::string(30000, 'e') + std::string(16384, 'E');
    const struct {
        std::string out, err, expected;
    } cases[] = {
        {"", "", ""},
        {"", "oops\n", "Child process' stderr:\noops\n\n"},
        {std::string("a\0b\xff", 4), "e",
         std::string("Child process' stdout:\na\0b\xff\nChild process' stderr:\ne\n", 53)},
        {out, err,
         "Child process' stdout:\n" + out.substr(0, 16384) + "\nChild process' stderr:\n" + err.substr(30000) + "\n"},
    };
    for (const auto& c : cases) {
        std::optional<PipeDriver> driver;
        driver.emplace();
        for (const int fd : {driver->StdOutPipe().native_source(), driver->StdOutPipe().native_sink(),
                             driver->StdErrPipe().native_source(), driver->StdErrPipe().native_sink()})
            EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
        // Larger than a pipe's buffer: written from threads while the reader runs.
        std::thread outWriter([&] { WriteAll(driver->StdOutPipe().native_sink(), c.out); });
        std::thread errWriter([&] { WriteAll(driver->StdErrPipe().native_sink(), c.err); });
        outWriter.join();
        errWriter.join();
        boost::system::error_code ignored;
        std::move(driver->StdOutPipe()).sink().close(ignored);
        std::move(driver->StdErrPipe()).sink().close(ignored);
        EXPECT_EQ(PipeDriver::flushPipeOutput(driver), c.expected);
    }
    std::optional<PipeDriver> none;
    EXPECT_EQ(PipeDriver::flushPipeOutput(none), "Child process' output was not captured.");
}

TEST(Capture, AWriterThatKeepsThePipeOpenDoesNotStallTheFlush) {
    // The sink stays open, as when a grandchild inherited it: the flush
    // gives up waiting for the end of the stream and keeps everything
    // written before it, whether or not the reader had taken it yet.
    for (const int drainMs : {0, 200}) {
        std::optional<PipeDriver> driver;
        driver.emplace();
        WriteAll(driver->StdOutPipe().native_sink(), "still ");
        WriteAll(driver->StdOutPipe().native_sink(), "here");
        EXPECT_EQ(PipeDriver::flushPipeOutput(driver, std::chrono::milliseconds(drainMs)),
                  "Child process' stdout:\nstill here\n")
            << drainMs;
    }
}

}  // namespace
