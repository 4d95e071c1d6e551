#pragma once

#include "media/ExportPresets.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace lento {

// The export format list for a loaded video with the file-name extension `extension`: "mov",
// "mp4", "3gp" with the video's own extension moved (or, when it is none of them, added) in
// front. Compared case-sensitively, so "MOV" makes four entries.
QStringList makeExtensionArray(const QString& extension);

// The chooser's first selection: where makeExtensionArray puts the video's own extension.
int IndexOfExportExtensionFromCurVideo(const QStringList& extensions);

// "(QuickTime movie, MPEG-4, 3GPP)", for the log.
QString fileTypesText(const std::vector<FileType>& types);

} // namespace lento
