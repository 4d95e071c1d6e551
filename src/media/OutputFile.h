#pragma once

#include <string>
#include <sys/types.h>

namespace lento {

// The file an export writes until it is complete, and its move into place.
//
// The movie is written to an unnamed file in the destination's folder and only gets a name when
// it is committed, so that a process killed at any moment leaves nothing behind. Where the
// filesystem has no unnamed files (or /proc, through which the file is named and reopened), it
// is written under a short hidden name carrying the writer's process ID, marked in use for as
// long as it is open (FileLock.h); such names that no open file marks any more (their writer
// killed) are removed when the next one is made in that folder.
//
// A destination that is a symbolic link is followed: the link's target is replaced and the
// link kept. A replaced file lends the new one its mode, and its owner and group where the
// writer may give them.
class OutputFile {
public:
    enum class Naming { Unnamed, Named };

    // An unopened file: `isOpen()` is false until `open` succeeds.
    OutputFile() = default;
    // Closes the file and removes it unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Whether `destination` may be replaced by a movie: false, with `error` set, when something
    // other than a regular file (a directory, a device, a FIFO, a socket) is there.
    static bool checkDestination(const std::string& destination, std::string& error);

    // Checks `destination` and makes the file that will replace it. `naming` is Unnamed except
    // to try the named way where unnamed files work too.
    bool open(const std::string& destination, std::string& error, Naming naming = Naming::Unnamed);
    bool isOpen() const { return m_fd >= 0; }
    // How the file was made: Named when unnamed files were refused.
    Naming naming() const { return m_naming; }

    // A path that opens the file for writing (and reading back), for libraries that open files
    // by name. Valid while the file is open.
    const std::string& writePath() const { return m_writePath; }

    // Gives the written file the destination's name, replacing what is there. The file must be
    // complete: everything written through `writePath()` closed.
    bool commit(std::string& error);

private:
    // False with `refused` set when the filesystem has no unnamed files.
    bool openUnnamed(const std::string& folder, bool& refused, std::string& error);
    bool openNamed(const std::string& folder, std::string& error);
    bool takeOverAttributes(std::string& error);
    bool moveIntoPlace(std::string& error);
    void close();

    std::string m_target; // the destination with symbolic links followed
    std::string m_writePath;
    std::string m_temporaryName; // the file's own name while it has one, before the commit
    Naming m_naming = Naming::Unnamed;
    int m_fd = -1;
};

// The short hidden name of a named file written by process `pid`, and the process ID such a name
// carries (0 for any other name).
std::string outputFileTemporaryName(pid_t pid, unsigned serial);
pid_t outputFileTemporaryOwner(const std::string& name);

} // namespace lento
