// Framing of what clients send: complete packets and messages are taken out
// whatever the chunks the bytes arrive in; malformed ones are refused.
#include <gtest/gtest.h>

#include "kelvod/protocol_reader.h"
#include "kelvod/protocol_writer.h"

using namespace kelvod;

namespace {

std::string I32(int32_t v) {
    auto u = static_cast<uint32_t>(v);
    return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8), static_cast<char>(u)};
}
std::string I16(int16_t v) { return {static_cast<char>(static_cast<uint16_t>(v) >> 8), static_cast<char>(v)}; }
std::string Msg(char type, const std::string& body) { return std::string(1, type) + I32(int32_t(body.size() + 4)) + body; }
std::string Z(const std::string& s) { return s + std::string(1, '\0'); }

}  // namespace

TEST(KelvodProtocolReader, TakesStartupAndMessagesFedOneByteAtATime) {
    std::string startup = I32(196608) + Z("user") + Z("u") + Z("options") + Z("a=b c='d e'") + std::string(1, '\0');
    std::string bytes = I32(int32_t(startup.size() + 4)) + startup + Msg('Q', Z("SELECT 1")) +
                        Msg('P', Z("s") + Z("SELECT $1") + I16(1) + I32(23)) +
                        Msg('B', Z("") + Z("s") + I16(0) + I16(2) + I32(2) + "42" + I32(-1) + I16(1) + I16(2)) +
                        Msg('E', Z("") + I32(0)) + Msg('S', "");
    ProtocolReader r;
    std::vector<Request> requests;
    std::optional<StartupPacket> packet;
    for (char c : bytes) {
        r.Append(&c, 1);
        if (!packet) {
            packet = r.TakeStartupPacket();
            continue;
        }
        while (auto q = r.TakeRequest()) requests.push_back(*q);
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

TEST(KelvodProtocolReader, RefusesMalformedInput) {
    struct Case {
        const char* what;
        bool startup;
        std::string bytes;
        const char* sqlstate;
    } cases[] = {
        {"short start-up length", true, I32(7) + I32(196608), "08P01"},
        {"huge start-up length", true, I32(1 << 20), "08P01"},
        {"old protocol", true, I32(8) + I32(131072), "0A000"},
        {"missing terminator", true, I32(15) + I32(196608) + Z("user") + "ab", "08P01"},
        {"short message length", false, std::string("Q") + I32(3), "08P01"},
        {"huge message length", false, std::string("Q") + I32(int32_t(kMaxMessage + 1)), "08P01"},
        {"unknown type", false, Msg('z', ""), "08P01"},
        {"query past its length", false, Msg('Q', "SELECT"), "08P01"},
        {"execute too short", false, Msg('E', Z("") + I16(0)), "08P01"},
        {"close of unknown kind", false, Msg('C', "Q" + Z("x")), "08P01"},
        {"negative parameter length", false, Msg('B', Z("") + Z("") + I16(0) + I16(1) + I32(-2) + I16(0)), "08P01"},
    };
    for (const auto& c : cases) {
        ProtocolReader r;
        r.Append(c.bytes.data(), c.bytes.size());
        try {
            if (c.startup) r.TakeStartupPacket();
            else r.TakeRequest();
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const ProtocolError& e) {
            EXPECT_EQ(e.sqlstate, c.sqlstate) << c.what;
        }
    }
}

TEST(KelvodProtocolWriter, WritesExactMessageBytes) {
    ProtocolWriter w;
    w.ReadyForQuery('I');
    w.CommandComplete("SELECT 1");
    w.BeginDataRow(2);
    w.Field("ab", 2);
    w.NullField();
    w.EndDataRow();
    ErrorFields e;
    e.sqlstate = "42P01";
    e.message = "m";
    e.hint = "h";
    w.Error(e);
    std::string expected = Msg('Z', "I") + Msg('C', Z("SELECT 1")) + Msg('D', I16(2) + I32(2) + "ab" + I32(-1)) +
                           Msg('E', "S" + Z("ERROR") + "V" + Z("ERROR") + "C" + Z("42P01") + "M" + Z("m") + "H" +
                                        Z("h") + std::string(1, '\0'));
    EXPECT_EQ(w.Buffer(), expected);
}
