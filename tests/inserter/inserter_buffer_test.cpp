// The inserter buffer's exact bytes for every kind of cell, its refusals,
// and when it hands chunks on: never for a small load until the flush, the
// switch to bulk mode before the first full chunk, and nothing lost when a
// send fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/chunk_sink.h"
#include "api/inserter_buffer.h"
#include "error/error.h"
#include "kelvo/error.h"
#include "kelvo/inserter.h"

namespace {

using kelvoapi::InserterBuffer;
using kelvoapi::TableDefinition;
using Bytes = std::vector<uint8_t>;

const Bytes kHeader = {'K', 'L', 'V', 'C', 'P', 'Y', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct Event {
    bool init;  // else a send
    std::string selectList;
    const TableDefinition* definition;
    Bytes bytes;
};

class RecordingSink : public kelvoapi::ChunkSink {
public:
    void InitBulkInsert(const TableDefinition* definition, const std::string& selectList) override {
        events.push_back({true, selectList, definition, {}});
    }
    void SendChunk(const uint8_t* data, size_t size) override {
        if (failSends) {
            throw std::runtime_error("send refused");
        }
        events.push_back({false, {}, nullptr, Bytes(data, data + size)});
    }
    std::vector<Event> events;
    bool failSends = false;
};

TableDefinition Table(const std::vector<std::pair<kelvo_type_tag_t, bool>>& columns) {
    TableDefinition definition("t", KELVO_PERMANENT, false);
    int n = 0;
    for (const auto& [tag, nullable] : columns) {
        definition.AddColumn("c" + std::to_string(n++), tag, 0, "", nullable);
    }
    return definition;
}

Bytes Filled(const InserterBuffer& buffer) {
    return Bytes(buffer.GetData() + kHeader.size(), buffer.GetData() + buffer.GetFilledSize());
}

struct ErrorFree {
    void operator()(kelvo_error_t* e) const { kelvo_error_destroy(e); }
};
using ErrorPtr = std::unique_ptr<kelvo_error_t, ErrorFree>;
const kelvoapi::Error& AsError(const ErrorPtr& e) { return *static_cast<const kelvoapi::Error*>(e.get()); }

const uint8_t kThree[3] = {0xAA, 0xBB, 0xCC};
const uint8_t kSixteen[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct CellCase {
    const char* name;
    kelvo_type_tag_t tag;
    std::function<kelvo_error_t*(kelvo_inserter_buffer_t*)> add;
    Bytes value;  // the value bytes; nullable columns get 00 in front
};

TEST(InserterBufferCells, EveryKindOfCellInBothNullabilities) {
    const std::vector<CellCase> cases = {
        {"bool true", KELVO_BOOL, [](auto* b) { return kelvo_inserter_buffer_add_bool(b, true); }, {0x01}},
        {"bool false", KELVO_BOOL, [](auto* b) { return kelvo_inserter_buffer_add_bool(b, false); }, {0x00}},
        {"int16", KELVO_SMALL_INT, [](auto* b) { return kelvo_inserter_buffer_add_int16(b, 0x0102); }, {0x02, 0x01}},
        {"int16 -1", KELVO_SMALL_INT, [](auto* b) { return kelvo_inserter_buffer_add_int16(b, -1); }, {0xFF, 0xFF}},
        {"int32", KELVO_INT, [](auto* b) { return kelvo_inserter_buffer_add_int32(b, 7); }, {7, 0, 0, 0}},
        {"int32 min", KELVO_INT,
         [](auto* b) { return kelvo_inserter_buffer_add_int32(b, std::numeric_limits<int32_t>::min()); },
         {0, 0, 0, 0x80}},
        {"int64", KELVO_BIG_INT,
         [](auto* b) { return kelvo_inserter_buffer_add_int64(b, 0x0102030405060708); },
         {8, 7, 6, 5, 4, 3, 2, 1}},
        {"double 1.0", KELVO_DOUBLE, [](auto* b) { return kelvo_inserter_buffer_add_double(b, 1.0); },
         {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {"double -0.0", KELVO_DOUBLE, [](auto* b) { return kelvo_inserter_buffer_add_double(b, -0.0); },
         {0, 0, 0, 0, 0, 0, 0, 0x80}},
        {"binary", KELVO_BYTE_A, [](auto* b) { return kelvo_inserter_buffer_add_binary(b, kThree, 3); },
         {3, 0, 0, 0, 0xAA, 0xBB, 0xCC}},
        {"empty binary", KELVO_TEXT, [](auto* b) { return kelvo_inserter_buffer_add_binary(b, nullptr, 0); },
         {0, 0, 0, 0}},
        {"date 2000-01-01", KELVO_DATE, [](auto* b) { return kelvo_inserter_buffer_add_date(b, 2000, 1, 1); },
         {0x59, 0x68, 0x25, 0x00}},
        {"raw 16 bytes", KELVO_INTERVAL, [](auto* b) { return kelvo_inserter_buffer_add_raw(b, kSixteen, 16); },
         Bytes(kSixteen, kSixteen + 16)},
        {"empty raw", KELVO_INTERVAL, [](auto* b) { return kelvo_inserter_buffer_add_raw(b, nullptr, 0); }, {}},
    };
    for (const CellCase& c : cases) {
        for (const bool nullable : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (nullable ? " nullable" : " not null"));
            RecordingSink sink;
            // A second column keeps the row open, so nothing is sent.
            InserterBuffer buffer(sink, Table({{c.tag, nullable}, {KELVO_INT, true}}), "*");
            ASSERT_EQ(ErrorPtr(c.add(&buffer)), nullptr);
            Bytes expected = nullable ? Bytes{0x00} : Bytes{};
            expected.insert(expected.end(), c.value.begin(), c.value.end());
            EXPECT_EQ(Filled(buffer), expected);
            EXPECT_EQ(buffer.GetFilledSize(), kHeader.size() + expected.size());
            EXPECT_EQ(buffer.GetCurrentCell(), 1u);
            EXPECT_TRUE(sink.events.empty());
        }
    }
}

TEST(InserterBufferCells, RowsFollowEachOtherAndNullsTakeOneByte) {
    RecordingSink sink;
    InserterBuffer buffer(sink, Table({{KELVO_INT, true}, {KELVO_BOOL, false}}), "*");
    buffer.addInt32(7);
    buffer.addBool(true);
    EXPECT_EQ(buffer.GetFilledSize(), 25u);
    EXPECT_EQ(buffer.GetCurrentCell(), 0u);
    buffer.addNull();
    buffer.addBool(false);
    EXPECT_EQ(Filled(buffer), (Bytes{0x00, 7, 0, 0, 0, 0x01, 0x01, 0x00}));
    EXPECT_EQ(Bytes(buffer.GetData(), buffer.GetData() + kHeader.size()), kHeader);
    EXPECT_TRUE(sink.events.empty());
}

TEST(InserterBufferRefusals, BadCellsChangeNothing) {
    struct Case {
        const char* name;
        std::function<kelvo_error_t*(kelvo_inserter_buffer_t*)> add;
        const char* sqlstate;  // empty: the invalid-argument code 22
    };
    const std::vector<Case> cases = {
        {"null in a NOT NULL column", [](auto* b) { return kelvo_inserter_buffer_add_null(b); }, "22004"},
        {"binary beyond the 32-bit length",
         [](auto* b) { return kelvo_inserter_buffer_add_binary(b, kThree, size_t{1} << 32); }, "54S01"},
        {"raw that overflows the size",
         [](auto* b) { return kelvo_inserter_buffer_add_raw(b, kThree, std::numeric_limits<size_t>::max()); },
         "54S01"},
        {"binary without bytes", [](auto* b) { return kelvo_inserter_buffer_add_binary(b, nullptr, 3); }, ""},
        {"raw without bytes", [](auto* b) { return kelvo_inserter_buffer_add_raw(b, nullptr, 3); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingSink sink;
        InserterBuffer buffer(sink, Table({{KELVO_BYTE_A, false}, {KELVO_INT, false}}), "*");
        const ErrorPtr error(c.add(&buffer));
        ASSERT_NE(error, nullptr);
        if (*c.sqlstate != '\0') {
            EXPECT_EQ(AsError(error).GetSqlstate(), c.sqlstate);
        } else {
            EXPECT_EQ(AsError(error).GetCode(), std::errc::invalid_argument);
        }
        EXPECT_EQ(buffer.GetFilledSize(), kHeader.size());
        EXPECT_EQ(buffer.GetCurrentCell(), 0u);
        EXPECT_EQ(buffer.GetCapacity(), kelvoapi::DataChunk::initial_size);
    }
    const ErrorPtr tooLarge(kelvo_inserter_buffer_add_binary(nullptr, kThree, 3));
    ASSERT_NE(tooLarge, nullptr);
    EXPECT_EQ(AsError(tooLarge).GetCode(), std::errc::invalid_argument);
    kelvo_inserter_buffer_destroy(nullptr);
}

TEST(InserterBufferRefusals, DefinitionWithoutColumns) {
    RecordingSink sink;
    try {
        InserterBuffer buffer(sink, Table({}), "*");
        FAIL() << "a buffer without columns was made";
    } catch (const kelvoapi::Error& error) {
        EXPECT_EQ(error.GetSqlstate(), "22023");
    }
}

TEST(InserterBufferFlush, SmallLoadsLeaveOnlyWithTheFlush) {
    RecordingSink sink;
    InserterBuffer buffer(sink, Table({{KELVO_INT, false}, {KELVO_INT, true}}), "a, b");
    ASSERT_EQ(ErrorPtr(kelvo_inserter_buffer_flush(&buffer)), nullptr);
    EXPECT_TRUE(sink.events.empty()) << "a flush without cells sends nothing";

    buffer.addInt32(1);
    buffer.addInt32(2);
    buffer.addInt32(3);  // half a row: the flush sends it as it stands
    buffer.flush();
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_FALSE(sink.events[0].init);
    Bytes expected = kHeader;
    expected.insert(expected.end(), {1, 0, 0, 0, 0x00, 2, 0, 0, 0, 3, 0, 0, 0});
    EXPECT_EQ(sink.events[0].bytes, expected);
    EXPECT_EQ(buffer.GetFilledSize(), kHeader.size());
    EXPECT_EQ(buffer.GetCurrentCell(), 1u);

    buffer.flush();
    EXPECT_EQ(sink.events.size(), 1u);
}

// One NOT NULL bytea column with values of `size` bytes; adds `rows` rows.
void AddBinaryRows(InserterBuffer& buffer, const Bytes& value, int rows) {
    for (int i = 0; i < rows; ++i) {
        buffer.addBinary(value.data(), value.size());
    }
}

TEST(InserterBufferFlush, FirstFullChunkSwitchesToBulkThenChunksAreOnlySent) {
    RecordingSink sink;
    InserterBuffer buffer(sink, Table({{KELVO_BYTE_A, false}}), "c0");
    // 1 MiB values: 15 rows stay below the threshold, the 16th does not fit
    // the 16 MiB chunk at all.
    Bytes value(1024 * 1024);
    for (size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<uint8_t>(i * 7);
    }
    const size_t cell = 4 + value.size();
    AddBinaryRows(buffer, value, 15);
    EXPECT_TRUE(sink.events.empty());
    AddBinaryRows(buffer, value, 1);

    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_TRUE(sink.events[0].init);
    EXPECT_EQ(sink.events[0].selectList, "c0");
    ASSERT_NE(sink.events[0].definition, nullptr);
    EXPECT_EQ(sink.events[0].definition->GetColumnCount(), 1u);
    const Bytes& chunk = sink.events[1].bytes;
    ASSERT_EQ(chunk.size(), kHeader.size() + 16 * cell);
    EXPECT_EQ(Bytes(chunk.begin(), chunk.begin() + 19), kHeader);
    for (size_t row = 0; row < 16; ++row) {
        const uint8_t* at = chunk.data() + kHeader.size() + row * cell;
        ASSERT_EQ(Bytes(at, at + 4), (Bytes{0, 0, 0x10, 0})) << "row " << row;
        ASSERT_EQ(Bytes(at + 4, at + cell), value) << "row " << row;
    }
    // Grown by a fifth and kept so.
    const size_t grown = kelvoapi::DataChunk::initial_size + kelvoapi::DataChunk::initial_size / 5;
    EXPECT_EQ(buffer.GetCapacity(), grown);
    EXPECT_EQ(buffer.GetFilledSize(), kHeader.size());

    // Rows of ~1 KiB up to just below the threshold send nothing; the row
    // that reaches it sends the second chunk without a second switch.
    const Bytes small(1020);
    const size_t threshold = buffer.GetFlushThreshold();
    size_t rows = 0;
    while (buffer.GetFilledSize() + 1024 < threshold) {
        AddBinaryRows(buffer, small, 1);
        ++rows;
    }
    EXPECT_EQ(sink.events.size(), 2u);
    AddBinaryRows(buffer, small, 1);
    ASSERT_EQ(sink.events.size(), 3u);
    EXPECT_FALSE(sink.events[2].init);
    EXPECT_EQ(sink.events[2].bytes.size(), kHeader.size() + (rows + 1) * 1024);
    EXPECT_GE(sink.events[2].bytes.size(), threshold);

    buffer.addBinary(small.data(), 3);
    buffer.flush();
    ASSERT_EQ(sink.events.size(), 4u);
    EXPECT_FALSE(sink.events[3].init);
    EXPECT_EQ(sink.events[3].bytes.size(), kHeader.size() + 7);
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

TEST(InserterBufferFlush, AFailedSendLosesNothing) {
    RecordingSink sink;
    InserterBuffer buffer(sink, Table({{KELVO_INT, false}}), "*");
    buffer.addInt32(1);
    sink.failSends = true;
    const ErrorPtr error(kelvo_inserter_buffer_flush(&buffer));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(AsError(error).GetContextId().value, 0x1df54819u);
    EXPECT_EQ(buffer.GetFilledSize(), kHeader.size() + 4);

    sink.failSends = false;
    buffer.addInt32(2);
    buffer.flush();
    ASSERT_EQ(sink.events.size(), 1u);
    Bytes expected = kHeader;
    expected.insert(expected.end(), {1, 0, 0, 0, 2, 0, 0, 0});
    EXPECT_EQ(sink.events[0].bytes, expected);
}

}  // namespace
