#include "full/FullVideoEditController.h"
#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "controls/PlayerLoading.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QUndoStack>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

namespace lento {
namespace {

using test::fixture;
using namespace std::chrono_literals;
using test::fileUrl;

class FullVideoEditControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        window->appDelegate()->applicationDidFinishLaunching();
        editor = window->fullVideoEditController();
        bar = editor->m_VideoControlBar();
    }

    Player* player() const { return editor->m_VideoPlayer()->player(); }
    void load(const std::string& name) {
        ASSERT_TRUE(test::dropAndWait(*editor, fixture(name))) << name;
    }

    void play() {
        bar->m_btnPlay()->click();
        ASSERT_TRUE(bar->m_btnPlay()->isChecked());
    }

    test::Capture capture;
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();
    FullVideoEditController* editor = nullptr;
    VideoControlBar* bar = nullptr;
};

TEST_F(FullVideoEditControllerTest, StartsEmptyWithItsControlsDisabledUntilAVideoIsReady) {
    EXPECT_EQ(editor->m_comboMotion()->currentText(), "Hold Frames");
    EXPECT_FALSE(editor->m_comboMotion()->isEnabled());
    EXPECT_FALSE(bar->m_btnPlay()->isEnabled());
    EXPECT_FALSE(editor->m_comboSpeed()->isEnabled());
    EXPECT_FALSE(editor->m_chkRemoveAudio()->isEnabled());
    EXPECT_FALSE(editor->m_btnExport()->isEnabled());
    EXPECT_TRUE(bar->m_leftHandle()->isHidden());
    EXPECT_TRUE(bar->m_rightHandle()->isHidden());
    // A speed change without a video is ignored.
    editor->m_comboSpeed()->setCurrentIndex(3);
    EXPECT_EQ(bar->curRate(), 0.0f);

    editor->fileDropped(fileUrl(fixture("clip.mp4")));
    // The status is observed at once, then again when it changes.
    ASSERT_TRUE(test::waitUntil([&] { return player() != nullptr; }));
    EXPECT_TRUE(capture.logged("UnKnown"));
    ASSERT_TRUE(test::waitUntil([&] { return bar->m_btnPlay()->isEnabled(); }));
    EXPECT_TRUE(editor->m_comboSpeed()->isEnabled());
    EXPECT_TRUE(editor->m_comboMotion()->isEnabled());
    EXPECT_TRUE(editor->m_btnExport()->isEnabled());
    EXPECT_EQ(bar->m_lblEndTime()->text(), "00:00:10");
    EXPECT_EQ(bar->m_lblStartTime()->text(), "00:00:00.000");
    EXPECT_TRUE(capture.logged("10.000000l"));
    EXPECT_EQ(bar->curRate(), 1.0f);
}

TEST_F(FullVideoEditControllerTest, ARefusedFileIsExplainedAndLeavesTheLoadedVideoPlaying) {
    load("clip.mp4");
    play();
    ASSERT_TRUE(test::waitUntil([&] { return player()->rate() > 0; }));
    Player* playing = player();
    test::TestFolder folder;
    const std::string locked = folder / "locked.mp4";
    std::filesystem::copy_file(fixture("clip.mp4"), locked);
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    const QString invalid = "Invalid file!\n This software only supports 3gp, Mov, and Mp4.";
    std::vector<std::pair<std::string, QString>> refused = {
        {folder / "missing.mp4", "The file could not be found."},
        {folder.path(), "The file could not be read."}};
    // The extensions turned away, and one file that is no movie (the asset's test has the rest).
    for (const char* name : {"clip.avi", "clip.wmv", "text.mov"}) {
        refused.emplace_back(fixture(name), invalid);
    }
    if (geteuid() != 0) { // root reads it all the same
        refused.emplace_back(locked, "The file could not be read.");
    }
    for (const auto& [path, message] : refused) {
        SCOPED_TRACE(path);
        capture.clear();
        editor->fileDropped(fileUrl(path));
        ASSERT_TRUE(test::waitUntil([&] { return !capture.alerts.isEmpty(); }));
        EXPECT_TRUE(capture.logged("No Playable"));
        EXPECT_EQ(capture.alerts, QStringList{message});
        EXPECT_EQ(player(), playing);
        EXPECT_EQ(editor->videoPath(), fileUrl(fixture("clip.mp4")));
        EXPECT_GT(player()->rate(), 0.0f);
    }
    capture.clear();
    // The rejected extensions are compared exactly; any playable file is taken.
    load("clip.AVI");
    load("clip.m4v");
    load("audio.m4a");
    EXPECT_TRUE(capture.alerts.isEmpty());
}

// A pipe stands for a slow disk: reading it waits until a writer comes.
TEST_F(FullVideoEditControllerTest, AFileIsProbedOffTheMainThreadAndOnlyTheLastOpenLoads) {
    test::TestFolder folder;
    const std::string slow = folder / "slow.mp4";
    ASSERT_EQ(mkfifo(slow.c_str(), 0600), 0);
    std::atomic<bool> written{false};
    auto writeNothing = [&](std::future<void> go) {
        go.wait_for(5s); // a probe on the main thread waits for this writer
        close(open(slow.c_str(), O_WRONLY));
        written = true;
    };
    std::promise<void> go;
    std::thread writer(writeNothing, go.get_future());
    editor->fileDropped(fileUrl(slow));
    EXPECT_FALSE(written);
    load("clip.mp4");
    go.set_value();
    writer.join();
    test::spinEvents(300ms);
    EXPECT_TRUE(capture.alerts.isEmpty());
    EXPECT_EQ(editor->videoPath(), fileUrl(fixture("clip.mp4")));

    // Nor does a probe outlive the window it was for.
    std::promise<void> again;
    std::thread late(writeNothing, again.get_future());
    editor->fileDropped(fileUrl(slow));
    window.reset();
    again.set_value();
    late.join();
    test::spinEvents(300ms);
    EXPECT_TRUE(capture.alerts.isEmpty());
}

// Played to its end, the video stops and rewinds.
TEST_F(FullVideoEditControllerTest, PlayedToItsEndTheVideoStopsAndRewinds) {
    load("clip.mp4");
    editor->m_comboSpeed()->setCurrentIndex(3);
    play();
    EXPECT_FLOAT_EQ(player()->rate(), 0.25f);
    player()->seek(MediaTime::make(97, 10));
    ASSERT_TRUE(test::waitUntil([&] { return !bar->m_btnPlay()->isChecked(); }, 5s));
    EXPECT_EQ(bar->m_lblStartTime()->text(), "00:00:00.000");
    EXPECT_EQ(bar->monitorVideoTimer(), nullptr);
    EXPECT_EQ(player()->rate(), 0.0f);
    EXPECT_LT(player()->currentTime().seconds(), 0.2);
}

TEST_F(FullVideoEditControllerTest, TheSoundSwitchAndTheVolumeSlider) {
    load("clip.mp4");
    bar->m_ctrlVolumn()->setValue(bar->m_ctrlVolumn()->maximum() / 2);
    play();
    EXPECT_NEAR(player()->volume(), 0.5f, 0.01f);
    editor->m_chkRemoveAudio()->click();
    EXPECT_TRUE(capture.logged("selected"));
    EXPECT_EQ(player()->volume(), 0.0f);
    EXPECT_FALSE(editor->volumnOnOff());
    // With the sound removed, the slider changes nothing.
    bar->m_ctrlVolumn()->setValue(bar->m_ctrlVolumn()->maximum());
    bar->actionVolumnControl();
    EXPECT_EQ(player()->volume(), 0.0f);
    editor->m_chkRemoveAudio()->click();
    EXPECT_TRUE(capture.logged("not selected"));
    EXPECT_NEAR(player()->volume(), 1.0f, 0.01f);
    bar->m_ctrlVolumn()->setValue(bar->m_ctrlVolumn()->maximum() / 4);
    bar->actionVolumnControl();
    EXPECT_NEAR(player()->volume(), 0.25f, 0.01f);
}

TEST_F(FullVideoEditControllerTest, ASecondFileWhilePlayingResetsSpeedAndSwitchWhenReady) {
    load("clip.mp4");
    editor->m_comboSpeed()->setCurrentIndex(4);
    editor->m_chkRemoveAudio()->click();
    play();
    Player* first = player();
    // The changed edit is set aside unsaved.
    dialogs::Responder dontSave;
    dontSave.question = [](const QString&, const QStringList& buttons) {
        return static_cast<int>(buttons.indexOf("Don't Save"));
    };
    dialogs::setResponder(std::move(dontSave));
    editor->fileDropped(fileUrl(fixture("clip.mov")));
    // The rate goes back to 1 with the new player; the controls when it is ready.
    ASSERT_TRUE(test::waitUntil([&] { return player() != first; }));
    EXPECT_EQ(bar->curRate(), 1.0f);
    EXPECT_EQ(bar->m_Player(), player());
    EXPECT_EQ(editor->m_comboSpeed()->currentIndex(), 4);
    ASSERT_TRUE(test::waitUntil([&] { return player()->status() == Player::Status::ReadyToPlay; }));
    EXPECT_EQ(editor->m_comboSpeed()->currentIndex(), 0);
    EXPECT_FALSE(editor->m_chkRemoveAudio()->isChecked());
    EXPECT_EQ(editor->videoPath(), fileUrl(fixture("clip.mov")));
    play();
    EXPECT_TRUE(test::waitUntil([&] { return player()->currentTime().seconds() > 0.0; }));
}

TEST_F(FullVideoEditControllerTest, SpaceTogglesPlaybackUnlessATextFieldHasTheFocus) {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    load("clip.mp4");
    editor->m_comboSpeed()->setFocus();
    QTest::keyClick(editor->m_comboSpeed(), Qt::Key_Space);
    EXPECT_TRUE(bar->m_btnPlay()->isChecked());
    QTest::keyClick(editor->m_comboSpeed(), Qt::Key_Space);
    EXPECT_FALSE(bar->m_btnPlay()->isChecked());

    QLineEdit field(editor->view());
    field.show();
    field.setFocus();
    QTest::keyClick(&field, Qt::Key_Space);
    EXPECT_FALSE(bar->m_btnPlay()->isChecked());
    EXPECT_EQ(field.text(), " ");
}

// Each choice is one step; undone and redone, the choosers, the rate and the sound follow.
TEST_F(FullVideoEditControllerTest, ChoicesAreStepsThatTheControlsAndPlaybackFollowThroughUndo) {
    load("clip.mp4");
    play();
    QUndoStack& steps = *window->document()->undoStack();
    const auto shown = [&] {
        return QStringList({editor->m_comboSpeed()->currentText(),
                            editor->m_chkRemoveAudio()->isChecked() ? "muted" : "sound",
                            editor->m_comboMotion()->currentText(),
                            QString::number(player()->rate()),
                            player()->volume() == 0.0f ? "silent" : "audible"});
    };
    const QStringList start = shown();
    editor->m_comboSpeed()->setCurrentIndex(2);
    editor->m_chkRemoveAudio()->click();
    editor->m_comboMotion()->setCurrentIndex(2);
    const QStringList end = shown();
    EXPECT_EQ(end, QStringList({"3x Slower", "muted", "Smooth Motion", QString::number(1.0f / 3.0f),
                                "silent"}));
    ASSERT_EQ(steps.count(), 3);
    EXPECT_EQ(window->undoAction()->text(), "Undo Change Full Video Settings");
    while (steps.canUndo()) {
        steps.undo();
    }
    EXPECT_EQ(shown(), start);
    EXPECT_EQ(window->document()->state().fullVideo, FullVideoState{});
    while (steps.canRedo()) {
        steps.redo();
    }
    EXPECT_EQ(shown(), end);
}

} // namespace
} // namespace lento
