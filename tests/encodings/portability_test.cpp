// Portability functions: the locale's encoding, numeric address texts,
// case-insensitive comparison, bounded copies and the socket helpers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "postgres/mb/encoding.h"
#include "postgres/port/portability.h"

namespace {

TEST(LocaleEncoding, CodeSetTable) {
    ASSERT_EQ(pg_codeset_encoding_tbl_sz, 110u);
    struct Row {
        unsigned int index;
        const char* codeset;
        int encoding;
    };
    // Rows that pin the order: n-lines run through all names of one n first.
    const Row rows[] = {
        {0, "EUC-JP", 1},       {4, "CP20932", 1},     {21, "UTF-8", 6},      {24, "ISO-8859-1", 8},
        {27, "CP28591", 8},     {28, "ISO-8859-2", 9}, {40, "ISO-8859-9", 12}, {44, "ISO-8859-10", 13},
        {47, "ISO-8859-13", 14}, {57, "ISO-8859-16", 17}, {64, "CP866", 20},  {66, "CP1250", 29},
        {68, "ansi-1251", 23},  {73, "CP1256", 18},    {75, "CP1258", 19},    {76, "ISO-8859-5", 25},
        {91, "CP28598", 28},    {92, "SJIS", 35},      {98, "Big5-HKSCS", 36}, {106, "GB18030", 39},
        {108, "SJIS_2004", 41}, {109, "US-ASCII", 0},
    };
    for (const Row& row : rows) {
        EXPECT_STREQ(pg_codeset_encoding_tbl[row.index].codeset, row.codeset) << row.index;
        EXPECT_EQ(pg_codeset_encoding_tbl[row.index].encoding, row.encoding) << row.index;
    }
    // With a first-match search, a name that appeared twice would hide a row.
    for (unsigned int i = 0; i < pg_codeset_encoding_tbl_sz; ++i) {
        EXPECT_TRUE(PG_VALID_ENCODING(pg_codeset_encoding_tbl[i].encoding)) << i;
        for (unsigned int j = 0; j < i; ++j) {
            EXPECT_NE(pg_strcasecmp(pg_codeset_encoding_tbl[i].codeset, pg_codeset_encoding_tbl[j].codeset), 0)
                << pg_codeset_encoding_tbl[i].codeset;
        }
    }
}

TEST(LocaleEncoding, CodeSetNames) {
    struct Case {
        const char* codeset;
        int encoding;
    };
    const Case cases[] = {
        {"UTF-8", 6},   {"utf8", 6},     {"Utf-8", 6},      {"ISO-8859-1", 8}, {"iso8859-15", 16},
        {"CP28605", 16}, {"koi8-r", 22}, {"cp1251", 23},    {"5601", 3},       {"eucjp", 1},
        {"pck", 35},    {"big5hkscs", 36}, {"cp949", 38},   {"cp1361", 40},    {"sjis_2004", 41},
        {"us-ascii", 0}, {"GB2312", 2},  {"cns11643", 4},   {"iso885916", 17}, {"CP28598", 28},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(pg_encoding_from_codeset("xx_XX", c.codeset, true), c.encoding) << c.codeset;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.codeset;
    }
}

TEST(LocaleEncoding, UnknownCodeSetGivesMinusOneAndOneLine) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(pg_encoding_from_codeset("tt_RU", "TATAR-CYR", true), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "could not determine encoding for locale \"tt_RU\": codeset is \"TATAR-CYR\"\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(pg_encoding_from_codeset("C.ascii", "ANSI_X3.4-1968", false), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(LocaleEncoding, NamedLocales) {
    struct Case {
        const char* ctype;
        int encoding;
    };
    const Case cases[] = {
        {"C", 0}, {"c", 0}, {"POSIX", 0}, {"posix", 0}, {"C.UTF-8", 6}, {"C.utf8", 6}, {"no_SUCH.locale", -1},
    };
    const std::string before = setlocale(LC_CTYPE, nullptr);
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(pg_get_encoding_from_locale(c.ctype, true), c.encoding) << c.ctype;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.ctype;
    }
    // Asking about another locale leaves the process's own alone.
    EXPECT_EQ(setlocale(LC_CTYPE, nullptr), before);
}

TEST(LocaleEncoding, CurrentLocale) {
    const std::string before = setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_EQ(pg_get_encoding_from_locale(nullptr, true), 0);
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    EXPECT_EQ(pg_get_encoding_from_locale(nullptr, true), 6);
    EXPECT_STREQ(pg_encoding_to_char(pg_get_encoding_from_locale(nullptr, true)), "UTF8");
    setlocale(LC_CTYPE, before.c_str());
}

TEST(StringFunctions, CaseInsensitiveComparison) {
    struct Case {
        const char* s1;
        const char* s2;
        int expected;
    };
    const Case cases[] = {
        {"disable", "Disable", 0}, {"DISABLE", "disable", 0}, {"", "", 0},
        {"abc", "abd", -1},        {"abd", "ABC", 1},         {"a", "", 'a'},
        {"", "A", -'a'},           {"Z", "_", 'z' - '_'},     {"@", "`", '@' - '`'},
        {"\xff", "a", 0xFF - 'a'}, {"utf8", "UTF8x", -'x'},   {"\xc9", "\xe9", 0xC9 - 0xE9},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pg_strcasecmp(c.s1, c.s2), c.expected) << c.s1 << " / " << c.s2;
    }
}

TEST(StringFunctions, BoundedCopy) {
    struct Case {
        const char* src;
        size_t siz;
        const char* expected;
    };
    const Case cases[] = {
        {"1234567", 6, "12345"}, {"1234567", 8, "1234567"}, {"1234567", 7, "123456"},
        {"1234567", 1, ""},      {"", 4, ""},               {"ab", 100, "ab"},
    };
    for (const Case& c : cases) {
        char buffer[128];
        memset(buffer, 'X', sizeof(buffer));
        EXPECT_EQ(strlcpy(buffer, c.src, c.siz), strlen(c.src)) << c.src << " " << c.siz;
        EXPECT_STREQ(buffer, c.expected);
        // Nothing written past the given size.
        for (size_t i = c.siz; i < sizeof(buffer); ++i) {
            ASSERT_EQ(buffer[i], 'X') << c.src << " " << c.siz << " at " << i;
        }
    }
    char untouched[2] = {'X', 'X'};
    EXPECT_EQ(strlcpy(untouched, "hello", 0), 5u);
    EXPECT_EQ(untouched[0], 'X');
}

std::string NetText(int af, const unsigned char* address, int bits, size_t size = 1025) {
    char buffer[1025];
    memset(buffer, 'X', sizeof(buffer));
    const char* text = inet_net_ntop(af, address, bits, buffer, size);
    return text == nullptr ? "(null)" : text;
}

TEST(AddressText, KnownAddresses) {
    struct Case {
        int af;
        unsigned char address[16];
        int bits;
        const char* expected;
    };
    const Case cases[] = {
        {AF_INET, {127, 0, 0, 1}, 32, "127.0.0.1"},
        {AF_INET, {10, 0, 0, 0}, 8, "10.0.0.0/8"},
        {AF_INET, {255, 255, 255, 255}, 32, "255.255.255.255"},
        {AF_INET, {0, 0, 0, 0}, 0, "0.0.0.0/0"},
        {AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, "::1"},
        {AF_INET6, {}, 128, "::"},
        {AF_INET6, {0, 1}, 128, "1::"},
        {AF_INET6, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 64, "fe80::1/64"},
        {AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 2}, 128, "::ffff:192.168.1.2"},
        {AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 1, 2, 3}, 128, "::10.1.2.3"},
        {AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, 128, "2001:db8:0:1::1"},
        {AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}, 128, "2001:db8::1:0:0:1"},
        {AF_INET6, {0, 1, 0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7}, 128, "1:0:2:3:4:5:6:7"},
        {AF_INET6, {0xAB, 0xCD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEF, 0x01}, 128, "abcd::ef01"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NetText(c.af, c.address, c.bits), c.expected);
    }
}

TEST(AddressText, RefusalsSetNothingAndReturnNull) {
    const unsigned char v4[4] = {192, 168, 100, 200};
    EXPECT_EQ(NetText(AF_INET, v4, 32, 16), "192.168.100.200");
    EXPECT_EQ(NetText(AF_INET, v4, 32, 15), "(null)");
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(NetText(AF_INET, v4, 24, 19), "192.168.100.200/24");
    EXPECT_EQ(NetText(AF_INET, v4, 24, 18), "(null)");
    EXPECT_EQ(NetText(AF_INET, v4, 33), "(null)");
    EXPECT_EQ(NetText(AF_INET, v4, -1), "(null)");
    EXPECT_EQ(NetText(AF_UNIX, v4, 32), "(null)");
    EXPECT_EQ(errno, EAFNOSUPPORT);
    const unsigned char v6[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                  0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(NetText(AF_INET6, v6, 128, 40), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    EXPECT_EQ(NetText(AF_INET6, v6, 128, 39), "(null)");
    EXPECT_EQ(NetText(AF_INET6, v6, 129), "(null)");
}

// The C library's inet_ntop is the oracle for full-width addresses; zero
// groups are made common so that every compression case comes up.
TEST(AddressText, MatchesInetNtopOnRandomAddresses) {
    std::mt19937 random(20261206);
    for (int round = 0; round < 20000; ++round) {
        unsigned char v4[4];
        for (unsigned char& byte : v4) {
            byte = static_cast<unsigned char>(random());
        }
        char expected[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, v4, expected, sizeof(expected)), nullptr);
        ASSERT_EQ(NetText(AF_INET, v4, 32), expected);

        unsigned char v6[16];
        for (int group = 0; group < 8; ++group) {
            unsigned int value = random() % 2 == 0 ? 0 : random() % 4 == 0 ? random() % 16 : random() & 0xFFFF;
            v6[2 * group] = static_cast<unsigned char>(value >> 8);
            v6[2 * group + 1] = static_cast<unsigned char>(value);
        }
        if (round % 5 == 0) {
            // The IPv4-mapped and -compatible forms.
            memset(v6, 0, 10);
            v6[10] = v6[11] = round % 10 == 0 ? 0xFF : 0;
        }
        ASSERT_NE(inet_ntop(AF_INET6, v6, expected, sizeof(expected)), nullptr);
        ASSERT_EQ(NetText(AF_INET6, v6, 128), expected);
        ASSERT_EQ(NetText(AF_INET6, v6, round % 128), std::string(expected) + "/" + std::to_string(round % 128));
    }
}

TEST(Sockets, NonBlockingMode) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(pg_set_noblock(fds[0]));
    EXPECT_NE(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    char byte;
    EXPECT_EQ(read(fds[0], &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(fds[0]);
    close(fds[1]);
    EXPECT_FALSE(pg_set_noblock(-1));
}

TEST(Sockets, PeerCredentials) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    uid_t uid = 12345;
    gid_t gid = 12345;
    EXPECT_EQ(getpeereid(fds[0], &uid, &gid), 0);
    EXPECT_EQ(uid, geteuid());
    EXPECT_EQ(gid, getegid());
    close(fds[0]);
    close(fds[1]);

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    EXPECT_EQ(getpeereid(pipe_fds[0], &uid, &gid), -1);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_EQ(getpeereid(-1, &uid, &gid), -1);
}

}  // namespace
