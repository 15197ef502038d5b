// Endpoint descriptors as the library writes them.
#include <gtest/gtest.h>

#include "kelvod/process/endpoint.h"

TEST(KelvodEndpoint, ParsesAndPrintsDescriptors) {
    struct Case {
        const char* text;
        const char* printed;  // nullptr: refused
    } cases[] = {
        {"pel.tcp://localhost:auto", "pel.tcp://localhost:auto"},
        {"pel.tcp://[::1]:80", "pel.tcp://[::1]:80"},
        {"pel.tcp://:5000", "pel.tcp://:5000"},
        {"pel.pipe://auto", "pel.pipe://./pipe/auto"},
        {"pel.tcp://localhost", nullptr},
        {"pel.tcp://localhost:", nullptr},
        {"pel.tcp://localhost:-1", nullptr},
        {"pel.tcp://localhost:65536", nullptr},
        {"pel.tcp://localhost:0", nullptr},
        {"pel.domain:///tmp/domain/", nullptr},
        {"pel.domain:///tmp/x", nullptr},
        {"PEL.TCP://h:1", nullptr},
        {"pel.pipe:///pipe/x", nullptr},
    };
    for (const auto& c : cases) {
        if (c.printed)
            EXPECT_EQ(kelvod::ParseEndpoint(c.text).ToString(), c.printed) << c.text;
        else
            EXPECT_THROW(kelvod::ParseEndpoint(c.text), std::invalid_argument) << c.text;
    }
}
