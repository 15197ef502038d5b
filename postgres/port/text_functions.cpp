// Case-insensitive comparison and bounded copying of NUL-terminated texts.
#include <cctype>

#include "postgres/port/portability.h"

int pg_strcasecmp(const char* s1, const char* s2) {
    for (;;) {
        unsigned char ch1 = static_cast<unsigned char>(*s1++);
        unsigned char ch2 = static_cast<unsigned char>(*s2++);
        if (ch1 != ch2) {
            // ASCII is folded by hand so that a locale (Turkish dotless i) can
            // never change how option and encoding names compare.
            if (ch1 >= 'A' && ch1 <= 'Z') {
                ch1 += 'a' - 'A';
            } else if (ch1 >= 0x80 && isupper(ch1)) {
                ch1 = static_cast<unsigned char>(tolower(ch1));
            }
            if (ch2 >= 'A' && ch2 <= 'Z') {
                ch2 += 'a' - 'A';
            } else if (ch2 >= 0x80 && isupper(ch2)) {
                ch2 = static_cast<unsigned char>(tolower(ch2));
            }
            if (ch1 != ch2) {
                return static_cast<int>(ch1) - static_cast<int>(ch2);
            }
        }
        if (ch1 == 0) {
            return 0;
        }
    }
}

#ifdef KELVO_OWN_STRLCPY
size_t strlcpy(char* dst, const char* src, size_t siz) {
    const char* s = src;
    if (siz != 0) {
        size_t room = siz - 1;
        for (; room != 0 && *s != '\0'; --room) {
            *dst++ = *s++;
        }
        *dst = '\0';
    }
    while (*s != '\0') {
        ++s;
    }
    return static_cast<size_t>(s - src);
}
#endif
