#include "app/AppDelegate.h"
#include "app/Dialogs.h"
#include "app/DragAndDropView.h"
#include "app/MainWindow.h"
#include "full/FullVideoEditController.h"
#include "sections/SectionEditController.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>

namespace lento {
namespace {

using test::fileUrl;
using test::fixture;

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

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<MainWindow>();
        window->appDelegate()->applicationDidFinishLaunching();
    }

    test::Capture capture;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest,
       FilesGoByTheSelectedTabsLabelTheTitleNamesItsVideoAndNewEditionShowsTheWindow) {
    EXPECT_EQ(window->windowTitle(), "Lento");
    QTabWidget& tabs = *window->tabView();
    ASSERT_EQ(tabs.count(), 2);
    EXPECT_EQ(tabs.tabText(0), "Full Video");
    EXPECT_EQ(tabs.widget(0), window->fullVideoEditController()->view());
    EXPECT_EQ(tabs.widget(1), window->sectionEditController()->view());
    const FullVideoEditController& full = *window->fullVideoEditController();
    const SectionEditController& sections = *window->sectionEditController();

    const QUrl clip = fileUrl(fixture("clip.mp4"));
    tabs.setCurrentIndex(1);
    window->appDelegate()->openVideoFile(clip);
    ASSERT_TRUE(test::waitUntil([&] { return sections.videoPath() == clip; }));
    EXPECT_TRUE(full.videoPath().isEmpty());
    EXPECT_EQ(window->windowTitle(), "clip.mp4 \u2014 Lento");
    // The title follows the visible tab's video.
    tabs.setCurrentIndex(0);
    EXPECT_EQ(window->windowTitle(), "Lento");

    const QUrl movie = fileUrl(fixture("clip.mov"));
    window->appDelegate()->openVideoFile(movie);
    ASSERT_TRUE(test::waitUntil([&] { return full.videoPath() == movie; }));
    EXPECT_EQ(window->windowTitle(), "clip.mov \u2014 Lento");
    tabs.setCurrentIndex(1);
    EXPECT_EQ(window->windowTitle(), "clip.mp4 \u2014 Lento");

    // The route follows the label, not the position.
    tabs.setCurrentIndex(0);
    tabs.setTabText(0, "Full video");
    const QUrl other = fileUrl(fixture("clip.m4v"));
    window->appDelegate()->openVideoFile(other);
    EXPECT_TRUE(test::waitUntil([&] { return sections.videoPath() == other; }));

    // A new edition brings the hidden window back with the videos it held.
    window->hide();
    window->appDelegate()->actionNewEdition();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(full.videoPath(), movie);
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
    EXPECT_TRUE(
        test::waitUntil([&] { return !window->fullVideoEditController()->videoPath().isEmpty(); }));
    EXPECT_EQ(window->fullVideoEditController()->videoPath(), clip);
}

// Exports pause the player themselves, not through the bar; its button must still follow.
TEST_F(MainWindowTest, AfterACancelledExportThePlayButtonShowsThePausedPlayerInEitherTab) {
    test::TestFolder folder;
    test::answerSavePanel(dialogs::kResponseCancel, folder.path(), "nothing.mp4");
    FullVideoEditController& full = *window->fullVideoEditController();
    SectionEditController& sections = *window->sectionEditController();
    ASSERT_TRUE(test::dropAndWait(full, fixture("clip.mp4")));
    ASSERT_TRUE(test::dropAndWait(sections, fixture("clip.mp4")));
    sections.actionAddOneSection();
    sections.m_tableViewOfSection()->selectRow(0);
    auto exportAndCancel = [](auto& editor, QPushButton* exportButton) {
        SCOPED_TRACE(exportButton->text().toStdString());
        QToolButton* play = editor.m_VideoControlBar()->m_btnPlay();
        play->click();
        ASSERT_GT(editor.m_VideoPlayer()->player()->rate(), 0.0f);
        exportButton->click();
        test::spinEvents(std::chrono::milliseconds(100));
        EXPECT_EQ(editor.m_VideoPlayer()->player()->rate(), 0.0f);
        EXPECT_FALSE(play->isChecked());
        EXPECT_EQ(editor.m_VideoControlBar()->monitorVideoTimer(), nullptr);
        play->click(); // one press plays again
        EXPECT_GT(editor.m_VideoPlayer()->player()->rate(), 0.0f);
        play->click();
    };
    exportAndCancel(full, full.m_btnExport());
    exportAndCancel(sections, sections.m_btnFullExport());
    exportAndCancel(sections, sections.m_btnSectionExport());
    EXPECT_EQ(folder.fileCount(), 0);
}

} // namespace
} // namespace lento
