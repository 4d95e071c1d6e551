#include "base/FileNames.h"

#include <gtest/gtest.h>

namespace lento {
namespace {

// Whatever bytes a name holds come back from its QString and from its URL, and a name that is
// valid UTF-8 reads as Qt reads it.
TEST(FileNames, EveryNameComesBackByteForByte) {
    const struct {
        const char* name;
        QByteArray bytes;
        bool utf8;
    } cases[] = {
        {"plain", "/videos/clip.mp4", true},
        {"UTF-8", "/videos/caf\xc3\xa9 \xf0\x9f\x8e\xac.mp4", true},
        {"URL characters", "/videos/50% off #1?.mp4", true},
        {"Latin-1", "/videos/caf\xe9.mp4", false},
        {"a surrogate encoded", "/videos/\xed\xb3\xa9.mp4", false},
        {"too long a form", "/videos/\xc0\xaf.mp4", false},
        {"beyond Unicode", "/videos/\xf4\x90\x80\x80.mp4", false},
        {"cut short", "/videos/\xe2\x82", false},
        {"bytes never in UTF-8", "/videos/\xff\xfe.mp4", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = pathFromBytes(c.bytes);
        EXPECT_EQ(pathBytes(path), c.bytes);
        EXPECT_EQ(path == QString::fromUtf8(c.bytes), c.utf8);
        EXPECT_FALSE(path.contains(QChar::ReplacementCharacter));
        const QUrl url = urlOfPath(path);
        EXPECT_TRUE(url.isLocalFile());
        EXPECT_EQ(pathOfUrl(url), path);
        // As a file manager drags it: the bytes percent-encoded in a URI list.
        EXPECT_EQ(pathOfUrl(QUrl(QString::fromLatin1("file://" + c.bytes.toPercentEncoding("/")))),
                  path);
    }
    EXPECT_TRUE(pathOfUrl(QUrl("https://example.com/clip.mp4")).isEmpty());
}

} // namespace
} // namespace lento
