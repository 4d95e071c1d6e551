#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "edit/SectionObject.h"
#include "full/FullVideoEditController.h"
#include "media/LivePlayback.h"
#include "media/PlayerView.h"
#include "preview/PreviewController.h"
#include "preview/PreviewWindowController.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTime>
#include <QToolButton>

#include <tuple>

namespace lento {
namespace {

using test::fixture;

class PreviewTest : public ::testing::Test {
protected:
    // An edit of `movie` with those Full Video choices.
    static SectionsStorage edit(const std::string& movie, const char* factor, bool removeAudio,
                                MotionMode motion = MotionMode::Hold) {
        EditState state = editOfVideo(QString::fromStdString(fixture(movie)), MediaTime::zero());
        state.fullVideo = {SpeedFactor::parse(factor).value_or(SpeedFactor()), !removeAudio,
                           motion};
        return SectionsStorage(state);
    }

    // Opens the preview on an edit of `movie`.
    std::unique_ptr<PreviewWindowController> preview(const std::string& movie, const char* factor,
                                                     bool removeAudio,
                                                     MotionMode motion = MotionMode::Hold) {
        auto window =
            std::make_unique<PreviewWindowController>(edit(movie, factor, removeAudio, motion));
        EXPECT_TRUE(test::waitUntil([&] {
            const Player* player = window->playerView()->player();
            return player != nullptr && player->status() == Player::Status::ReadyToPlay;
        }));
        return window;
    }

    // Exports the preview into the test's folder as `name`, recorded, not encoded.
    void exportPreview(PreviewWindowController& window, const QString& name) {
        PreviewController& controller = *window.previewController();
        test::answerAndExport(
            *controller.exportFlow(), [&] { controller.actionExport(); }, folder.path(), name, {},
            &offer);
    }

    test::Capture capture;
    test::TestFolder folder;
    test::SavePanelOffer offer;
};

TEST_F(PreviewTest, PlaysAtTheFactorAndExportsStretchedWithOrWithoutSound) {
    const test::RecordedExports recorded;
    const std::tuple<const char*, double, const char*, bool> cases[] = {
        {"2", 2, "0-20<0 ", true}, {"2.5", 2.5, "0-25<0 ", false}};
    for (const auto& [factor, speed, laid, removeAudio] : cases) {
        SCOPED_TRACE(factor);
        auto window = preview("clip.mp4", factor, removeAudio);
        Player& player = *window->playerView()->player();
        EXPECT_FLOAT_EQ(player.rate(), float(1.0 / speed));
        EXPECT_EQ(player.volume(), removeAudio ? 0.0f : 1.0f);
        EXPECT_EQ(player.currentItem()->audioTimePitchAlgorithm(),
                  PlayerItem::PitchAlgorithm::Default);
        const QString name = QStringLiteral("out%1.mp4").arg(QLatin1String(factor));
        exportPreview(*window, name);
        EXPECT_EQ(player.rate(), 0.0f);
        EXPECT_EQ(offer.name, "clip slow.mov");
        EXPECT_EQ(capture.questions.last(), exportedMovieMessage(name));
        EXPECT_EQ(offer.formats, QStringList({"mov", "3gp", "mp4"}));
        EXPECT_EQ(recorded.orders().back().destination, folder / name.toStdString());
        EXPECT_EQ(recorded.track(MediaType::Video), laid);
        EXPECT_EQ(recorded.track(MediaType::Audio), removeAudio ? "none" : laid);
    }
    EXPECT_EQ(folder.fileCount(), 0);
}

// The preview starts playing and its bar shows it; the bar pauses, seeks and plays the preview at
// its factor, follows a pause the bar did not make, and rewinds at the end. It tells the times of
// the slowed movie.
TEST_F(PreviewTest, TheControlBarPlaysPausesAndSeeksThePreview) {
    auto window = preview("clip.mp4", "2", false);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    VideoControlBar& bar = *window->controlBar();
    Player& player = *window->playerView()->player();
    EXPECT_TRUE(bar.m_btnPlay()->isEnabled());
    EXPECT_TRUE(bar.m_btnPlay()->isChecked());
    EXPECT_EQ(bar.m_lblEndTime()->text(), "00:00:20");
    EXPECT_TRUE(test::waitUntil([&] { return bar.m_trackSeeker()->x() > 0; }));

    bar.m_btnPlay()->click();
    EXPECT_EQ(player.rate(), 0.0f);
    EXPECT_EQ(bar.monitorVideoTimer(), nullptr);
    // The playhead dragged to the track's middle.
    const QWidget* seeker = bar.m_videoSeeker();
    const QRect track = bar.m_videoTrack()->geometry();
    const auto at = [&](QPoint point) { return seeker->mapTo(window.get(), point); };
    QWindow* handle = window->windowHandle();
    QTest::mousePress(handle, Qt::LeftButton, {}, at(bar.m_trackSeeker()->geometry().center()));
    const QPoint middle(track.x() + track.width() / 2,
                        bar.m_trackSeeker()->geometry().center().y());
    QTest::mouseEvent(QTest::MouseMove, handle, Qt::NoButton, {}, at(middle));
    QTest::mouseRelease(handle, Qt::LeftButton, {}, at(middle));
    EXPECT_NEAR(player.currentTime().seconds(), 5.0, 0.1);
    // 5 s into the source is 10 s into the movie slowed twice.
    const QString shown = bar.m_lblStartTime()->text();
    EXPECT_NEAR(QTime::fromString(shown, "hh:mm:ss.zzz").msecsSinceStartOfDay(), 10000, 200);
    EXPECT_TRUE(bar.m_trackSeeker()->toolTip().startsWith(shown + ", frame "));

    bar.m_btnPlay()->click();
    EXPECT_FLOAT_EQ(player.rate(), 0.5f);
    EXPECT_EQ(player.volume(), 1.0f);
    EXPECT_NE(bar.monitorVideoTimer(), nullptr);
    player.pause(); // as an export does
    EXPECT_FALSE(bar.m_btnPlay()->isChecked());
    EXPECT_EQ(bar.monitorVideoTimer(), nullptr);

    player.seek(MediaTime::make(9800, 1000));
    bar.m_btnPlay()->click();
    EXPECT_TRUE(test::waitUntil([&] { return !bar.m_btnPlay()->isChecked(); }));
    EXPECT_EQ(player.currentTime().seconds(), 0.0);
    EXPECT_EQ(bar.m_lblStartTime()->text(), "00:00:00.000");
}

// Smooth or blended, the preview shows the export's pictures at the player's place: while
// playing, pictures of the export's 30 fps grid, made between the source's (every fourth at x4),
// at the size they play at; paused, the export's own picture at the playhead, at full size.
TEST_F(PreviewTest, ShowsTheExportsPicturesWhilePlayingAndPaused) {
    for (const MotionMode motion : {MotionMode::Smooth, MotionMode::Blend}) {
        SCOPED_TRACE(motionModeName(motion).data());
        auto window = preview("short.mp4", "4", true, motion);
        PlayerView& view = *window->playerView();
        Player& player = *view.player();
        LivePlayback& live = *view.livePlayback();
        constexpr int64_t kOutputPicture = kVideoTimescale / 30;
        bool made = false;
        EXPECT_TRUE(test::waitUntil([&] {
            const int64_t shown = live.shownTime().convertScale(kVideoTimescale).value;
            if (live.shownTime().isValid()) {
                EXPECT_EQ(shown % kOutputPicture, 0) << "off the grid at " << shown;
                EXPECT_EQ(view.livePicture().size(), QSize(320, 240));
                made = made || shown % (4 * kOutputPicture) != 0;
            }
            return made;
        }));
        EXPECT_FLOAT_EQ(player.rate(), 0.25f);
        window->controlBar()->m_btnPlay()->click();
        EXPECT_EQ(player.rate(), 0.0f);
        player.seek(MediaTime::make(1, 1));
        EXPECT_TRUE(test::waitUntil([&] {
            const MediaTime clock = live.outputClock();
            return clock.isValid() && live.shownTime().isValid() &&
                   live.shownTime().convertScale(kVideoTimescale).value ==
                       clock.convertScale(kVideoTimescale).value / kOutputPicture * kOutputPicture;
        }));
        EXPECT_NEAR(live.outputClock().seconds(), 4.0, 4.0 / 30);
        EXPECT_EQ(live.shownSize(), QSize(320, 240));
    }
}

TEST_F(PreviewTest, EmptyUntilTheOpenerCarriesTheTabsSettingsAndClosingEndsTheModalSession) {
    {
        PreviewWindowController empty; // no edit
        EXPECT_EQ(empty.playerView()->player(), nullptr);
        EXPECT_FALSE(empty.exportButton()->isEnabled());
        empty.previewController()->actionExport(); // nothing to export: no panel
        EXPECT_EQ(empty.previewController()->savePanel(), nullptr);
    }
    MainWindow main;
    main.appDelegate()->applicationDidFinishLaunching();
    FullVideoEditController& editor = *main.fullVideoEditController();
    EXPECT_FALSE(editor.m_btnPreview()->isEnabled());
    ASSERT_TRUE(test::dropAndWait(editor, fixture("clip.mp4")));
    EXPECT_TRUE(editor.m_btnPreview()->isEnabled());
    editor.m_comboSpeed()->setCurrentIndex(3);
    editor.m_comboMotion()->setCurrentIndex(1);
    editor.m_chkRemoveAudio()->click();
    editor.m_VideoControlBar()->m_btnPlay()->click();
    editor.m_btnPreview()->click();

    EXPECT_EQ(editor.m_VideoPlayer()->player()->rate(), 0.0f);
    EXPECT_FALSE(editor.m_VideoControlBar()->m_btnPlay()->isChecked());
    ASSERT_NE(editor.previewWindow(), nullptr);
    EXPECT_TRUE(editor.previewWindow()->isInModalSession());
    Player* previewing = editor.previewWindow()->playerView()->player();
    ASSERT_TRUE(
        test::waitUntil([&] { return previewing->status() == Player::Status::ReadyToPlay; }));
    EXPECT_FLOAT_EQ(previewing->rate(), 0.25f);
    EXPECT_EQ(previewing->volume(), 0.0f);

    PreviewWindowController& window = *editor.previewWindow();
    QSignalSpy ended(&window, &PreviewWindowController::modalSessionEnded);
    window.closeButton()->click();
    EXPECT_EQ(ended.count(), 1);
    EXPECT_FALSE(window.isVisible());
    window.runModal();
    window.close();
    EXPECT_EQ(ended.count(), 2);
}

} // namespace
} // namespace lento
