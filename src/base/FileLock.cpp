#include "base/FileLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lento {

namespace {

// Open-file-description locks: owned by the open file, not by the process, so that two in one
// process conflict and closing another descriptor of the file keeps them.
struct flock wholeFile(short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

bool sameFile(int fd, const QByteArray& path) {
    struct stat opened = {}, named = {};
    return fstat(fd, &opened) == 0 && stat(path.constData(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

} // namespace

std::unique_ptr<FileLock> FileLock::take(const QByteArray& path, std::string& error) {
    error.clear();
    // A holder removes the file before it lets go: the lock taken on a file no longer at `path`
    // is worth nothing, and the one now there is tried instead.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int fd = open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = std::strerror(errno);
            return nullptr;
        }
        struct flock lock = wholeFile(F_WRLCK);
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            const int reason = errno;
            close(fd);
            if (reason != EAGAIN && reason != EACCES) {
                error = std::strerror(reason);
            }
            return nullptr;
        }
        if (sameFile(fd, path)) {
            return std::unique_ptr<FileLock>(new FileLock(path, fd));
        }
        close(fd);
    }
    error = "the lock file keeps being replaced";
    return nullptr;
}

bool FileLock::isHeld(const QByteArray& path) {
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct flock lock = wholeFile(F_WRLCK);
    const bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    return held;
}

FileLock::~FileLock() {
    close(m_fd);
}

void FileLock::removeFile() {
    unlink(m_path.constData());
}

} // namespace lento
