#include "instance/pipe_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using kelvoapi::PipeDriver;

void WriteAll(int fd, const std::string& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        ASSERT_GT(n, 0);
        written += static_cast<size_t>(n);
    }
}

std::string Pattern(size_t size, char first) {
    std::string text;
    for (size_t i = 0; i < size; ++i)
        text += static_cast<char>(first + i % 26);
    return text;
}

struct CaptureCase {
    const char* name;
    std::string out;
    std::string err;
    std::string expected;
};

class Capture : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(Capture, KeepsTheLastBytesOfEachStream) {
    const CaptureCase& c = GetParam();
    std::optional<PipeDriver> driver;
    driver.emplace();
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

INSTANTIATE_TEST_SUITE_P(
    Streams, Capture,
    ::testing::Values(
        CaptureCase{"Nothing", "", "", ""},
        CaptureCase{"StdoutOnly", "hello", "", "Child process' stdout:\nhello\n"},
        CaptureCase{"StderrOnly", "", "oops\n", "Child process' stderr:\noops\n\n"},
        CaptureCase{"Both", "o", "e", "Child process' stdout:\no\nChild process' stderr:\ne\n"},
        CaptureCase{"BinaryBytesKept", std::string("a\0b\xff", 4), "", std::string("Child process' stdout:\na\0b\xff\n", 28)},
        CaptureCase{"ExactlyFull", Pattern(16384, 'a'), "", "Child process' stdout:\n" + Pattern(16384, 'a') + "\n"},
        CaptureCase{"OverflowKeepsTail", Pattern(20000, 'a'), Pattern(40000, 'A'),
                    "Child process' stdout:\n" + Pattern(20000, 'a').substr(20000 - 16384) +
                        "\nChild process' stderr:\n" + Pattern(40000, 'A').substr(40000 - 16384) + "\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Capture, AnEmptyCaptureSaysSo) {
    std::optional<PipeDriver> driver;
    EXPECT_EQ(PipeDriver::flushPipeOutput(driver), "Child process' output was not captured.");
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

TEST(Capture, PipeEndsAreCloseOnExec) {
    std::optional<PipeDriver> driver;
    driver.emplace();
    for (const int fd : {driver->StdOutPipe().native_source(), driver->StdOutPipe().native_sink(),
                         driver->StdErrPipe().native_source(), driver->StdErrPipe().native_sink()})
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
}

}  // namespace
