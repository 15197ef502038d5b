// The inserter buffer's exact bytes, its refusals, and when it hands chunks on.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "api/chunk_sink.h"
#include "api/inserter_buffer.h"
#include "kelvo/inserter.h"
#include "support/error_ptr.h"

namespace {

using kelvoapi::InserterBuffer;
using kelvoapi::TableDefinition;
using kelvotest::AsError;
using kelvotest::ErrorPtr;
using Bytes = std::vector<uint8_t>;
using Add = std::function<kelvo_error_t*(kelvo_inserter_buffer_t*)>;

// An add of one cell: `add` called on the buffer with `arguments`.
template <typename Function, typename... Arguments>
Add Cell(Function add, Arguments... arguments) {
    return [=](kelvo_inserter_buffer_t* buffer) { return add(buffer, arguments...); };
}

const Bytes kHeader = {'K', 'L', 'V', 'C', 'P', 'Y', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const uint8_t kThree[3] = {0xAA, 0xBB, 0xCC};
const uint8_t kLengthOne[5] = {1, 0, 0, 0, 'x'};
const uint8_t kSixteen[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// What the buffer hands on: a switch (with its select list) or a chunk.
struct Event {
    bool init;
    std::string selectList;
    Bytes bytes;
};

class RecordingSink : public kelvoapi::ChunkSink {
public:
    void InitBulkInsert(const TableDefinition* definition, const std::string& selectList) override {
        EXPECT_GT(definition->GetColumnCount(), 0u);
        events.push_back({true, selectList, {}});
    }
    void SendChunk(const uint8_t* data, size_t size) override {
        if (failSends)
            throw std::runtime_error("send refused");
        events.push_back({false, {}, Bytes(data, data + size)});
    }
    std::vector<Event> events;
    bool failSends = false;
};

TableDefinition Table(const std::vector<std::pair<kelvo_type_tag_t, bool>>& columns) {
    TableDefinition definition("t", KELVO_PERMANENT, false);
    for (const auto& [tag, nullable] : columns) {
        definition.AddColumn("c" + std::to_string(definition.GetColumnCount()), tag, 0, "", nullable);
    }
    return definition;
}

Bytes Filled(const InserterBuffer& buffer) {
    return Bytes(buffer.GetData() + kHeader.size(), buffer.GetData() + buffer.GetFilledSize());
}

Bytes Chunk(const Bytes& cells) {
    Bytes chunk = kHeader;
    chunk.insert(chunk.end(), cells.begin(), cells.end());
    return chunk;
}

TEST(InserterBufferCells, EveryKindOfCellInBothNullabilities) {
    // The cell's bytes; nullable columns get 00 in front.
    const std::tuple<const char*, kelvo_type_tag_t, Add, Bytes> cases[] = {
        {"bool", KELVO_BOOL, Cell(kelvo_inserter_buffer_add_bool, true), {0x01}},
        {"int16", KELVO_SMALL_INT, Cell(kelvo_inserter_buffer_add_int16, int16_t{0x0102}), {2, 1}},
        {"int32 min", KELVO_INT, Cell(kelvo_inserter_buffer_add_int32, INT32_MIN), {0, 0, 0, 0x80}},
        {"int64", KELVO_BIG_INT, Cell(kelvo_inserter_buffer_add_int64, 0x0102030405060708), {8, 7, 6, 5, 4, 3, 2, 1}},
        {"double -0.0", KELVO_DOUBLE, Cell(kelvo_inserter_buffer_add_double, -0.0), {0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"binary", KELVO_BYTE_A, Cell(kelvo_inserter_buffer_add_binary, kThree, 3), {3, 0, 0, 0, 0xAA, 0xBB, 0xCC}},
        {"empty binary", KELVO_TEXT, Cell(kelvo_inserter_buffer_add_binary, nullptr, 0), {0, 0, 0, 0}},
        {"date 2000-01-01", KELVO_DATE, Cell(kelvo_inserter_buffer_add_date, 2000, 1, 1), {0x59, 0x68, 0x25, 0x00}},
        {"raw", KELVO_INTERVAL, Cell(kelvo_inserter_buffer_add_raw, kSixteen, 16), Bytes(kSixteen, kSixteen + 16)},
        {"empty raw", KELVO_UNSUPPORTED, Cell(kelvo_inserter_buffer_add_raw, nullptr, 0), {}},
        {"raw variable", KELVO_TEXT, Cell(kelvo_inserter_buffer_add_raw, kLengthOne, 5),
         Bytes(kLengthOne, kLengthOne + 5)}};
    for (const auto& [name, tag, add, value] : cases) {
        for (const bool nullable : {true, false}) {
            SCOPED_TRACE(std::string(name) + (nullable ? " nullable" : " not null"));
            RecordingSink sink;
            // A second column keeps the row open, so nothing is sent.
            InserterBuffer buffer(sink, Table({{tag, nullable}, {KELVO_INT, true}}), "*");
            ASSERT_EQ(ErrorPtr(add(&buffer)), nullptr);
            Bytes expected = nullable ? Bytes{0x00} : Bytes{};
            expected.insert(expected.end(), value.begin(), value.end());
            EXPECT_EQ(Filled(buffer), expected);
            EXPECT_EQ(buffer.GetCurrentCell(), 1u);
            EXPECT_TRUE(sink.events.empty());
        }
    }
}

TEST(InserterBufferRefusals, BadCellsChangeNothing) {
    // The SQLSTATE; none for the invalid-argument code 22.
    const std::tuple<const char*, Add, std::string> cases[] = {
        {"null in a NOT NULL column", kelvo_inserter_buffer_add_null, "22004"},
        {"binary beyond the 32-bit length", Cell(kelvo_inserter_buffer_add_binary, kThree, size_t{1} << 32), "54S01"},
        {"raw that overflows the size", Cell(kelvo_inserter_buffer_add_raw, kThree, SIZE_MAX), "54S01"},
        {"binary without bytes", Cell(kelvo_inserter_buffer_add_binary, nullptr, 3), ""},
        {"raw without bytes", Cell(kelvo_inserter_buffer_add_raw, nullptr, 3), ""},
        {"no buffer", [](auto*) { return kelvo_inserter_buffer_add_int32(nullptr, 1); }, ""},
        // A cell the column's type does not take would shift every later cell.
        {"int32 into BYTEA", Cell(kelvo_inserter_buffer_add_int32, 1), "42804"},
        {"raw without its length", Cell(kelvo_inserter_buffer_add_raw, kThree, 3), "42804"},
        {"raw whose length is not its size", Cell(kelvo_inserter_buffer_add_raw, kLengthOne, 4), "42804"}};
    for (const auto& [name, add, sqlstate] : cases) {
        SCOPED_TRACE(name);
        RecordingSink sink;
        InserterBuffer buffer(sink, Table({{KELVO_BYTE_A, false}, {KELVO_INT, false}}), "*");
        const ErrorPtr error(add(&buffer));
        ASSERT_NE(error, nullptr);
        if (!sqlstate.empty()) {
            EXPECT_EQ(AsError(error).GetSqlstate(), sqlstate);
        } else {
            EXPECT_EQ(AsError(error).GetCode(), std::errc::invalid_argument);
        }
        EXPECT_EQ(buffer.GetFilledSize(), kHeader.size());
        EXPECT_EQ(buffer.GetCurrentCell(), 0u);
        EXPECT_EQ(buffer.GetCapacity(), kelvoapi::DataChunk::initial_size);
    }
    // Into (INT NOT NULL, INT NOT NULL): every add but int32 (and a raw of four bytes) is refused with the column
    // named, and the row stays where it was.
    const std::vector<std::pair<Add, const char*>> wrong = {
        {Cell(kelvo_inserter_buffer_add_int16, 3), "a SMALLINT value"},
        {Cell(kelvo_inserter_buffer_add_int64, 3), "a BIGINT value"},
        {Cell(kelvo_inserter_buffer_add_bool, true), "a BOOLEAN value"},
        {Cell(kelvo_inserter_buffer_add_double, 1.0), "a DOUBLE value"},
        {Cell(kelvo_inserter_buffer_add_date, 2000, 1, 1), "a DATE value"},
        {Cell(kelvo_inserter_buffer_add_binary, kThree, 3), "a variable-length value"},
        {Cell(kelvo_inserter_buffer_add_raw, kThree, 3), "an encoded value of 3 bytes"}};
    RecordingSink ints;
    InserterBuffer two(ints, Table({{KELVO_INT, false}, {KELVO_INT, false}}), "*");
    two.addInt32(1);
    for (const auto& [add, message] : wrong) {
        const ErrorPtr error(add(&two));
        ASSERT_NE(error, nullptr) << message;
        EXPECT_EQ(AsError(error).GetSqlstate(), "42804");
        EXPECT_EQ(AsError(error).GetMessage(),
                  std::string("Cannot add ") + message + " to the column \"c1\" of type INT.");
        EXPECT_EQ(two.GetFilledSize(), kHeader.size() + 4);
        EXPECT_EQ(two.GetCurrentCell(), 1u);
    }
    // No cell could ever be placed in a row without columns.
    RecordingSink sink;
    EXPECT_THROW(InserterBuffer(sink, Table({}), "*"), kelvoapi::Error);
    kelvo_inserter_buffer_destroy(nullptr);
}

TEST(InserterBufferFlush, SmallLoadsLeaveOnlyWithTheFlushAndAFailedSendLosesNothing) {
    RecordingSink sink;
    InserterBuffer buffer(sink, Table({{KELVO_INT, false}, {KELVO_INT, true}}), "a, b");
    ASSERT_EQ(ErrorPtr(kelvo_inserter_buffer_flush(&buffer)), nullptr);
    EXPECT_TRUE(sink.events.empty()) << "a flush without cells sends nothing";
    buffer.addInt32(1);
    buffer.addNull();
    buffer.addInt32(3);  // half a row: the flush sends it as it stands
    sink.failSends = true;
    const ErrorPtr error(kelvo_inserter_buffer_flush(&buffer));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(AsError(error).GetContextId().value, 0x1df54819u);
    sink.failSends = false;
    buffer.flush();
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_FALSE(sink.events[0].init);
    EXPECT_EQ(sink.events[0].bytes, Chunk({1, 0, 0, 0, 0x01, 3, 0, 0, 0}));
    EXPECT_EQ(buffer.GetFilledSize(), kHeader.size());
    EXPECT_EQ(buffer.GetCurrentCell(), 1u);
    buffer.flush();
    EXPECT_EQ(sink.events.size(), 1u);
}

// Short cells near the chunk's end: where a quick add cannot be sure of its room, the checked add writes the same
// bytes, growing by a fifth only when a cell does not fit. The first full chunk switches to bulk mode with the select
// list; later ones are only sent.
TEST(InserterBufferCells, CellsNearTheChunksEndFitExactlyOrGrowIt) {
    for (const size_t room : {size_t{40}, size_t{39}}) {
        SCOPED_TRACE(room);
        RecordingSink sink;
        InserterBuffer buffer(sink, Table({{KELVO_BYTE_A, false}, {KELVO_TEXT, true}, {KELVO_INT, true}}), "c0, c2");
        const size_t capacity = buffer.GetCapacity();
        const Bytes big(capacity - kHeader.size() - 4 - room);
        buffer.addBinary(big.data(), big.size());
        ASSERT_EQ(buffer.GetCapacity() - buffer.GetFilledSize(), room);
        const uint8_t text[30] = {'t', 'e', 'x', 't'};
        ASSERT_EQ(ErrorPtr(kelvo_inserter_buffer_add_binary(&buffer, text, sizeof text)), nullptr);
        ASSERT_EQ(ErrorPtr(kelvo_inserter_buffer_add_int32(&buffer, 0x01020304)), nullptr);
        // The row ended past the flush threshold: the chunk went out whole.
        ASSERT_EQ(sink.events.size(), 2u);
        const Bytes& sent = sink.events[1].bytes;
        Bytes tail = {0, 30, 0, 0, 0};
        tail.insert(tail.end(), text, text + sizeof text);
        tail.insert(tail.end(), {0, 4, 3, 2, 1});
        ASSERT_EQ(sent.size(), capacity - room + tail.size());
        EXPECT_TRUE(Bytes(sent.end() - static_cast<std::ptrdiff_t>(tail.size()), sent.end()) == tail);
        EXPECT_EQ(buffer.GetCapacity(), room == 40 ? capacity : capacity + capacity / 5);
        EXPECT_TRUE(sink.events[0].init);
        EXPECT_EQ(sink.events[0].selectList, "c0, c2");
        if (room == 40) {
            // Once switched, the row that passes the threshold is only sent.
            buffer.addBinary(big.data(), big.size());
            buffer.addNull();
            buffer.addNull();
            ASSERT_EQ(sink.events.size(), 3u);
            EXPECT_FALSE(sink.events[2].init);
        }
    }
}

TEST(InserterBufferFlush, FinalFlushOfAFullBufferSwitchesFirst) {
    RecordingSink sink;
    // Two columns: the row never completes, so only the flush can send.
    InserterBuffer buffer(sink, Table({{KELVO_BYTE_A, false}, {KELVO_INT, false}}), "*");
    const Bytes big(buffer.GetFlushThreshold());
    buffer.addBinary(big.data(), big.size());
    EXPECT_TRUE(sink.events.empty());
    buffer.flush();
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_TRUE(sink.events[0].init);
    EXPECT_EQ(sink.events[1].bytes.size(), kHeader.size() + 4 + big.size());
}

}  // namespace
