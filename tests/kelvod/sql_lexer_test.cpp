// Statements and the lexical forms the library writes: E'...' literals and
// U&"..." identifiers reach the engine as plain quoted text.
#include <gtest/gtest.h>

#include "kelvod/sql/sql_lexer.h"

using namespace kelvod;

TEST(KelvodSqlLexer, SplitsStatementsOutsideQuotesAndComments) {
    auto s = SplitStatements("SELECT ';' AS a; -- x;y\nSELECT \"a;b\" /* ; */ FROM t;; SELECT $$;$$");
    std::vector<std::string> texts;
    for (const auto& st : s)
        if (!st.IsEmpty())
            texts.push_back(st.ToEngineText());
    EXPECT_EQ(texts,
              (std::vector<std::string>{"SELECT ';' AS a", " -- x;y\nSELECT \"a;b\" /* ; */ FROM t", " SELECT $$;$$"}));
    // A comment ends at a carriage return too, as the engine ends it: what follows is read.
    EXPECT_EQ(SplitStatements("SELECT 1 --c\r; SELECT 2").size(), 2u);
    // Block comments nest; a dollar quote ends only at its own tag; $1 is a parameter, :: one symbol.
    auto forms = SplitStatements("/* a /* ; */ ; */ $t$ $$ ; $t$ $1::int");
    ASSERT_EQ(forms.size(), 1u);
    std::vector<std::string> spelled;
    for (const Token* t : forms[0].Significant())
        spelled.push_back(t->text);
    EXPECT_EQ(spelled, (std::vector<std::string>{"$t$ $$ ; $t$", "$1", "::", "int"}));
}

TEST(KelvodSqlLexer, DecodesEscapedLiteralsAndUnicodeIdentifiers) {
    struct Case {
        const char* sql;
        const char* engine;
    } cases[] = {
        {"SELECT E'\\b\\f\\n\\r\\t\\q'", "SELECT '\b\f\n\r\tq'"},
        {"SELECT E'\\013x'", "SELECT '\013x'"},
        {"SELECT E'\\x41\\u00e9'", "SELECT 'A\xC3\xA9'"},
        {"SELECT 'a\\b'", "SELECT 'a\\b'"},
        {"SELECT * FROM U&\"x\\\\y\"\"z\"", "SELECT * FROM \"x\\y\"\"z\""},
        {"SELECT * FROM U&\"d!0061t!+000061\" UESCAPE '!'", "SELECT * FROM \"data\""},
    };
    for (const auto& c : cases) {
        auto s = SplitStatements(c.sql);
        ASSERT_EQ(s.size(), 1u) << c.sql;
        EXPECT_EQ(s[0].ToEngineText(), c.engine) << c.sql;
    }
}

TEST(KelvodSqlLexer, RefusesBrokenLexicalForms) {
    struct Case {
        const char* sql;
        const char* sqlstate;
    } cases[] = {
        {"SELECT 'open", "42601"},          {"SELECT \"open", "42601"},
        {"SELECT /* open", "42601"},        {"SELECT \"\"", "42601"},
        {"SELECT U&\"\"", "42601"},         {"SELECT E'\\000'", "22021"},
        {"SELECT E'\\x00'", "22021"},       {"SELECT U&\"\\0000\"", "22021"},
        {"SELECT U&\"\\12\"", "22025"},     {"SELECT E'\\u12'", "22025"},
        {"SELECT $a$ open", "42601"},       {"SELECT 'caf\xC3'", "22021"},
        {"SELECT '\xED\xA0\x80'", "22021"}, {"SELECT '\xF4\x90\x80\x80'", "22021"},
        {"SELECT E'\\xff'", "22021"},
    };
    for (const auto& c : cases) {
        try {
            SplitStatements(c.sql);
            ADD_FAILURE() << c.sql << ": accepted";
        } catch (const SqlError& e) {
            EXPECT_EQ(e.sqlstate, c.sqlstate) << c.sql;
        }
    }
}
