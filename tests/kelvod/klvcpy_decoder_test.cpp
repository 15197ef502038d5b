// The KLVCPY decoder without a network: the same stream fed whole, a byte at
// a time and in odd pieces gives the same rows, chunk after chunk, whether the
// sink keeps each chunk (a stream's batch) or the decoder reuses it (a table).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "kelvod/klvcpy_decoder.h"
#include "support/klvcpy_rows.h"

using kelvod::CopyColumn;
using kelvod::KlvcpyDecoder;
using kelvotest::KlvcpyRows;

namespace {

struct DecodedRow {
    std::optional<int32_t> id;
    std::string text;
    std::optional<int32_t> cents;  // DECIMAL(9,2) is stored in 32 bits
    bool operator==(const DecodedRow& o) const { return id == o.id && text == o.text && cents == o.cents; }
};

std::vector<CopyColumn> Columns() {
    CopyColumn id{"id", DUCKDB_TYPE_INTEGER, 0, 0, true};
    CopyColumn text{"text", DUCKDB_TYPE_VARCHAR, 0, 0, false};
    CopyColumn cents{"cents", DUCKDB_TYPE_DECIMAL, 9, 2, true};
    return {id, text, cents};
}

void ReadChunk(duckdb_data_chunk chunk, std::vector<DecodedRow>& out) {
    idx_t n = duckdb_data_chunk_get_size(chunk);
    duckdb_vector ids = duckdb_data_chunk_get_vector(chunk, 0), texts = duckdb_data_chunk_get_vector(chunk, 1),
                  cents = duckdb_data_chunk_get_vector(chunk, 2);
    for (idx_t r = 0; r < n; ++r) {
        DecodedRow row;
        uint64_t* v0 = duckdb_vector_get_validity(ids);
        if (!v0 || duckdb_validity_row_is_valid(v0, r)) row.id = static_cast<int32_t*>(duckdb_vector_get_data(ids))[r];
        auto* s = static_cast<duckdb_string_t*>(duckdb_vector_get_data(texts)) + r;
        row.text.assign(duckdb_string_t_data(s), duckdb_string_t_length(*s));
        uint64_t* v2 = duckdb_vector_get_validity(cents);
        if (!v2 || duckdb_validity_row_is_valid(v2, r)) row.cents = static_cast<int32_t*>(duckdb_vector_get_data(cents))[r];
        out.push_back(row);
    }
}

}  // namespace

TEST(KelvodKlvcpyDecoder, AnySplitAndEitherSinkGiveTheSameRows) {
    // The first chunk's ids are all NULL and the second's all set: a reused
    // chunk must not carry the first one's NULLs over.
    const int count = 2 * 2048 + 100;
    KlvcpyRows k;
    k.Header();
    std::vector<DecodedRow> expected;
    for (int i = 0; i < count; ++i) {
        DecodedRow row{i < 2048 ? std::nullopt : std::optional<int32_t>(i), std::string(static_cast<size_t>(i % 30), 'a' + i % 26),
                       i % 3 ? std::optional<int32_t>(i * 100 + 1) : std::nullopt};
        if (row.id) k.Int32(*row.id);
        else k.Null();
        k.Bytes(row.text, false);
        if (row.cents) k.Int64(*row.cents);
        else k.Null();
        expected.push_back(row);
    }
    const std::string data = k.Data();
    for (size_t piece : {data.size(), size_t{1}, size_t{13}, size_t{4096}}) {
        for (bool keep : {false, true}) {
            std::vector<DecodedRow> rows;
            std::vector<duckdb_data_chunk> kept;
            {
                KlvcpyDecoder decoder(Columns(), [&](duckdb_data_chunk& chunk) {
                    ReadChunk(chunk, rows);
                    if (keep) {
                        kept.push_back(chunk);
                        chunk = nullptr;
                    }
                });
                for (size_t at = 0; at < data.size(); at += piece)
                    decoder.Feed(data.data() + at, std::min(piece, data.size() - at));
                decoder.Finish();
                EXPECT_EQ(decoder.Rows(), static_cast<uint64_t>(count));
            }
            // Kept chunks outlive the decoder and still hold their rows.
            if (keep) {
                std::vector<DecodedRow> again;
                for (auto& c : kept) {
                    ReadChunk(c, again);
                    duckdb_destroy_data_chunk(&c);
                }
                EXPECT_TRUE(again == expected) << "piece " << piece;
            }
            EXPECT_TRUE(rows == expected) << "piece " << piece << (keep ? ", kept" : ", reused");
        }
    }
}
