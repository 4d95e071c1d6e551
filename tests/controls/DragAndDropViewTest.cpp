#include "controls/DragAndDropView.h"
#include "support/EditorTesting.h"

#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QMimeData>

namespace lento {
namespace {

using test::fileUrl;

class RecordingDropDelegate : public DragAndDropViewDelegate {
public:
    void fileDropped(const QUrl& url) override { dropped.push_back(url); }
    std::vector<QUrl> dropped;
};

TEST(DragAndDropViewTest, ADropOfSeveralFilesHandsOnTheFirstOnly) {
    test::ensureQtApp();
    DragAndDropView view;
    RecordingDropDelegate delegate;
    view.setDelegate(&delegate);

    QMimeData files;
    files.setUrls({fileUrl("/videos/a.mp4"), fileUrl("/videos/b.mp4"), fileUrl("/videos/c.mp4")});
    EXPECT_TRUE(view.performDragOperation(files));
    ASSERT_EQ(delegate.dropped.size(), 1u);
    EXPECT_EQ(delegate.dropped[0].toLocalFile(), "/videos/a.mp4");

    // Text is taken (the drag shows the copy cursor) but hands nothing on.
    QMimeData text;
    text.setText("just words");
    EXPECT_TRUE(view.performDragOperation(text));
    EXPECT_EQ(delegate.dropped.size(), 1u);

    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &text, Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_EQ(enter.dropAction(), Qt::CopyAction);

    // Without a delegate a drop is still accepted and goes nowhere.
    view.setDelegate(nullptr);
    EXPECT_TRUE(view.performDragOperation(files));
}

} // namespace
} // namespace lento
