// Tagged error texts: escaping, reading tags, and errors made from them.
#include "error/tagged_text.h"

#include <gtest/gtest.h>

#include "error/error.h"

namespace {

using kelvoapi::ContextId;

// A value that looks like tags (a server error quoting an object so named)
// cannot end its own field or forge another.
TEST(TaggedText, ValuesRoundTripAndOnlyTheFirstCompleteBlockIsRead) {
    for (const char* value : {"", "&amp;", "x</primary><hint>evil</hint>", "<<&&>>"}) {
        std::string text;
        kelvoapi::AppendTaggedValue(text, "primary", value);
        kelvoapi::AppendTaggedValue(text, "hint", "h");
        EXPECT_EQ(text.find('<', 9), text.find("</primary>")) << value;
        EXPECT_EQ(kelvoapi::ReadTagValue(text, "primary"), value);
        EXPECT_EQ(kelvoapi::ReadTagValue(text, "hint"), "h");
    }
    const std::pair<const char*, const char*> cases[] = {{"<hint>first</hint><hint>second</hint>", "first"},
                                                         {"<hint>unterminated", ""},
                                                         {"<hint>a&amp;b&lt;c&gt;</hint>", "a&b<c&gt;"}};
    for (const auto& [text, value] : cases)
        EXPECT_EQ(kelvoapi::ReadTagValue(text, "hint"), value) << text;
}

TEST(TaggedText, MakesErrorsFromTheFields) {
    const struct {
        const char *text, *sqlstate, *message, *detail, *hint;
        int severity;
    } cases[] = {
        {"<primary>Failed.</primary><detail>disk</detail>", "HY000", "Failed: disk", "disk", "", 0},
        {"<primary>Failed</primary><detail>disk.</detail>", "HY000", "Failed: disk.", "disk.", "", 0},
        {"<detail>only detail</detail>", "HY000", ": only detail", "only detail", "", 0},
        {"<sqlstate>4260</sqlstate><primary>m</primary>", "08P01", "m", "", "", 0},
        {"<sqlstate>XX000</sqlstate><primary>m</primary><hint>try again</hint><severity>FATAL</severity>", "XX000", "m",
         "", "try again", 1},
        {"<primary>m</primary><severity>fatal</severity>", "HY000", "m", "", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const kelvoapi::Error error = kelvoapi::MakeErrorFromTaggedString(c.text, ContextId{0x77});
        EXPECT_EQ(error.GetCategory(), KELVO_ERROR_CATEGORY_SQLSTATE);
        EXPECT_EQ(error.GetSqlstate(), c.sqlstate);
        EXPECT_EQ(error.GetMessage(), c.message);
        EXPECT_EQ(error.GetDetail(), c.detail);
        EXPECT_EQ(error.GetHint(), c.hint);
        EXPECT_EQ(error.GetSeverity(), c.severity);
        EXPECT_EQ(error.GetContextId().value, 0x77u);
    }
}

// The client's own texts: every formatted value escaped, fields in order.
TEST(TaggedText, BuilderEscapesEveryFormattedValue) {
    const kelvoapi::TaggedText built = kelvoapi::TaggedText()
                                           .Sqlstate("08001")
                                           .Primary("Could not reach \"%s\"", "h</primary><sqlstate>00000</sqlstate>")
                                           .Detail("%s & %d", "a<b", 7)
                                           .Hint("%s", "");
    EXPECT_STREQ(built.c_str(),
                 "<sqlstate>08001</sqlstate><primary>Could not reach \"h&lt;/primary>&lt;sqlstate>00000"
                 "&lt;/sqlstate>\"</primary><detail>a&lt;b &amp; 7</detail><hint></hint>");
    const kelvoapi::Error error = kelvoapi::MakeErrorFromTaggedString(built.c_str(), ContextId{0x77});
    EXPECT_EQ(error.GetSqlstate(), "08001");
    EXPECT_EQ(error.GetMessage(), "Could not reach \"h</primary><sqlstate>00000</sqlstate>\": a<b & 7");
}

}  // namespace
