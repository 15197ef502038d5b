// Passwords from the password file: matching, wildcards, escapes, the file's
// permissions and overlong lines.
#include "postgres/libpq/password_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "support/scoped_temp_directory.h"

namespace {

std::string Lookup(const char* host, const char* port, const char* db, const char* user, const std::string& path) {
    char* password = pqPasswordFromFile(host, port, db, user, path.c_str());
    std::string result = password != nullptr ? password : "(none)";
    free(password);
    return result;
}

TEST(PasswordFileTest, FirstMatchingLineGivesThePassword) {
    kelvotest::ScopedTempDirectory dir;
    const std::string path = dir.WriteFile("pgpass",
                                           "\n"
                                           "db.example:5432:sales:alice:first\n"
                                           "db.example:5432:sales:alice:second\n"
                                           "db.example:*:*:bob:wild\n"
                                           "*:*:*:carol:any\\:thing:ignored\n"
                                           "esc\\:host:5432:d\\\\b:dave:p\\\\w\n"
                                           "localhost:5432:local:erin:sock\r\n"
                                           "*:6000:*:\\*:star-user\n"
                                           "short:line\n"
                                           "h:5432:d:frank:\n");
    struct Case {
        const char* host;
        const char* port;
        const char* db;
        const char* user;
        const char* expected;
    };
    const Case cases[] = {
        {"db.example", "5432", "sales", "alice", "first"},
        {"db.example", "", "sales", "alice", "first"},  // empty port means 5432
        {"db.example", "5433", "sales", "alice", "(none)"},
        {"other", "1", "x", "carol", "any:thing"},  // password ends at an unescaped ':'
        {"esc:host", "5432", "d\\b", "dave", "p\\w"},
        {"", "5432", "local", "erin", "sock"},      // no host: localhost
        {"/tmp", "5432", "local", "erin", "sock"},  // default socket directory: localhost
        {"h", "6000", "d", "*", "star-user"},       // an escaped '*' is a literal star
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + c.port + ":" + c.db + ":" + c.user);
        EXPECT_EQ(Lookup(c.host, c.port, c.db, c.user, path), c.expected);
    }
}

TEST(PasswordFileTest, OverlongLineIsSkippedWholeNotMatchedByItsTail) {
    kelvotest::ScopedTempDirectory dir;
    // The tail past the reader's limit would itself be a matching line.
    const std::string tail = "h:5432:d:u:stolen";
    const std::string overlong = "x:1:y:z:" + std::string(319 - 8, 'p') + tail;
    const std::string longest = "h:5432:d:v:" + std::string(319 - 11, 'q');
    const std::string path = dir.WriteFile("pgpass", overlong + "\n" + longest + "\nh:5432:d:u:right\n");
    EXPECT_EQ(Lookup("h", "5432", "d", "u", path), "right");
    EXPECT_EQ(Lookup("h", "5432", "d", "v", path), std::string(319 - 11, 'q'));

    // Also when the overlong line is the last one and has no newline.
    const std::string last = dir.WriteFile("pgpass-last", "h:5432:d:w:ok\n" + std::string(400, 'p') + tail);
    EXPECT_EQ(Lookup("h", "5432", "d", "u", last), "(none)");
    EXPECT_EQ(Lookup("h", "5432", "d", "w", last), "ok");
}

TEST(PasswordFileTest, FilesOthersMayUseAreIgnoredWithAWarning) {
    kelvotest::ScopedTempDirectory dir;
    const std::string line = "h:5432:d:u:secret\n";
    struct Case {
        unsigned mode;
        const char* expected;
        bool warns;
    };
    const Case cases[] = {
        {0600, "secret", false},
        {0640, "(none)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const std::string path = dir.WriteFile("pgpass", line, c.mode);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Lookup("h", "5432", "d", "u", path), c.expected);
        std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_EQ(warning, c.warns ? "WARNING: The password file \"" + path +
                                         "\" has group or world access. The permissions should be u=rw (0600) or "
                                         "less.\n"
                                   : "");
    }

    testing::internal::CaptureStderr();
    EXPECT_EQ(Lookup("h", "5432", "d", "u", dir.Path()), "(none)");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: The password file \"" + dir.Path() + "\" is not a plain file.\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(Lookup("h", "5432", "d", "u", dir.Path() + "/missing"), "(none)");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
