// Framing of what clients send: complete packets and messages are taken out
// whatever the chunks the bytes arrive in.
#include <gtest/gtest.h>

#include "kelvod/protocol_reader.h"
#include "support/wire_client.h"

using namespace kelvod;

namespace {

const auto I32 = kelvotest::WireClient::Int32;
const auto I16 = kelvotest::WireClient::Int16;
const auto Z = kelvotest::WireClient::Str;

}  // namespace

TEST(KelvodProtocolReader, TakesStartupAndMessagesFedOneByteAtATime) {
    std::string startup = I32(196608) + Z("user") + Z("u") + Z("options") + Z("a=b c='d e'") + std::string(1, '\0');
    auto message = [](char type, const std::string& body) {
        return std::string(1, type) + I32(int32_t(body.size() + 4)) + body;
    };
    std::string bytes = I32(int32_t(startup.size() + 4)) + startup + message('Q', Z("SELECT 1")) +
                        message('P', Z("s") + Z("SELECT $1") + I16(1) + I32(23)) +
                        message('B', Z("") + Z("s") + I16(0) + I16(2) + I32(2) + "42" + I32(-1) + I16(1) + I16(2)) +
                        message('E', Z("") + I32(0)) + message('S', "");
    ProtocolReader r;
    std::vector<Request> requests;
    std::optional<StartupPacket> packet;
    for (char c : bytes) {
        r.Append(&c, 1);
        if (!packet) {
            packet = r.TakeStartupPacket();
            continue;
        }
        while (auto q = r.TakeRequest())
            requests.push_back(*q);
    }
    ASSERT_TRUE(packet);
    auto& s = std::get<StartupRequest>(*packet);
    ASSERT_EQ(s.parameters.size(), 2u);
    EXPECT_EQ(s.parameters[1].second, "a=b c='d e'");
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(std::get<QueryMessage>(requests[0]).sql, "SELECT 1");
    EXPECT_EQ(std::get<ParseMessage>(requests[1]).paramTypes, std::vector<uint32_t>{23});
    const auto& bind = std::get<BindMessage>(requests[2]);
    ASSERT_EQ(bind.params.size(), 2u);
    EXPECT_EQ(bind.params[0].value_or(""), "42");
    EXPECT_FALSE(bind.params[1].has_value());
    EXPECT_EQ(bind.resultFormats, std::vector<int16_t>{2});
    EXPECT_TRUE(std::holds_alternative<SyncMessage>(requests[4]));
    EXPECT_EQ(r.Buffered(), 0u);
}
