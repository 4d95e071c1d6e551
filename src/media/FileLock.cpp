#include "media/FileLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lento {

namespace {

// The whole file, as a write (exclusive) or read (shared) lock of its open.
struct flock wholeFile(short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = 0; // open file description locks require it
    return lock;
}

// An open for looking at a file only: no links followed at the last step, and a FIFO opened
// under the name does not block.
class LookingOpen {
public:
    explicit LookingOpen(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)) {}
    ~LookingOpen() {
        if (m_fd >= 0) {
            (void)::close(m_fd); // opened for reading: nothing to lose
        }
    }
    LookingOpen(const LookingOpen&) = delete;
    LookingOpen& operator=(const LookingOpen&) = delete;

    int fd() const { return m_fd; }
    bool isRegularFile() const {
        struct stat status = {};
        return m_fd >= 0 && fstat(m_fd, &status) == 0 && S_ISREG(status.st_mode);
    }

private:
    int m_fd;
};

} // namespace

FileLockResult markFileInUse(int fd) {
    struct flock lock = wholeFile(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) {
        return FileLockResult::Taken;
    }
    return errno == EAGAIN || errno == EACCES ? FileLockResult::InUse : FileLockResult::Failed;
}

bool isFileInUse(const std::string& path) {
    const LookingOpen file(path);
    if (file.fd() < 0) {
        return errno != ENOENT;
    }
    // Asks without taking: a shared lock would be refused only by a holder's exclusive one.
    struct flock lock = wholeFile(F_RDLCK);
    if (fcntl(file.fd(), F_OFD_GETLK, &lock) != 0) {
        return true;
    }
    return lock.l_type != F_UNLCK;
}

bool removeFileNotInUse(const std::string& path) {
    const LookingOpen file(path);
    if (!file.isRegularFile()) {
        return false;
    }
    // Held shared while the name is removed: a writer's exclusive mark is refused meanwhile.
    struct flock lock = wholeFile(F_RDLCK);
    if (fcntl(file.fd(), F_OFD_SETLK, &lock) != 0) {
        return false; // in use, or nobody can tell
    }
    // The name may have been taken by a new file since it was opened.
    return isStillNamed(file.fd(), path) && unlink(path.c_str()) == 0;
}

bool isStillNamed(int fd, const std::string& path) {
    struct stat open = {};
    struct stat named = {};
    return fstat(fd, &open) == 0 && lstat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

std::unique_ptr<FileLock> FileLock::take(const std::string& path, std::string& error) {
    error.clear();
    // A holder removes the file before it lets go: the lock taken on a file no longer at `path`
    // is worth nothing, and the one now there is tried instead.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            error = std::strerror(errno);
            return nullptr;
        }
        switch (markFileInUse(fd)) {
        case FileLockResult::Taken:
            if (isStillNamed(fd, path)) {
                return std::unique_ptr<FileLock>(new FileLock(path, fd));
            }
            break;
        case FileLockResult::InUse:
            (void)::close(fd); // empty or ours to drop: nothing written through it
            return nullptr;
        case FileLockResult::Failed:
            error = std::strerror(errno);
            (void)::close(fd);
            return nullptr;
        }
        (void)::close(fd);
    }
    error = "the lock file keeps being replaced";
    return nullptr;
}

FileLock::~FileLock() {
    (void)::close(m_fd);
}

void FileLock::removeFile() {
    (void)::unlink(m_path.c_str()); // gone already is as good
}

} // namespace lento
