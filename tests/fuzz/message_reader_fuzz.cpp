// The server's message reader fed hostile bytes: a start-up packet, then messages. Each request taken must be the next
// frame of the stream as an independent framer cuts it (a length word counting itself, a type byte before it after
// start-up), the reader never holds more than it was given, and cutting the bytes elsewhere, or taking CopyData the
// session's quick way (through Space/Received), takes the same requests with the same contents.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "fuzz_input.h"
#include "kelvod/protocol/protocol_reader.h"

namespace {

using namespace kelvod;

std::string Str(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

template <typename T>
std::string List(const std::vector<T>& v) {
    std::string out = "[";
    for (const auto& x : v)
        out += std::to_string(x) + ",";
    return out + "]";
}

// A request written out in full, so that two runs can be compared.
std::string Describe(const Request& request) {
    struct {
        std::string operator()(const QueryMessage& m) { return "Q" + Str(m.sql); }
        std::string operator()(const ParseMessage& m) { return "P" + Str(m.name) + Str(m.sql) + List(m.paramTypes); }
        std::string operator()(const BindMessage& m) {
            std::string out = "B" + Str(m.portal) + Str(m.statement) + List(m.paramFormats);
            for (const auto& p : m.params)
                out += p ? Str(*p) : std::string("null");
            return out + List(m.resultFormats);
        }
        std::string operator()(const DescribeMessage& m) { return "D" + std::string(1, m.kind) + Str(m.name); }
        std::string operator()(const ExecuteMessage& m) { return "E" + Str(m.portal) + std::to_string(m.maxRows); }
        std::string operator()(const CloseMessage& m) { return "C" + std::string(1, m.kind) + Str(m.name); }
        std::string operator()(const SyncMessage&) { return "S"; }
        std::string operator()(const FlushMessage&) { return "H"; }
        std::string operator()(const TerminateMessage&) { return "X"; }
        std::string operator()(const CopyMessage& m) { return "copy" + std::string(1, m.type) + Str(m.data); }
    } visitor;
    return std::visit(visitor, request);
}

std::string Describe(const StartupPacket& packet) {
    if (std::holds_alternative<SslRequest>(packet))
        return "ssl";
    if (const auto* c = std::get_if<CancelRequest>(&packet))
        return "cancel" + std::to_string(c->pid) + "/" + std::to_string(c->key);
    std::string out = "startup";
    for (const auto& [name, value] : std::get<StartupRequest>(packet).parameters)
        out += Str(name) + Str(value);
    return out;
}

// Where each whole frame of the stream ends, as far as the lengths are sane.
std::vector<size_t> FrameEnds(const std::string& bytes) {
    std::vector<size_t> ends;
    size_t at = 0;
    for (bool startup = true; at < bytes.size(); startup = false) {
        const size_t head = startup ? 0 : 1;
        if (bytes.size() - at < head + 4)
            break;
        const auto length = static_cast<uint32_t>(kelvofuzz::ReadBe32(bytes, at + head));
        if (length < 4 || bytes.size() - at - head < length)
            break;
        at += head + length;
        ends.push_back(at);
    }
    return ends;
}

// Feeds the bytes `step` at a time and describes every request taken, then
// "refused" if the reader refused the stream; with `quick`, CopyData is taken
// as the session takes it during COPY, into the reader's own space.
std::vector<std::string> Take(const std::string& bytes, size_t step, bool quick) {
    const std::vector<size_t> ends = FrameEnds(bytes);
    ProtocolReader reader;
    std::vector<std::string> taken;
    size_t fed = 0;
    // Each request is the next whole frame, and the reader holds only what follows it.
    auto take = [&](std::string request) {
        TrapIf(taken.size() >= ends.size());
        taken.push_back(std::move(request));
        TrapIf(reader.Buffered() != fed - ends[taken.size() - 1]);
    };
    try {
        for (size_t at = 0; at < bytes.size(); at += step) {
            const size_t n = std::min(step, bytes.size() - at);
            if (quick) {
                memcpy(reader.Space(step), bytes.data() + at, n);
                reader.Received(n);
            } else {
                reader.Append(bytes.data() + at, n);
            }
            fed += n;
            if (taken.empty()) {
                auto packet = reader.TakeStartupPacket();
                if (!packet)
                    continue;
                take(Describe(*packet));
            }
            for (;;) {
                if (auto data = quick ? reader.TakeCopyData() : std::nullopt) {
                    take("copyd" + Str(std::string(*data)));
                } else if (auto request = reader.TakeRequest()) {
                    take(Describe(*request));
                } else {
                    break;
                }
            }
        }
    } catch (const ProtocolError& e) {
        TrapIf(e.sqlstate.empty());
        taken.push_back("refused");
    }
    return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t step = 1 + data[0] % 16;
    const std::vector<std::string> whole = Take(bytes, bytes.size() + 1, false);
    TrapIf(Take(bytes, step, false) != whole || Take(bytes, step, true) != whole);
    return 0;
}
