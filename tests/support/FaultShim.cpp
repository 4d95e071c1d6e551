// Real faults under a real program, for tests: preloaded into lento-export (LD_PRELOAD), it
// wraps the C library's read() and pthread_create() and, as its environment says, makes
//   LENTO_FAULT=eio      the reads of LENTO_FAULT_FILE fail with EIO from byte LENTO_FAULT_AT on
//                        (a medium that went away);
//   LENTO_FAULT=shrink   LENTO_FAULT_FILE cut to LENTO_FAULT_KEEP bytes by the first read that
//                        reaches byte LENTO_FAULT_AT (another program truncating it);
//   LENTO_FAULT=threads  every thread started with std::thread after the first LENTO_FAULT_AT
//                        refused with EAGAIN (the system out of threads).
// Without LENTO_FAULT it changes nothing. It is built without sanitizers, so that it can be
// preloaded ahead of their runtime.

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum class Fault { None, Eio, Shrink, Threads };

struct Settings {
    Fault fault = Fault::None;
    const char* file = nullptr;
    long long at = 0;
    long long keep = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

const Settings& settings() {
    static const Settings read = [] {
        Settings s;
        const char* fault = std::getenv("LENTO_FAULT");
        if (fault == nullptr) {
            return s;
        }
        s.fault = std::strcmp(fault, "eio") == 0       ? Fault::Eio
                  : std::strcmp(fault, "shrink") == 0  ? Fault::Shrink
                  : std::strcmp(fault, "threads") == 0 ? Fault::Threads
                                                       : Fault::None;
        s.file = std::getenv("LENTO_FAULT_FILE");
        const char* at = std::getenv("LENTO_FAULT_AT");
        const char* keep = std::getenv("LENTO_FAULT_KEEP");
        s.at = at != nullptr ? std::atoll(at) : 0;
        s.keep = keep != nullptr ? std::atoll(keep) : 0;
        struct stat file {};
        if (s.file != nullptr && stat(s.file, &file) == 0) {
            s.device = file.st_dev;
            s.inode = file.st_ino;
        } else if (s.fault != Fault::Threads) {
            s.fault = Fault::None;
        }
        return s;
    }();
    return read;
}

bool isFaultedFile(int fd, const Settings& s) {
    struct stat file {};
    return fstat(fd, &file) == 0 && file.st_dev == s.device && file.st_ino == s.inode;
}

std::atomic<bool> g_shrunk{false};
std::atomic<long long> g_threadsStarted{0};

} // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    using Read = ssize_t (*)(int, void*, size_t);
    static const Read real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
    const Settings& s = settings();
    if ((s.fault == Fault::Eio || s.fault == Fault::Shrink) && isFaultedFile(fd, s)) {
        const off_t offset = lseek(fd, 0, SEEK_CUR);
        const bool reaches = offset >= 0 && offset + static_cast<off_t>(size) > s.at;
        if (s.fault == Fault::Eio && reaches) {
            if (offset >= s.at) {
                errno = EIO;
                return -1;
            }
            // The bytes before the fault still come.
            size = static_cast<size_t>(s.at - offset);
        } else if (s.fault == Fault::Shrink && reaches && !g_shrunk.exchange(true)) {
            if (truncate(s.file, s.keep) != 0) {
                std::abort();
            }
        }
    }
    return real(fd, buffer, size);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (settings().fault == Fault::Threads) {
        // std::thread starts its threads through a routine of the C++ library; the codecs'
        // own threads start elsewhere and are left alone.
        Dl_info where{};
        const bool standard = dladdr(reinterpret_cast<void*>(start), &where) != 0 &&
                              where.dli_fname != nullptr &&
                              std::strstr(where.dli_fname, "libstdc++") != nullptr;
        if (standard && g_threadsStarted.fetch_add(1) >= settings().at) {
            return EAGAIN;
        }
    }
    return real(thread, attributes, start, argument);
}
