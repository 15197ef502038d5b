// A library the fault tests preload into kelvod: it fails one system call on the database's files, the n-th of its
// kind, and counts them all.
//
//   KELVO_FAULT_DIR     only files below this directory count
//   KELVO_FAULT_CALL    write, pwrite, fsync, openat or ftruncate
//   KELVO_FAULT_AT      the call to fail, from 1 (0: none, only count)
//   KELVO_FAULT_COUNTS  where to write, at exit, how many calls of each kind came
//
// Each kind covers its variants (pwrite64, fdatasync, open...), which the engine may use instead.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum Kind { kWrite, kPwrite, kFsync, kOpenat, kFtruncate, kKinds };
const char* const kNames[kKinds] = {"write", "pwrite", "fsync", "openat", "ftruncate"};
std::atomic<long> g_counts[kKinds];

const char* Dir() {
    static const char* dir = std::getenv("KELVO_FAULT_DIR");
    return dir;
}

bool Below(const char* path) {
    const char* dir = Dir();
    return dir != nullptr && *dir != '\0' && path != nullptr && std::strncmp(path, dir, std::strlen(dir)) == 0;
}

bool FdBelow(int fd) {
    if (Dir() == nullptr)
        return false;
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    return Below(path);
}

// Counts a call on the database's files; true when it is the one to fail.
bool Fails(Kind kind) {
    const long n = ++g_counts[kind];
    static const char* call = std::getenv("KELVO_FAULT_CALL");
    static const long at = std::getenv("KELVO_FAULT_AT") ? std::atol(std::getenv("KELVO_FAULT_AT")) : 0;
    if (call == nullptr || std::strcmp(call, kNames[kind]) != 0 || n != at)
        return false;
    errno = kind == kOpenat ? EMFILE : kind == kFsync ? EIO : ENOSPC;
    return true;
}

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

__attribute__((destructor)) void WriteCounts() {
    const char* where = std::getenv("KELVO_FAULT_COUNTS");
    if (where == nullptr)
        return;
    std::string text;
    for (int k = 0; k < kKinds; ++k)
        text += std::string(kNames[k]) + " " + std::to_string(g_counts[k].load()) + "\n";
    static auto real = Next<ssize_t (*)(int, const void*, size_t)>("write");
    const int fd = ::creat(where, 0600);
    if (fd >= 0) {
        (void)real(fd, text.data(), text.size());
        ::close(fd);
    }
}

mode_t ModeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

// Each wrapper fails its call when it is the one chosen, else passes it on.
#define KELVO_FD_CALL(Ret, name, kind, Params, Args)        \
    Ret name Params {                                       \
        static auto real = Next<Ret(*) Params>(#name);      \
        return FdBelow(fd) && Fails(kind) ? -1 : real Args; \
    }
#define KELVO_OPEN_CALL(name, Params, Args)                    \
    int name Params {                                          \
        static auto real = Next<int(*) Params>(#name);         \
        va_list args;                                          \
        va_start(args, flags);                                 \
        const mode_t mode = ModeOf(flags, args);               \
        va_end(args);                                          \
        return Below(path) && Fails(kOpenat) ? -1 : real Args; \
    }

extern "C" {

KELVO_FD_CALL(ssize_t, write, kWrite, (int fd, const void* buf, size_t n), (fd, buf, n))
KELVO_FD_CALL(ssize_t, pwrite, kPwrite, (int fd, const void* buf, size_t n, off_t offset), (fd, buf, n, offset))
KELVO_FD_CALL(ssize_t, pwrite64, kPwrite, (int fd, const void* buf, size_t n, off64_t offset), (fd, buf, n, offset))
KELVO_FD_CALL(int, fsync, kFsync, (int fd), (fd))
KELVO_FD_CALL(int, fdatasync, kFsync, (int fd), (fd))
KELVO_FD_CALL(int, ftruncate, kFtruncate, (int fd, off_t length), (fd, length))
KELVO_FD_CALL(int, ftruncate64, kFtruncate, (int fd, off64_t length), (fd, length))
KELVO_OPEN_CALL(openat, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode))
KELVO_OPEN_CALL(openat64, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode))
KELVO_OPEN_CALL(open, (const char* path, int flags, ...), (path, flags, mode))
KELVO_OPEN_CALL(open64, (const char* path, int flags, ...), (path, flags, mode))

}  // extern "C"
