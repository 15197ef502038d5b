// Random names drawn from the operating system.
//
// The names become database files in the shared temporary directory, where
// another user could create a guessed name first; so every name is drawn from
// the kernel's random source instead of a generator whose whole future follows
// from one 32-bit seed.
#include "instance/random_string.h"

#include <sys/random.h>

#include <cerrno>
#include <string_view>
#include <system_error>

namespace kelvoapi {
namespace {

constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
// The largest multiple of the alphabet's size that a byte can hold; bytes at
// or above it are drawn again so that every character is equally likely.
constexpr unsigned kUnbiasedLimit = 256 / kAlphabet.size() * kAlphabet.size();

void FillRandom(unsigned char* buffer, size_t size) {
    while (size > 0) {
        const ssize_t got = getrandom(buffer, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::system_category(), "getrandom");
        }
        buffer += got;
        size -= static_cast<size_t>(got);
    }
}

}  // namespace

std::string GenerateRandomPrintableString(size_t length) {
    std::string out;
    out.reserve(length);
    unsigned char bytes[64];
    while (out.size() < length) {
        FillRandom(bytes, sizeof bytes);
        for (unsigned char byte : bytes) {
            if (byte >= kUnbiasedLimit)
                continue;
            out.push_back(kAlphabet[byte % kAlphabet.size()]);
            if (out.size() == length)
                break;
        }
    }
    return out;
}

}  // namespace kelvoapi
