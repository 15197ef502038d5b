// Portability functions: the locale's encoding and numeric address texts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <locale.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <utility>

#include "postgres/port/portability.h"

namespace {

TEST(LocaleEncoding, CodeSetsAndLocales) {
    const std::pair<const char*, int> codesets[] = {{"utf8", 6}, {"Utf-8", 6},   {"CP28605", 16},
                                                    {"5601", 3}, {"cp1361", 40}, {"us-ascii", 0}};
    for (const auto& [codeset, encoding] : codesets) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(pg_encoding_from_codeset("xx_XX", codeset, true), encoding) << codeset;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << codeset;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(pg_encoding_from_codeset("tt_RU", "TATAR-CYR", true), -1);
    EXPECT_EQ(pg_encoding_from_codeset("C.ascii", "ANSI_X3.4-1968", false), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "could not determine encoding for locale \"tt_RU\": codeset is \"TATAR-CYR\"\n");

    const std::string before = setlocale(LC_CTYPE, nullptr);
    const std::pair<const char*, int> locales[] = {
        {"c", 0}, {"POSIX", 0}, {"C.UTF-8", 6}, {"C.utf8", 6}, {"no_SUCH.locale", -1}};
    for (const auto& [ctype, encoding] : locales)
        EXPECT_EQ(pg_get_encoding_from_locale(ctype, true), encoding) << ctype;
    // Asking about another locale leaves the process's own alone.
    EXPECT_EQ(setlocale(LC_CTYPE, nullptr), before);
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    EXPECT_EQ(pg_get_encoding_from_locale(nullptr, true), 6);
    setlocale(LC_CTYPE, before.c_str());
}

std::string NetText(int af, const unsigned char* address, int bits, size_t size = 1025) {
    char buffer[1025];
    const char* text = inet_net_ntop(af, address, bits, buffer, size);
    return text == nullptr ? "(null)" : text;
}

TEST(AddressText, PrefixesRefusalsAndTheInetNtopOracle) {
    const unsigned char v4[4] = {192, 168, 100, 200};
    const unsigned char v6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    EXPECT_EQ(NetText(AF_INET, v4, 24, 19), "192.168.100.200/24");
    EXPECT_EQ(NetText(AF_INET6, v6, 64), "fe80::ffff/64");
    EXPECT_EQ(NetText(AF_INET, v4, 32, 15), "(null)");
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(NetText(AF_INET, v4, 24, 18), "(null)");
    EXPECT_EQ(NetText(AF_INET6, v6, 128, 10), "(null)");
    EXPECT_EQ(NetText(AF_INET, v4, 33), "(null)");
    EXPECT_EQ(NetText(AF_INET, v4, -1), "(null)");
    EXPECT_EQ(NetText(AF_INET6, v6, 129), "(null)");
    EXPECT_EQ(NetText(AF_UNIX, v4, 32), "(null)");
    EXPECT_EQ(errno, EAFNOSUPPORT);

    // The C library's inet_ntop is the oracle for full-width addresses; zero
    // groups are made common so that every compression case comes up.
    std::mt19937 random(20261206);
    for (int round = 0; round < 20000; ++round) {
        unsigned char v4[4];
        for (unsigned char& byte : v4)
            byte = static_cast<unsigned char>(random());
        char expected[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, v4, expected, sizeof(expected)), nullptr);
        ASSERT_EQ(NetText(AF_INET, v4, 32), expected);

        unsigned char v6[16];
        for (int group = 0; group < 8; ++group) {
            unsigned int value = random() % 2 == 0 ? 0 : random() % 4 == 0 ? random() % 16 : random() & 0xFFFF;
            v6[2 * group] = static_cast<unsigned char>(value >> 8);
            v6[2 * group + 1] = static_cast<unsigned char>(value);
        }
        if (round % 5 == 0) {  // the IPv4-mapped and -compatible forms
            memset(v6, 0, 10);
            v6[10] = v6[11] = round % 10 == 0 ? 0xFF : 0;
        }
        ASSERT_NE(inet_ntop(AF_INET6, v6, expected, sizeof(expected)), nullptr);
        ASSERT_EQ(NetText(AF_INET6, v6, 128), expected);
        ASSERT_EQ(NetText(AF_INET6, v6, round % 128), std::string(expected) + "/" + std::to_string(round % 128));
    }
}

}  // namespace
