#include "media/OutputFile.h"

#include "media/FileLock.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace lento {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTemporaryPrefix = ".lento-";
constexpr std::string_view kTemporarySuffix = ".part";
// As many tries as make a clash with another writer's name all but impossible.
constexpr unsigned kNameTries = 100;

std::string systemError(int code) {
    return std::strerror(code);
}

// The file a chain of symbolic links ends at; the path itself when it is no link.
fs::path followLinks(const fs::path& path) {
    fs::path current = path;
    // The kernel's own limit: a longer chain is a loop, and lstat below says so.
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code failure;
        if (!fs::is_symlink(fs::symlink_status(current, failure))) {
            break;
        }
        const fs::path target = fs::read_symlink(current, failure);
        if (failure) {
            break;
        }
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return current;
}

std::string folderOf(const fs::path& path) {
    const fs::path folder = path.parent_path();
    return folder.empty() ? std::string(".") : folder.string();
}

unsigned nextSerial() {
    static std::atomic<unsigned> serial{0};
    return serial++;
}

// Removes the named files that writers no longer hold open left in `folder`. The process number
// in a name says nothing here: a writer in another PID namespace (a container, another machine
// on a shared volume) may carry any number, running or not in ours.
void removeStaleFiles(const std::string& folder) {
    std::error_code failure;
    for (fs::directory_iterator entry(folder, failure), end; !failure && entry != end;
         entry.increment(failure)) {
        if (outputFileTemporaryOwner(entry->path().filename().string()) > 0) {
            removeFileNotInUse(entry->path().string()); // another may have removed it first
        }
    }
}

} // namespace

std::string outputFileTemporaryName(pid_t pid, unsigned serial) {
    return std::string(kTemporaryPrefix) + std::to_string(pid) + "-" + std::to_string(serial) +
           std::string(kTemporarySuffix);
}

pid_t outputFileTemporaryOwner(const std::string& name) {
    std::string_view rest(name);
    if (!rest.starts_with(kTemporaryPrefix) || !rest.ends_with(kTemporarySuffix)) {
        return 0;
    }
    rest.remove_prefix(kTemporaryPrefix.size());
    rest.remove_suffix(kTemporarySuffix.size());
    const size_t dash = rest.find('-');
    const std::string_view pid = rest.substr(0, dash);
    const std::string_view serial = dash == std::string_view::npos ? "" : rest.substr(dash + 1);
    const auto digits = [](std::string_view text) {
        return !text.empty() && text.size() < 10 &&
               text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return digits(pid) && digits(serial) ? static_cast<pid_t>(std::stol(std::string(pid))) : 0;
}

OutputFile::~OutputFile() {
    close();
}

bool OutputFile::checkDestination(const std::string& destination, std::string& error) {
    struct stat status = {};
    if (lstat(followLinks(destination).c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = "cannot write " + destination + ": " + systemError(errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        error = destination + " is a directory";
        return false;
    }
    if (S_ISLNK(status.st_mode)) {
        error = "cannot write " + destination + ": " + systemError(ELOOP);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = destination + " is not a regular file";
        return false;
    }
    return true;
}

bool OutputFile::open(const std::string& destination, std::string& error, Naming naming) {
    close();
    if (destination.empty()) {
        error = "no output location";
        return false;
    }
    if (!checkDestination(destination, error)) {
        return false;
    }
    m_target = followLinks(destination).string();
    const std::string folder = folderOf(m_target);
    if (naming == Naming::Unnamed) {
        bool refused = false;
        if (openUnnamed(folder, refused, error)) {
            return true;
        }
        if (!refused) {
            return false;
        }
    }
    return openNamed(folder, error);
}

bool OutputFile::openUnnamed(const std::string& folder, bool& refused, std::string& error) {
    m_naming = Naming::Unnamed;
    m_fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (m_fd < 0) {
        // Filesystems without unnamed files say so in one of these ways, older kernels by
        // taking the flag for a request to open the folder.
        refused = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
        error = "cannot write in " + folder + ": " + systemError(errno);
        return false;
    }
    m_writePath = "/proc/self/fd/" + std::to_string(m_fd);
    if (access(m_writePath.c_str(), W_OK) != 0) {
        // No /proc (a bare chroot or container): nothing can reopen or name the file.
        refused = true;
        close();
        return false;
    }
    // Marked before it gets a name beside a replaced file in moveIntoPlace, so that another
    // writer's clean-up never takes it for debris. Nobody can hold an unnamed file yet.
    (void)markFileInUse(m_fd);
    return true;
}

bool OutputFile::openNamed(const std::string& folder, std::string& error) {
    m_naming = Naming::Named;
    removeStaleFiles(folder);
    for (unsigned tries = 0; tries < kNameTries; ++tries) {
        const std::string path =
            (fs::path(folder) / outputFileTemporaryName(getpid(), nextSerial())).string();
        m_fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (m_fd < 0) {
            if (errno != EEXIST) {
                break;
            }
            continue;
        }
        // Marked in use for the export's life. Between its making and its mark another
        // writer's clean-up may have taken the new file for debris: then it holds the file or
        // has removed the name, and this writer takes the next name. Where the filesystem keeps
        // no locks, that clean-up keeps every file, so the file is written unmarked.
        const FileLockResult mark = markFileInUse(m_fd);
        if (mark != FileLockResult::InUse && isStillNamed(m_fd, path)) {
            m_writePath = path;
            m_temporaryName = path;
            return true;
        }
        (void)::close(m_fd); // an empty file, not ours any more
        m_fd = -1;
        errno = EEXIST;
    }
    error = "cannot write in " + folder + ": " + systemError(errno);
    return false;
}

bool OutputFile::commit(std::string& error) {
    if (!isOpen()) {
        error = "no movie to move into place";
        return false;
    }
    // Written out before it is named, so that a crash of the machine cannot leave a named but
    // empty movie where the old one was.
    if (fsync(m_fd) != 0) {
        error = "cannot write the movie: " + systemError(errno);
        return false;
    }
    if (!takeOverAttributes(error) || !moveIntoPlace(error)) {
        return false;
    }
    close();
    return true;
}

bool OutputFile::takeOverAttributes(std::string& error) {
    struct stat replaced = {};
    if (stat(m_target.c_str(), &replaced) != 0 || !S_ISREG(replaced.st_mode)) {
        return true; // a new file: the mode the umask gives
    }
    // Only a privileged writer may give a file away; anyone may keep a group of their own.
    if (fchown(m_fd, replaced.st_uid, replaced.st_gid) != 0) {
        if (errno != EPERM ||
            (fchown(m_fd, static_cast<uid_t>(-1), replaced.st_gid) != 0 && errno != EPERM)) {
            error = "cannot give the movie the replaced file's owner: " + systemError(errno);
            return false;
        }
    }
    // After the owner: a change of owner clears the set-ID bits.
    if (fchmod(m_fd, replaced.st_mode & 07777) != 0) {
        error = "cannot give the movie the replaced file's mode: " + systemError(errno);
        return false;
    }
    return true;
}

bool OutputFile::moveIntoPlace(std::string& error) {
    std::string named = m_temporaryName;
    if (m_naming == Naming::Unnamed) {
        if (linkat(AT_FDCWD, m_writePath.c_str(), AT_FDCWD, m_target.c_str(), AT_SYMLINK_FOLLOW) ==
            0) {
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot move the movie into place: " + systemError(errno);
            return false;
        }
        // A link cannot replace a file: name ours beside it, then rename over it in one step.
        const std::string folder = folderOf(m_target);
        for (unsigned tries = 0; named.empty() && tries < kNameTries; ++tries) {
            const std::string path =
                (fs::path(folder) / outputFileTemporaryName(getpid(), nextSerial())).string();
            if (linkat(AT_FDCWD, m_writePath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
                named = path;
                m_temporaryName = path;
            } else if (errno != EEXIST) {
                break;
            }
        }
        if (named.empty()) {
            error = "cannot move the movie into place: " + systemError(errno);
            return false;
        }
    }
    if (rename(named.c_str(), m_target.c_str()) != 0) {
        error = "cannot move the movie into place: " + systemError(errno);
        return false;
    }
    m_temporaryName.clear();
    return true;
}

void OutputFile::close() {
    if (m_fd >= 0) {
        // A committed movie was synced before it was named, and any other is thrown away: a
        // failing close loses nothing.
        (void)::close(m_fd);
        m_fd = -1;
    }
    if (!m_temporaryName.empty()) {
        (void)unlink(m_temporaryName.c_str()); // gone already is as good
        m_temporaryName.clear();
    }
    m_writePath.clear();
}

} // namespace lento
