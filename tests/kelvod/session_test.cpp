// A session on one end of a socket pair, without a listener: a client that
// never completes its start-up is let go instead of holding a thread forever.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "kelvod/server_state.h"
#include "kelvod/session.h"

TEST(KelvodSession, AClientThatNeverFinishesItsStartupIsLetGo) {
    const std::string cutStartup = {0, 0, 0, 40, 0, 3, 0, 0};  // a length of 40, then only the version
    for (const std::string& sent : {std::string(), cutStartup}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        kelvod::ServerState server(nullptr, "", "");
        auto session = std::make_unique<kelvod::Session>(server, fds[0], std::chrono::milliseconds(50));
        std::thread thread([&] { session->Run(); });
        ASSERT_EQ(::send(fds[1], sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
        // The session ends on its own and the client sees the connection close.
        pollfd p{fds[1], POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 20000), 1) << sent.size();
        char byte;
        EXPECT_EQ(::recv(fds[1], &byte, 1, 0), 0) << sent.size();
        session->Stop();  // so that a session that missed its deadline cannot hang the test
        thread.join();
        session.reset();
        ::close(fds[1]);
    }
}
