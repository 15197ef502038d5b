// Tagged error texts: escaping, reading tags, and errors made from them.
#include "error/tagged_text.h"

#include <gtest/gtest.h>

#include "error/error.h"

namespace {

using kelvoapi::ContextId;

TEST(TaggedText, ValuesRoundTripAndOnlyTheFirstCompleteBlockIsRead) {
    for (const char* value : {"", "&amp;", "</primary>", "<<&&>>"}) {
        std::string text;
        kelvoapi::AppendTaggedValue(text, "primary", value);
        kelvoapi::AppendTaggedValue(text, "hint", "h");
        EXPECT_EQ(text.find('<', 9), text.find("</primary>")) << value;
        EXPECT_EQ(kelvoapi::ReadTagValue(text, "primary"), value);
        EXPECT_EQ(kelvoapi::ReadTagValue(text, "hint"), "h");
    }
    const std::pair<const char*, const char*> cases[] = {
        {"<hint>first</hint><hint>second</hint>", "first"}, {"</hint><hint>x</hint>", "x"},
        {"<hint>unterminated", ""}, {"<hint>a&amp;b&lt;c&gt;</hint>", "a&b<c&gt;"}};
    for (const auto& [text, value] : cases) EXPECT_EQ(kelvoapi::ReadTagValue(text, "hint"), value) << text;
}

struct Expected {
    const char* sqlstate;
    const char* message;
    const char* detail;
    const char* hint;
    int severity;
};

void ExpectError(const std::string& text, const Expected& e) {
    SCOPED_TRACE(text);
    const kelvoapi::Error error = kelvoapi::MakeErrorFromTaggedString(text, ContextId{0x77});
    EXPECT_EQ(error.GetCategory(), KELVO_ERROR_CATEGORY_SQLSTATE);
    EXPECT_EQ(error.GetSqlstate(), e.sqlstate);
    EXPECT_EQ(error.GetMessage(), e.message);
    EXPECT_EQ(error.GetDetail(), e.detail);
    EXPECT_EQ(error.GetHint(), e.hint);
    EXPECT_EQ(error.GetSeverity(), e.severity);
    EXPECT_EQ(error.GetContextId().value, 0x77u);
}

TEST(TaggedText, MakesErrorsFromTheFields) {
    const struct {
        const char* text;
        Expected expected;
    } cases[] = {
        {"connection refused", {"HY000", "connection refused", "", "", 0}},
        {"<sqlstate>42P01</sqlstate><primary>No table.</primary>", {"42P01", "No table.", "", "", 0}},
        {"<primary>Failed.</primary><detail>disk</detail>", {"HY000", "Failed: disk", "disk", "", 0}},
        {"<primary>Failed</primary><detail>disk.</detail>", {"HY000", "Failed: disk.", "disk.", "", 0}},
        {"<detail>only detail</detail>", {"HY000", ": only detail", "only detail", "", 0}},
        {"<sqlstate>42p01</sqlstate><primary>m</primary>", {"42001", "m", "", "", 0}},
        {"<sqlstate>4260</sqlstate><primary>m</primary>", {"08P01", "m", "", "", 0}},
        {"<sqlstate>XX000</sqlstate><primary>m</primary><hint>try again</hint><severity>FATAL</severity>",
         {"XX000", "m", "", "try again", 1}},
        {"<primary>m</primary><severity>fatal</severity>", {"HY000", "m", "", "", 0}},
        {"<severity>FATAL</severity>", {"HY000", "<severity>FATAL</severity>", "", "", 1}},
    };
    for (const auto& c : cases) ExpectError(c.text, c.expected);
}

TEST(TaggedText, FieldsThatLookLikeTagsCannotForgeOthers) {
    // What the wire-protocol client builds for a server error whose texts
    // quote an object named like a tag.
    std::string text;
    kelvoapi::AppendTaggedValue(text, "severity", "ERROR");
    kelvoapi::AppendTaggedValue(text, "sqlstate", "42P01");
    kelvoapi::AppendTaggedValue(text, "primary", "relation \"x</primary><hint>evil</hint>\" does not exist");
    kelvoapi::AppendTaggedValue(text, "detail", "<severity>PANIC</severity> & more");
    ExpectError(text, {"42P01",
                       "relation \"x</primary><hint>evil</hint>\" does not exist: <severity>PANIC</severity> & more",
                       "<severity>PANIC</severity> & more", "", 0});
}

}  // namespace
