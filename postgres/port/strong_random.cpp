// Random bytes from the kernel's random device.
#include "postgres/port/strong_random.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

bool pg_strong_random(void* buf, std::size_t len) {
    int fd;
    do {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t got = read(fd, p, len);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            close(fd);
            return false;
        }
        p += got;
        len -= static_cast<std::size_t>(got);
    }
    close(fd);
    return true;
}
