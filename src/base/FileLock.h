#pragma once

#include <QByteArray>

#include <memory>
#include <string>

namespace lento {

// An advisory lock on a whole file, held for as long as this object lives, by its open file
// description: the kernel lets it go when the process ends, however it ends, so a file whose lock
// nobody holds belongs to no running program, whatever process numbers say (a killed process
// still tearing down, another PID namespace, a number used again after a reboot). The locks of
// two objects conflict even within one process.
class FileLock {
public:
    // Takes the lock on `path`, making the file when it is missing. Nothing when another holder
    // has it (`error` empty) or when the file cannot be opened or locked (`error` says why).
    static std::unique_ptr<FileLock> take(const QByteArray& path, std::string& error);
    // Whether someone holds the lock on `path` (false for a missing file); asks without taking.
    static bool isHeld(const QByteArray& path);

    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Removes the file while the lock is still held, so nobody takes a lock on a file that is
    // going away.
    void removeFile();

private:
    FileLock(QByteArray path, int fd) : m_path(std::move(path)), m_fd(fd) {}

    QByteArray m_path;
    int m_fd;
};

} // namespace lento
