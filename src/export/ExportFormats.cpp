#include "export/ExportFormats.h"

namespace lento {

QStringList makeExtensionArray(const QString& extension) {
    QStringList list{QStringLiteral("mov"), QStringLiteral("mp4"), QStringLiteral("3gp")};
    const qsizetype existing = list.indexOf(extension);
    if (existing >= 0) {
        list.removeAt(existing);
    }
    list.prepend(extension);
    return list;
}

int IndexOfExportExtensionFromCurVideo(const QStringList& /*extensions*/) {
    return 0;
}

QString fileTypesText(const std::vector<FileType>& types) {
    QStringList names;
    for (FileType type : types) {
        names << QString::fromStdString(fileTypeName(type));
    }
    return QStringLiteral("(%1)").arg(names.join(QStringLiteral(", ")));
}

} // namespace lento
