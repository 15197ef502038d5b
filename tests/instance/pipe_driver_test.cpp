#include "instance/pipe_driver.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using kelvoapi::PipeDriver;

TEST(Capture, AWriterThatKeepsThePipeOpenDoesNotStallTheFlush) {
    // The sink stays open, as when a grandchild inherited it: the flush
    // gives up waiting for the end of the stream and keeps everything
    // written before it, whether or not the reader had taken it yet.
    for (const int drainMs : {0, 200}) {
        std::optional<PipeDriver> driver;
        driver.emplace();
        for (const std::string piece : {"still ", "here"})
            ASSERT_EQ(::write(driver->StdOutPipe().native_sink(), piece.data(), piece.size()), ssize_t(piece.size()));
        EXPECT_EQ(PipeDriver::flushPipeOutput(driver, std::chrono::milliseconds(drainMs)),
                  "Child process' stdout:\nstill here\n")
            << drainMs;
    }
}

}  // namespace
