#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "edit/SectionObject.h"
#include "full/FullVideoEditController.h"
#include "media/PlayerView.h"
#include "preview/PreviewController.h"
#include "preview/PreviewWindowController.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTime>
#include <QToolButton>

#include <filesystem>
#include <tuple>

namespace lento {
namespace {

using test::fixture;
using namespace std::chrono_literals;

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
        // A smooth copy to render comes first; rendering it takes a while.
        EXPECT_TRUE(test::waitUntil(
            [&] {
                const Player* player = window->playerView()->player();
                return player != nullptr && player->status() == Player::Status::ReadyToPlay;
            },
            60s));
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
// the slowed movie, as the smooth preview's copy has them.
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

// The smooth copy is rendered into the cache once, reduced, already slowed and with its sound,
// and played as it is; the next preview of the same movie and settings plays it at once.
TEST_F(PreviewTest, SmoothPlaysARenderedCopyThatTheNextPreviewReuses) {
    const QString source = QString::fromStdString(fixture("short.mp4"));
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(folder.path()));
    const QString copy = smoothPreviewPath(source, SpeedFactor::whole(2), false);
    ASSERT_EQ(copy.toStdString().rfind(folder.path() + "/lento/", 0), 0u);
    {
        auto window = preview("short.mp4", "2", false, MotionMode::Smooth);
        Player& player = *window->playerView()->player();
        EXPECT_EQ(player.currentItem()->asset()->path(), copy.toStdString());
        EXPECT_FLOAT_EQ(player.rate(), 1.0f);
        EXPECT_TRUE(window->progressBar()->isHidden());
        const VideoControlBar& bar = *window->controlBar();
        ASSERT_TRUE(test::waitUntil([&] { return bar.m_btnPlay()->isEnabled(); }));
        EXPECT_EQ(bar.m_lblEndTime()->text(), "00:00:04");
        // Exports still read the source.
        const test::RecordedExports recorded;
        exportPreview(*window, QStringLiteral("out.mp4"));
        ASSERT_EQ(recorded.orders().size(), 1u);
        EXPECT_EQ(recorded.orders().back().source->path(), source.toStdString());
        EXPECT_EQ(recorded.track(MediaType::Video), "0-4<0 ");
    }
    const auto probe = test::probe(copy.toStdString());
    ASSERT_TRUE(probe.video() != nullptr && probe.audio() != nullptr);
    EXPECT_LE(probe.video()->width, 640);
    EXPECT_NEAR(probe.durationSeconds, 4.0, 0.1);
    const auto rendered = std::filesystem::last_write_time(copy.toStdString());

    auto again = std::make_unique<PreviewWindowController>(
        edit("short.mp4", "2", false, MotionMode::Smooth));
    EXPECT_EQ(again->previewController()->previewRender(), nullptr);
    ASSERT_NE(again->playerView()->player(), nullptr);
    EXPECT_EQ(again->playerView()->player()->currentItem()->asset()->path(), copy.toStdString());
    EXPECT_EQ(std::filesystem::last_write_time(copy.toStdString()), rendered);
    // Other settings make another copy.
    EXPECT_NE(smoothPreviewPath(source, *SpeedFactor::parse("2.5"), false), copy);
    EXPECT_NE(smoothPreviewPath(source, SpeedFactor::whole(2), true), copy);
    qunsetenv("XDG_CACHE_HOME");
}

// Past its bound the cache loses its least recently played copies first: a copy rendered long
// ago but played lately stays, as does the copy about to play and anything that is no copy.
TEST_F(PreviewTest, TheCacheLosesItsLeastRecentlyPlayedCopiesFirst) {
    const QString cache = QString::fromStdString(folder.path());
    const QDateTime now = QDateTime::currentDateTime();
    auto make = [&](const QString& name, qint64 bytes, int hoursAgo, int playedHoursAgo) {
        QFile file(cache + QLatin1Char('/') + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        EXPECT_EQ(file.write(QByteArray(bytes, 'x')), bytes);
        EXPECT_TRUE(file.flush());
        EXPECT_TRUE(
            file.setFileTime(now.addSecs(-3600 * hoursAgo), QFileDevice::FileModificationTime));
        EXPECT_TRUE(
            file.setFileTime(now.addSecs(-3600 * playedHoursAgo), QFileDevice::FileAccessTime));
        return file.fileName();
    };
    const QString oldest = make(QString(32, QLatin1Char('0')) + ".mp4", 100, 9, 9);
    const QString played = make(QString(32, QLatin1Char('1')) + ".mp4", 100, 8, 0);
    const QString older = make(QString(32, QLatin1Char('2')) + ".mp4", 100, 7, 7);
    const QString newer = make(QString(32, QLatin1Char('3')) + ".mp4", 100, 6, 6);
    const QString other = make(QStringLiteral("notes.mp4"), 1000, 10, 10);
    trimPreviewCache(cache, 250, oldest);
    for (const auto& [path, kept] :
         {std::pair{oldest, true}, std::pair{played, true}, std::pair{older, false},
          std::pair{newer, false}, std::pair{other, true}}) {
        EXPECT_EQ(QFileInfo::exists(path), kept) << path.toStdString();
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
