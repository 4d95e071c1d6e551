#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace lento::fuzz {

// Bytes as a file that only this process sees and that vanishes with it, however it ends: a
// fuzzer that crashes leaves nothing behind. Opened by name through /proc, as any file.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) : m_fd(memfd_create("lento-fuzz", MFD_CLOEXEC)) {
        for (size_t done = 0; m_fd >= 0 && done < size;) {
            const ssize_t wrote = write(m_fd, data + done, size - done);
            if (wrote <= 0) {
                close(m_fd);
                m_fd = -1;
                break;
            }
            done += static_cast<size_t>(wrote);
        }
    }
    ~MemoryFile() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return m_fd >= 0; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

private:
    int m_fd;
};

} // namespace lento::fuzz
