#include "edit/EditFile.h"

#include "base/FileNames.h"
#include "media/Asset.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>

#include <filesystem>
#include <limits>
#include <system_error>
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
    return {{"name", section.name},
            {"start", timeJson(section.start)},
            {"end", timeJson(section.end)},
            {"factor", QString::fromStdString(section.factor.text())},
            {"audio", section.audio},
            {"motion", QString::fromUtf8(motionModeName(section.motion))}};
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
    SpeedFactor factor(const char* key) {
        const std::optional<SpeedFactor> factor = SpeedFactor::fromText(string(key).toStdString());
        if (!factor) {
            fail(key);
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
    void fail(const char* key) {
        if (m_bad.isEmpty()) {
            m_bad = m_where + '.' + QLatin1String(key);
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

QString timeInSeconds(MediaTime time) {
    return QObject::tr("%1 s").arg(time.seconds(), 0, 'f', 3);
}

} // namespace

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
            {"version", kEditFileVersion},
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
    if (!sections.isArray()) {
        bad = bad.isEmpty() ? QStringLiteral("edit.sections") : bad;
    }
    const QJsonArray list = sections.toArray();
    for (qsizetype i = 0; i < list.size() && bad.isEmpty(); ++i) {
        Fields fields(list.at(i).toObject(), QStringLiteral("sections[%1]").arg(i), bad);
        if (!list.at(i).isObject()) {
            bad = QStringLiteral("sections[%1]").arg(i);
        }
        saved.state.sections.push_back({fields.string("name"), fields.time("start"),
                                        fields.time("end"), fields.factor("factor"),
                                        fields.boolean("audio"), fields.motion("motion")});
    }
    if (!bad.isEmpty()) {
        return fail(problem, Kind::Damaged,
                    QObject::tr("The edit file is damaged (%1 is missing or wrong).").arg(bad));
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(problem, Kind::Unreadable,
                    QObject::tr("The edit “%1” could not be read: %2")
                        .arg(QFileInfo(path).fileName(), file.errorString()));
    }
    const QByteArray json = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return fail(problem, Kind::Unreadable,
                    QObject::tr("The edit “%1” could not be read: %2")
                        .arg(QFileInfo(path).fileName(), file.errorString()));
    }
    return parseEditFile(json, problem);
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
    std::vector<SectionState> kept;
    for (SectionState& section : state.sections) {
        if (section.start >= duration) {
            opened.warnings << QObject::tr("The section “%1” starts after the end of the video "
                                           "and was removed.")
                                   .arg(section.name);
        } else {
            if (section.end > duration) {
                section.end = duration;
                opened.warnings << QObject::tr("The section “%1” ran past the end of the video "
                                               "and was shortened to it.")
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

std::optional<OpenedEdit> openEditFile(const QString& path,
                                       const std::function<QString(const QString&)>& locate,
                                       EditFileProblem& problem) {
    std::optional<SavedEdit> saved = readEditFile(path, problem);
    if (!saved) {
        return std::nullopt;
    }
    if (saved->state.source.isEmpty()) {
        return OpenedEdit{std::move(saved->state), {}};
    }
    QString source = findEditSource(*saved, path);
    if (source.isEmpty() && locate) {
        source = locate(saved->state.source.path);
    }
    if (source.isEmpty()) {
        return fail(problem, Kind::SourceMissing,
                    QObject::tr("The video of the edit, “%1”, was not found.")
                        .arg(QDir::toNativeSeparators(saved->state.source.path)));
    }
    return attachEditSource(std::move(saved->state), source, problem);
}

} // namespace lento
