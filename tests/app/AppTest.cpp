#include "app/AppDelegate.h"
#include "app/Dialogs.h"
#include "app/DragAndDropView.h"
#include "app/MainWindow.h"
#include "full/FullVideoEditController.h"
#include "sections/SectionEditController.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QMimeData>
#include <QTabWidget>

namespace lento {
namespace {

using test::fixture;

class RecordingDropDelegate : public DragAndDropViewDelegate {
public:
    void fileDropped(const QUrl& url) override { dropped.push_back(url); }
    std::vector<QUrl> dropped;
};

QUrl fileUrl(const std::string& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path));
}

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

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureQtApp();
        Player::setHeadless(true);
        window = std::make_unique<MainWindow>();
        window->appDelegate()->applicationDidFinishLaunching();
    }
    void TearDown() override { dialogs::setResponder({}); }

    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, TheWindowHasItsTabsAndRoutesFilesByTheSelectedTabsLabel) {
    EXPECT_EQ(window->windowTitle(), "Lento");
    QTabWidget& tabs = *window->tabView();
    ASSERT_EQ(tabs.count(), 2);
    EXPECT_EQ(tabs.tabText(0), "Full Video");
    EXPECT_EQ(tabs.widget(0), window->fullVideoEditController()->view());
    EXPECT_EQ(tabs.widget(1), window->sectionEditController()->view());

    const QUrl clip = fileUrl(fixture("clip.mp4"));
    tabs.setCurrentIndex(1);
    window->appDelegate()->openVideoFile(clip);
    EXPECT_EQ(window->sectionEditController()->videoPath(), clip);
    EXPECT_TRUE(window->fullVideoEditController()->videoPath().isEmpty());

    tabs.setCurrentIndex(0);
    window->appDelegate()->openVideoFile(clip);
    EXPECT_EQ(window->fullVideoEditController()->videoPath(), clip);

    // The route follows the label, not the position.
    tabs.setTabText(0, "Full video");
    const QUrl other = fileUrl(fixture("clip.mov"));
    window->appDelegate()->openVideoFile(other);
    EXPECT_EQ(window->sectionEditController()->videoPath(), other);
}

TEST_F(MainWindowTest, MenuImportLoadsAfterThePanelHasClosedAndCancelDoesNothing) {
    QStringList offered;
    int answer = dialogs::kResponseCancel;
    const QUrl clip = fileUrl(fixture("clip.mp4"));
    dialogs::setResponder({{}, [&](const QStringList& types) {
                               offered = types;
                               return std::make_pair(answer, clip);
                           }});
    window->appDelegate()->actionImportVideo();
    EXPECT_EQ(offered, QStringList({"mov", "3gp", "mp4"}));
    test::spinEvents(std::chrono::milliseconds(50));
    EXPECT_TRUE(window->fullVideoEditController()->videoPath().isEmpty());

    answer = dialogs::kResponseOK;
    window->appDelegate()->actionImportVideo();
    // Not during the panel's completion: on a later pass of the event loop.
    EXPECT_TRUE(window->fullVideoEditController()->videoPath().isEmpty());
    EXPECT_TRUE(
        test::waitUntil([&] { return !window->fullVideoEditController()->videoPath().isEmpty(); }));
    EXPECT_EQ(window->fullVideoEditController()->videoPath(), clip);
}

TEST_F(MainWindowTest, NewEditionShowsAHiddenWindowWithItsVideo) {
    window->fullVideoEditController()->fileDropped(fileUrl(fixture("clip.mp4")));
    window->hide();
    window->appDelegate()->actionNewEdition();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->fullVideoEditController()->videoPath(), fileUrl(fixture("clip.mp4")));
    window->appDelegate()->actionNewEdition();
    EXPECT_TRUE(window->isVisible());
}

} // namespace
} // namespace lento
