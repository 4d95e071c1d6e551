#pragma once

#include <memory>
#include <string>
#include <utility>

namespace lento {

// "This file is in use": an advisory lock held by an open file for as long as it stays open.
//
// The lock belongs to the open file, not to the process (Linux's open file description locks):
// it lasts until the last descriptor of that open is closed, however its holder ends, killed
// included, and every other open of the file sees it, in this process or another, in another PID
// namespace (a container) or on another machine sharing the volume. Whether a file is still in
// use is told by the lock alone, never by whether the process number in its name runs here.

enum class FileLockResult {
    Taken,  // the file is marked in use until `fd` is closed
    InUse,  // another open of the file holds the mark
    Failed, // the filesystem keeps no locks (errno tells why); nothing is marked
};

// Marks the open file `fd` (opened for writing) in use, without waiting.
FileLockResult markFileInUse(int fd);

// Whether an open file somewhere marks `path` in use. A file that cannot be opened for reading,
// or on a filesystem without locks, counts as in use: nobody can tell that it is not.
bool isFileInUse(const std::string& path);

// Removes `path` when it is a regular file that no open file marks in use; true when removed.
// The file is held while it is removed, so that a writer cannot mark it in between: a writer
// that creates a file and marks it must check, once marked, that the name is still its file
// (isStillNamed) and take another name if not.
bool removeFileNotInUse(const std::string& path);

// Whether `path` still names the open file `fd`.
bool isStillNamed(int fd, const std::string& path);

// A lock file held for as long as this object lives: "this program is running" for files that
// are replaced by renaming (an autosave), which would take a lock on themselves away with them.
// The locks of two objects conflict even within one process.
class FileLock {
public:
    // Takes the lock on `path`, making the file when it is missing. Nothing when another holder
    // has it (`error` empty) or when the file cannot be opened or locked (`error` says why).
    static std::unique_ptr<FileLock> take(const std::string& path, std::string& error);
    // Whether someone holds the lock on `path` (false for a missing file); asks without taking.
    static bool isHeld(const std::string& path) { return isFileInUse(path); }

    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Removes the file while the lock is still held, so nobody takes a lock on a file that is
    // going away.
    void removeFile();

private:
    FileLock(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}

    std::string m_path;
    int m_fd;
};

} // namespace lento
