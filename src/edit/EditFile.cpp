#include "edit/EditFile.h"

#include "base/FileNames.h"
#include "media/Asset.h"
#include "media/TimeMap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace lento {

namespace {

using Kind = EditFileProblem::Kind;

QJsonObject timeJson(MediaTime time) {
    return {{"value", static_cast<qint64>(time.value)}, {"timescale", time.timescale}};
}

QJsonObject fullVideoJson(const FullVideoState& fullVideo) {
    return {{"factor", QString::fromStdString(fullVideo.factor.text())},
            {"audio", fullVideo.audio},
            {"motion", QString::fromUtf8(motionModeName(fullVideo.motion))}};
}

QJsonObject sectionJson(const SectionState& section) {
    QJsonObject json{{"name", section.name},
                     {"start", timeJson(section.start)},
                     {"end", timeJson(section.end)},
                     {"factor", QString::fromStdString(section.factor.text())},
                     {"audio", section.audio},
                     {"motion", QString::fromUtf8(motionModeName(section.motion))}};
    for (const auto& [key, ramp] :
         {std::pair{"rampIn", section.rampIn}, {"rampOut", section.rampOut}}) {
        if (ramp != MediaTime::zero()) {
            json.insert(QLatin1String(key), timeJson(ramp));
        }
    }
    return json;
}

// Reads the fields of one object, remembering the first one that is missing or wrong so that a
// damaged file is reported by name.
class Fields {
public:
    Fields(QJsonObject object, QString where, QString& bad)
        : m_object(std::move(object)), m_where(std::move(where)), m_bad(bad) {}

    QJsonObject object(const char* key) {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (!value.isObject()) {
            fail(key);
        }
        return value.toObject();
    }
    QString string(const char* key) {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (!value.isString()) {
            fail(key);
        }
        return value.toString();
    }
    bool boolean(const char* key) {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (!value.isBool()) {
            fail(key);
        }
        return value.toBool();
    }
    int64_t integer(const char* key, int64_t min, int64_t max) {
        const QJsonValue value = m_object.value(QLatin1String(key));
        // toInteger() gives the default for a value with a fraction.
        const qint64 number = value.toInteger(std::numeric_limits<qint64>::min());
        if (!value.isDouble() || number == std::numeric_limits<qint64>::min() || number < min ||
            number > max) {
            fail(key);
            return min;
        }
        return number;
    }
    MediaTime time(const char* key) {
        Fields time(object(key), m_where + '.' + QLatin1String(key), m_bad);
        const int64_t value = time.integer("value", std::numeric_limits<int64_t>::min() + 1,
                                           std::numeric_limits<int64_t>::max());
        const auto timescale =
            static_cast<int32_t>(time.integer("timescale", 1, MediaTime::kMaxTimescale));
        return MediaTime::make(value, timescale);
    }
    // A length that may be left out for none; never negative.
    MediaTime optionalLength(const char* key) {
        if (!m_object.contains(QLatin1String(key))) {
            return MediaTime::zero();
        }
        const MediaTime length = time(key);
        if (length < MediaTime::zero()) {
            fail(key, QObject::tr("is negative"));
            return MediaTime::zero();
        }
        return length;
    }
    // A factor the editor takes: one beyond its range would be exported as no edit ever was
    // (a stretch of thousands, or below 1), so it is refused as the chooser refuses it.
    SpeedFactor factor(const char* key) {
        const QString text = string(key);
        const std::optional<SpeedFactor> factor =
            SpeedFactor::parseInEditorRange(text.toStdString());
        if (!factor && m_object.value(QLatin1String(key)).isString()) {
            fail(key, QObject::tr("“%1” is not a factor from %2")
                          .arg(text, QLatin1String(SpeedFactor::kEditorRangeText)));
        }
        return factor.value_or(SpeedFactor());
    }
    MotionMode motion(const char* key) {
        const std::optional<MotionMode> motion = motionModeNamed(string(key).toStdString());
        if (!motion) {
            fail(key);
        }
        return motion.value_or(MotionMode::Hold);
    }

private:
    // `why` follows the field's name in the message; by default it is missing or wrong.
    void fail(const char* key, const QString& why = QObject::tr("is missing or wrong")) {
        if (m_bad.isEmpty()) {
            m_bad = m_where + '.' + QLatin1String(key) + ' ' + why;
        }
    }

    QJsonObject m_object;
    QString m_where;
    QString& m_bad;
};

std::nullopt_t fail(EditFileProblem& problem, Kind kind, QString message) {
    problem = {kind, std::move(message)};
    return std::nullopt;
}

// Reads all of the regular file at `path` when it holds at most `limit` bytes: 0, or why not as
// an errno value (EFBIG for a larger file, ENODEV for anything but a regular file). Nothing
// that is not a regular file is read, or even waited for: a FIFO would block until a writer
// comes, a device may never end.
int readBoundedFile(const QString& path, qint64 limit, QByteArray& bytes) {
    const QByteArray name = QFile::encodeName(path);
    struct stat status = {};
    if (stat(name.constData(), &status) != 0) {
        return errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return ENODEV;
    }
    // Another could have been put under the name since: the open file is checked again.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    if (fstat(fd, &status) != 0) {
        error = errno;
    } else if (!S_ISREG(status.st_mode)) {
        error = ENODEV;
    } else if (status.st_size > limit) {
        error = EFBIG;
    } else {
        // Read to its end, which may lie further than its size said: the file may grow.
        bytes.reserve(static_cast<qsizetype>(status.st_size));
        char block[16384];
        for (;;) {
            const ssize_t got = ::read(fd, block, sizeof block);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                error = got < 0 ? errno : 0;
                break;
            }
            if (bytes.size() + got > limit) {
                error = EFBIG;
                break;
            }
            bytes.append(block, got);
        }
    }
    (void)::close(fd); // read only: nothing to lose
    if (error != 0) {
        bytes.clear();
    }
    return error;
}

QString timeInSeconds(MediaTime time) {
    return QObject::tr("%1 s").arg(time.seconds(), 0, 'f', 3);
}

} // namespace

int editFileVersion(const EditState& state) {
    const bool ramps = std::any_of(state.sections.begin(), state.sections.end(),
                                   [](const SectionState& section) { return section.hasRamps(); });
    return ramps ? 2 : 1;
}

QJsonObject editFileObject(const EditState& state, const QString& editFilePath) {
    QJsonArray sections;
    for (const SectionState& section : state.sections) {
        sections.append(sectionJson(section));
    }
    const QString relative =
        state.source.isEmpty()
            ? QString()
            : QFileInfo(editFilePath).absoluteDir().relativeFilePath(state.source.path);
    const QJsonObject source{{"path", state.source.path},
                             {"relativePath", relative},
                             {"fileSize", static_cast<qint64>(state.source.fileSize)},
                             {"duration", timeJson(state.source.duration)}};
    return {{"format", QLatin1String(kEditFileFormat)},
            {"version", editFileVersion(state)},
            {"source", source},
            {"fullVideo", fullVideoJson(state.fullVideo)},
            {"sections", sections}};
}

QByteArray editFileJson(const EditState& state, const QString& editFilePath) {
    return QJsonDocument(editFileObject(state, editFilePath)).toJson(QJsonDocument::Indented);
}

std::optional<SavedEdit> parseEditFile(const QByteArray& json, EditFileProblem& problem) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (document.isNull()) {
        // Cut short or garbled, an edit still names its format near the top.
        if (json.contains(QByteArray("\"") + kEditFileFormat + '"')) {
            return fail(problem, Kind::Damaged,
                        QObject::tr("The edit file is damaged (%1 at byte %2).")
                            .arg(parseError.errorString())
                            .arg(parseError.offset));
        }
        return fail(problem, Kind::NotAnEdit, QObject::tr("The file is not a Lento edit."));
    }
    const QJsonObject root = document.object();
    if (root.value("format").toString() != QLatin1String(kEditFileFormat)) {
        return fail(problem, Kind::NotAnEdit, QObject::tr("The file is not a Lento edit."));
    }
    QString bad;
    Fields top(root, QStringLiteral("edit"), bad);
    const int64_t version = top.integer("version", 1, std::numeric_limits<int32_t>::max());
    if (bad.isEmpty() && version > kEditFileVersion) {
        return fail(problem, Kind::NewerVersion,
                    QObject::tr("The edit was saved by a newer version of Lento (file version "
                                "%1; this one reads up to %2).")
                        .arg(version)
                        .arg(kEditFileVersion));
    }

    SavedEdit saved;
    Fields source(top.object("source"), QStringLiteral("source"), bad);
    saved.state.source.path = source.string("path");
    saved.relativeSourcePath = source.string("relativePath");
    saved.state.source.fileSize =
        source.integer("fileSize", 0, std::numeric_limits<int64_t>::max());
    saved.state.source.duration = source.time("duration");

    Fields full(top.object("fullVideo"), QStringLiteral("fullVideo"), bad);
    saved.state.fullVideo = {full.factor("factor"), full.boolean("audio"), full.motion("motion")};

    const QJsonValue sections = root.value("sections");
    if (!sections.isArray() && bad.isEmpty()) {
        bad = QObject::tr("edit.sections is missing or wrong");
    }
    const QJsonArray list = sections.toArray();
    for (qsizetype i = 0; i < list.size() && bad.isEmpty(); ++i) {
        Fields fields(list.at(i).toObject(), QStringLiteral("sections[%1]").arg(i), bad);
        if (!list.at(i).isObject()) {
            bad = QObject::tr("sections[%1] is missing or wrong").arg(i);
        }
        saved.state.sections.push_back(
            {fields.string("name"), fields.time("start"), fields.time("end"),
             fields.factor("factor"), fields.boolean("audio"), fields.motion("motion"),
             fields.optionalLength("rampIn"), fields.optionalLength("rampOut")});
    }
    if (!bad.isEmpty()) {
        return fail(problem, Kind::Damaged, QObject::tr("The edit file is damaged (%1).").arg(bad));
    }
    problem = {};
    return saved;
}

bool writeEditFile(const EditState& state, const QString& path, EditFileProblem& problem) {
    const QByteArray json = editFileJson(state, path);
    QSaveFile file(path);
    // QSaveFile::commit() misses an error of the last buffered write: flush() does not.
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.flush() ||
        !file.commit()) {
        problem = {Kind::Unwritable, QObject::tr("The edit could not be saved to “%1”: %2")
                                         .arg(QFileInfo(path).fileName(), file.errorString())};
        file.cancelWriting();
        return false;
    }
    problem = {};
    return true;
}

std::optional<SavedEdit> readEditFile(const QString& path, EditFileProblem& problem) {
    const QString name = QFileInfo(path).fileName();
    const auto unreadable = [&](const QString& why) {
        return fail(problem, Kind::Unreadable,
                    QObject::tr("The edit “%1” could not be read: %2").arg(name, why));
    };
    QByteArray json;
    switch (const int error = readBoundedFile(path, kEditFileMaxBytes, json)) {
    case 0:
        return parseEditFile(json, problem);
    case EFBIG:
        return unreadable(QObject::tr("it is larger than %1 MB, more than any edit.")
                              .arg(kEditFileMaxBytes >> 20));
    case ENODEV:
        return unreadable(QObject::tr("it is not a file but a folder, a device or a pipe."));
    default:
        return unreadable(QString::fromLocal8Bit(std::strerror(error)));
    }
}

QString findEditSource(const SavedEdit& saved, const QString& editFilePath) {
    const QString& path = saved.state.source.path;
    const QDir folder = QFileInfo(editFilePath).absoluteDir();
    for (const QString& candidate :
         {path,
          saved.relativeSourcePath.isEmpty() ? QString()
                                             : folder.filePath(saved.relativeSourcePath),
          folder.filePath(QFileInfo(path).fileName())}) {
        std::error_code error;
        if (!candidate.isEmpty() &&
            std::filesystem::is_regular_file(pathBytes(candidate).toStdString(), error)) {
            return QFileInfo(candidate).absoluteFilePath();
        }
    }
    return {};
}

std::optional<OpenedEdit> attachEditSource(EditState state, const QString& sourcePath,
                                           EditFileProblem& problem) {
    const QString name = QFileInfo(sourcePath).fileName();
    const std::string bytes = pathBytes(sourcePath).toStdString();
    const auto asset = Asset::assetWithPath(bytes);
    if (!asset->isPlayable() || !asset->duration().isNumeric()) {
        return fail(problem, Kind::SourceUnusable,
                    QObject::tr("The video “%1” of the edit cannot be played.").arg(name));
    }
    OpenedEdit opened;
    const MediaTime duration = asset->duration();
    if (duration != state.source.duration) {
        opened.warnings << QObject::tr("The video “%1” has changed since the edit was saved: it "
                                       "lasts %2, it lasted %3.")
                               .arg(name, timeInSeconds(duration),
                                    timeInSeconds(state.source.duration));
    }
    state.source.path = QFileInfo(sourcePath).absoluteFilePath();
    std::error_code error;
    const auto size = std::filesystem::file_size(bytes, error);
    state.source.fileSize = error ? 0 : static_cast<int64_t>(size);
    state.source.duration = duration;
    // Bounds off the video at either end are brought onto it; a section with nothing on it goes.
    const MediaTime videoStart = MediaTime::make(0, duration.timescale);
    std::vector<SectionState> kept;
    for (SectionState& section : state.sections) {
        if (section.start >= duration) {
            opened.warnings << QObject::tr("The section “%1” starts after the end of the video "
                                           "and was removed.")
                                   .arg(section.name);
        } else if (section.end <= videoStart) {
            opened.warnings << QObject::tr("The section “%1” ends before the start of the video "
                                           "and was removed.")
                                   .arg(section.name);
        } else {
            if (section.start < videoStart) {
                section.start = MediaTime::make(0, section.start.timescale);
                opened.warnings << QObject::tr("The section “%1” began before the start of the "
                                               "video and was shortened to it.")
                                       .arg(section.name);
            }
            if (section.end > duration) {
                section.end = duration;
                opened.warnings << QObject::tr("The section “%1” ran past the end of the video "
                                               "and was shortened to it.")
                                       .arg(section.name);
            }
            const Ramps ramps =
                fitRamps(section.end - section.start, section.rampIn, section.rampOut);
            if (ramps.in != section.rampIn || ramps.out != section.rampOut) {
                section.rampIn = ramps.in;
                section.rampOut = ramps.out;
                opened.warnings << QObject::tr("The ramps of the section “%1” were longer than "
                                               "the section and were shortened to fit it.")
                                       .arg(section.name);
            }
            kept.push_back(std::move(section));
        }
    }
    state.sections = std::move(kept);
    opened.state = std::move(state);
    problem = {};
    return opened;
}

EditFileOpening openEditFileWithoutAsking(const QString& path) {
    EditFileOpening opening;
    std::optional<SavedEdit> saved = readEditFile(path, opening.problem);
    if (!saved) {
        return opening;
    }
    if (saved->state.source.isEmpty()) {
        opening.opened = OpenedEdit{std::move(saved->state), {}};
        return opening;
    }
    const QString source = findEditSource(*saved, path);
    if (source.isEmpty()) {
        opening.problem = sourceMissingProblem(*saved);
        opening.unlocated = std::move(saved);
        return opening;
    }
    opening.opened = attachEditSource(std::move(saved->state), source, opening.problem);
    return opening;
}

EditFileProblem sourceMissingProblem(const SavedEdit& saved) {
    return {Kind::SourceMissing, QObject::tr("The video of the edit, “%1”, was not found.")
                                     .arg(QDir::toNativeSeparators(saved.state.source.path))};
}

std::optional<OpenedEdit> openEditFile(const QString& path,
                                       const std::function<QString(const QString&)>& locate,
                                       EditFileProblem& problem) {
    EditFileOpening opening = openEditFileWithoutAsking(path);
    problem = opening.problem;
    if (!opening.unlocated) {
        return std::move(opening.opened);
    }
    const QString source = locate ? locate(opening.unlocated->state.source.path) : QString();
    if (source.isEmpty()) {
        return std::nullopt;
    }
    return attachEditSource(std::move(opening.unlocated->state), source, problem);
}

} // namespace lento
