#include "base/FileNames.h"

namespace lento {

namespace {

constexpr char16_t kEscapedByte = 0xDC00;

bool isEscapedByte(char16_t unit) {
    return unit >= kEscapedByte + 0x80 && unit <= kEscapedByte + 0xFF;
}

// The length of the well-formed UTF-8 sequence at `at` (shortest form, no surrogates, at most
// U+10FFFF), its code point in `code`; 0 when the bytes there are not one.
qsizetype utf8Sequence(const unsigned char* data, qsizetype size, qsizetype at, char32_t& code) {
    const unsigned char lead = data[at];
    qsizetype length = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, smallest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > size) {
        return 0;
    }
    for (qsizetype k = 1; k < length; ++k) {
        if ((data[at + k] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (data[at + k] & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < smallest || code > 0x10FFFF || surrogate ? 0 : length;
}

void appendUtf8(QByteArray& bytes, char32_t code) {
    if (code < 0x80) {
        bytes.append(static_cast<char>(code));
    } else if (code < 0x800) {
        bytes.append(static_cast<char>(0xC0 | (code >> 6)));
        bytes.append(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        bytes.append(static_cast<char>(0xE0 | (code >> 12)));
        bytes.append(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        bytes.append(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        bytes.append(static_cast<char>(0xF0 | (code >> 18)));
        bytes.append(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        bytes.append(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        bytes.append(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

} // namespace

QString pathFromBytes(const QByteArray& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    QString path;
    path.reserve(size);
    for (qsizetype at = 0; at < size;) {
        char32_t code = data[at];
        const qsizetype length = code < 0x80 ? 1 : utf8Sequence(data, size, at, code);
        if (length == 0) {
            path.append(QChar(static_cast<char16_t>(kEscapedByte + data[at])));
            ++at;
            continue;
        }
        for (const char16_t unit : QChar::fromUcs4(code)) {
            path.append(QChar(unit));
        }
        at += length;
    }
    return path;
}

QByteArray pathBytes(const QString& path) {
    QByteArray bytes;
    bytes.reserve(path.size());
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t unit = path.at(i).unicode();
        if (isEscapedByte(unit)) {
            bytes.append(static_cast<char>(unit - kEscapedByte));
        } else if (QChar::isHighSurrogate(unit) && i + 1 < path.size() &&
                   QChar::isLowSurrogate(path.at(i + 1).unicode())) {
            appendUtf8(bytes, QChar::surrogateToUcs4(unit, path.at(i + 1).unicode()));
            ++i;
        } else if (QChar::isSurrogate(unit)) {
            appendUtf8(bytes, QChar::ReplacementCharacter);
        } else {
            appendUtf8(bytes, unit);
        }
    }
    return bytes;
}

QString pathOfUrl(const QUrl& url) {
    if (!url.isLocalFile()) {
        return {};
    }
    // A fully encoded path is ASCII: each byte of the name that is not is a %XX.
    const QByteArray encoded = url.path(QUrl::FullyEncoded).toLatin1();
    QString path = pathFromBytes(QByteArray::fromPercentEncoding(encoded));
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0) {
        path.prepend(QLatin1String("//") + host);
    }
    return path;
}

QUrl urlOfPath(const QString& path) {
    if (path.isEmpty()) {
        return {};
    }
    const QByteArray bytes = pathBytes(path);
    if (QString::fromUtf8(bytes) == path) {
        return QUrl::fromLocalFile(path);
    }
    return QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"), QUrl::StrictMode);
}

} // namespace lento
