// Small platform functions of the wire-protocol client: the encoding of the
// process's locale, the credentials of a Unix-domain peer, the text form of a
// numeric address, non-blocking sockets, case-insensitive comparison and
// bounded copying. Connection start-up, the message parser and the encoding
// code use them.
#pragma once

#include <arpa/inet.h>
#include <sys/types.h>

#include <cstddef>
#include <cstring>

// The encoding identifier of a locale's code set: ctype names the locale, null
// means the process's current character-type locale. "C" and "POSIX" are
// SQL_ASCII. A code set missing from the code-set table gives -1, and with
// write_message a line on standard error.
int pg_get_encoding_from_locale(const char* ctype, bool write_message);

// The code-set table behind pg_get_encoding_from_locale, in search order.
struct pg_codeset_encoding {
    const char* codeset;
    int encoding;
};
extern const pg_codeset_encoding pg_codeset_encoding_tbl[];
extern const unsigned int pg_codeset_encoding_tbl_sz;

// The identifier of a code-set name (compared without regard to case, first
// match in table order). For no match: -1, after writing, when write_message is
// set, that the code set of locale ctype is not known.
int pg_encoding_from_codeset(const char* ctype, const char* codeset, bool write_message);

// The user and group of the process at the other end of a Unix-domain socket.
// 0, or -1 with errno set.
int getpeereid(int sock, uid_t* uid, gid_t* gid);

// AF_INET or AF_INET6 address bytes at src as text in dst ("10.0.0.1",
// "::ffff:10.0.0.1", "fe80::1/64"); a prefix length below the full width of the
// family is appended. dst, or null (errno set) when the text does not fit,
// bits is out of range or the family is unknown. This replaces the C library's
// function of the same name, which knows network numbers only.
extern "C" char* inet_net_ntop(int af, const void* src, int bits, char* dst, size_t size) noexcept;

// Adds O_NONBLOCK to the descriptor; false when that failed.
bool pg_set_noblock(int sock);

// Compares two NUL-terminated texts with ASCII capitals (and, above 0x7F,
// whatever the C library calls upper case) folded to lower case.
int pg_strcasecmp(const char* s1, const char* s2);

// Copies at most siz - 1 bytes and terminates dst when siz is not 0; returns
// strlen(src), so a result of siz or more means the copy was cut. C libraries
// that have their own (glibc from 2.38) keep theirs.
#if !(defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 38)))
#define KELVO_OWN_STRLCPY 1
size_t strlcpy(char* dst, const char* src, size_t siz);
#endif
