#pragma once

#include "edit/EditState.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace lento {

// The edit saved as a `.lento` file: JSON with a format name and a version, the source by its
// absolute path and by its path relative to the edit file (so that a folder moved whole still
// opens), its size and duration, the Full Video choices and the sections. Times are exact
// rationals ({"value", "timescale"}), factors SpeedFactor::text(), motions their names.
//
// Versions: 1 has no ramps; 2 adds a section's "rampIn" and "rampOut" (times, absent when
// zero). An edit is written at the lowest version that holds it, so that a Lento that reads only
// version 1 opens every edit without ramps, and refuses, as newer, one whose ramps it would lose.

inline constexpr const char* kEditFileFormat = "lento-edit";
// The newest version read and written.
inline constexpr int kEditFileVersion = 2;
inline constexpr const char* kEditFileExtension = "lento";
// The largest edit file read: an edit of 100,000 sections takes about 35 MB.
inline constexpr qint64 kEditFileMaxBytes = qint64(64) << 20;

// Why an edit could not be read, written or opened; the message is for an alert.
struct EditFileProblem {
    enum class Kind {
        None,
        Unreadable,     // the file cannot be opened or read
        Unwritable,     // the file cannot be written; any file already there is unchanged
        NotAnEdit,      // something else: another JSON document, a movie, text
        NewerVersion,   // written by a newer Lento
        Damaged,        // an edit, but cut short or with fields missing or wrong
        SourceMissing,  // its video is nowhere to be found
        SourceUnusable, // its video is there but does not play
    };
    Kind kind = Kind::None;
    QString message;
};

// The edit as the file holds it, before its source has been looked for.
struct SavedEdit {
    EditState state;
    QString relativeSourcePath; // from the edit file's folder
};

// The edit bound to its source, with what changed on the way (a different duration, sections
// shortened or removed), each a sentence for the user.
struct OpenedEdit {
    EditState state;
    QStringList warnings;
};

// The lowest version that holds `state`.
int editFileVersion(const EditState& state);

// The edit as the file holds it; the source's relative path is taken from `editFilePath`.
QJsonObject editFileObject(const EditState& state, const QString& editFilePath);
QByteArray editFileJson(const EditState& state, const QString& editFilePath);
std::optional<SavedEdit> parseEditFile(const QByteArray& json, EditFileProblem& problem);

// Writes through a temporary file in the same folder renamed over `path` once flushed: a reader
// sees the old edit or the new one, never part of one.
bool writeEditFile(const EditState& state, const QString& path, EditFileProblem& problem);
// Reads only a regular file of at most kEditFileMaxBytes; anything else (a FIFO, a device, a
// folder) is refused without waiting on it.
std::optional<SavedEdit> readEditFile(const QString& path, EditFileProblem& problem);

// The source where it was saved, else the saved relative path from the edit file's folder, else
// a file of the same name in that folder; empty when none is there.
QString findEditSource(const SavedEdit& saved, const QString& editFilePath);

// Binds `state` to the video at `sourcePath`: its size and duration are taken from the file, a
// changed duration is warned about, and sections reaching off the video, past its end or before
// its start, are shortened to it (or removed when nothing of them is on it) and reported, as are
// ramps longer together than their section, fitted to it (fitRamps).
std::optional<OpenedEdit> attachEditSource(EditState state, const QString& sourcePath,
                                           EditFileProblem& problem);

// The part of openEditFile that asks nothing, for a caller that reads on a worker thread and
// asks on its own: the edit bound to its source where that was found (`opened`, else the reason
// in `problem`); when the source is nowhere to be found, the edit as read (`unlocated`), for the
// caller to ask where the source went and attachEditSource, or to give up with `problem`.
struct EditFileOpening {
    std::optional<OpenedEdit> opened;
    std::optional<SavedEdit> unlocated;
    EditFileProblem problem;
};
EditFileOpening openEditFileWithoutAsking(const QString& path);
// "The video of the edit, … was not found."
EditFileProblem sourceMissingProblem(const SavedEdit& saved);

// Reads `path` and binds it to its source. When the source is nowhere to be found, `locate` is
// asked with the path it was saved at and answers another, or nothing to give up.
std::optional<OpenedEdit> openEditFile(const QString& path,
                                       const std::function<QString(const QString&)>& locate,
                                       EditFileProblem& problem);

} // namespace lento
