#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace lento {

// File names on Linux are bytes, not text: a name need not be valid UTF-8 (a card from an old
// camera, an archive made on another system). Lento keeps a path in a QString the way the system
// gives it: valid UTF-8 decoded as usual, and each byte that does not decode as the lone
// surrogate U+DC00 + byte, which no decoded text contains. pathBytes() gives the bytes back
// exactly; Qt's own conversions (QFile::encodeName, QFileInfo, QUrl::fromLocalFile) would not.
QString pathFromBytes(const QByteArray& bytes);
QByteArray pathBytes(const QString& path);

// The local file a URL names, percent-encoded bytes kept (drops and file panels give URLs);
// empty for a URL that is not a local file.
QString pathOfUrl(const QUrl& url);
// The file URL of `path`, which pathOfUrl() turns back into `path`.
QUrl urlOfPath(const QString& path);

} // namespace lento
