// MD5 (RFC 1321) and the password digest of MD5 authentication: "md5"
// followed by the 32 lower-case hexadecimal digits of MD5(password + salt).
#pragma once

#include <cstddef>
#include <cstdint>

// "md5", 32 hexadecimal digits and the terminating zero.
constexpr std::size_t MD5_PASSWD_LEN = 35;

// Writes the 16-byte digest of buff.
void pg_md5_binary(const void* buff, std::size_t len, std::uint8_t* digest);

// Writes the 32 hexadecimal digits of the digest of buff and a terminating
// zero into hexsum (33 bytes). Returns true.
bool pg_md5_hash(const void* buff, std::size_t len, char* hexsum);

// Writes "md5" and the hexadecimal digest of passwd followed by the salt's
// bytes into buf (MD5_PASSWD_LEN + 1 bytes). Returns false when the
// concatenation cannot be allocated.
bool pg_md5_encrypt(const char* passwd, const char* salt, std::size_t salt_len, char* buf);
