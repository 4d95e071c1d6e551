#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "full/FullVideoEditController.h"
#include "media/PlayerView.h"
#include "preview/PreviewController.h"
#include "preview/PreviewWindowController.h"
#include "sections/SectionObject.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>

namespace lento {
namespace {

using test::fixture;

class PreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        SectionsStorage& storage = SectionsStorage::sharedStorage();
        storage.setIsFullSection(false);
        storage.setFullSection(nullptr);
        storage.setFullSectionURL({});
    }

    // Stores a full section for `movie` and opens the preview on it.
    std::unique_ptr<PreviewWindowController> preview(const std::string& movie, int64_t speed,
                                                     bool removeAudio) {
        auto section = std::make_shared<SectionObject>();
        section->initWithName({}, MediaTime::zero(), MediaTime::zero(), speed, !removeAudio);
        SectionsStorage& storage = SectionsStorage::sharedStorage();
        storage.setFullSectionURL(QString::fromStdString(fixture(movie)));
        storage.setFullSection(section);
        storage.setIsFullSection(true);
        auto window = std::make_unique<PreviewWindowController>();
        Player* player = window->playerView()->player();
        EXPECT_TRUE(player != nullptr && test::waitUntil([&] {
                        return player->status() == Player::Status::ReadyToPlay;
                    }));
        return window;
    }

    // Exports the preview into the test's folder as `name`; the probe of the result.
    test::ProbeResult exportPreview(PreviewWindowController& window, const QString& name) {
        PreviewController& controller = *window.previewController();
        test::answerAndExport(
            *controller.exportFlow(), [&] { controller.actionExport(); }, folder.path(), name, {},
            &offer);
        return test::probe(folder / name.toStdString());
    }

    test::Capture capture;
    test::TestFolder folder;
    test::SavePanelOffer offer;
};

TEST_F(PreviewTest, WithNothingStoredTheWindowIsEmpty) {
    PreviewWindowController window;
    EXPECT_EQ(window.playerView()->player(), nullptr);
    EXPECT_FALSE(window.exportButton()->isEnabled());
    window.previewController()->actionExport(); // nothing to export: no panel
    EXPECT_EQ(window.previewController()->savePanel(), nullptr);
}

TEST_F(PreviewTest, PlaysAtTheFactorAndExportsStretchedWithOrWithoutSound) {
    const std::pair<int, bool> cases[] = {{1, false}, {2, true}, {3, false}};
    for (const auto& [speed, removeAudio] : cases) {
        SCOPED_TRACE(speed);
        auto window = preview("clip.mp4", speed, removeAudio);
        Player& player = *window->playerView()->player();
        EXPECT_FLOAT_EQ(player.rate(), 1.0f / speed);
        EXPECT_EQ(player.volume(), removeAudio ? 0.0f : 1.0f);
        EXPECT_EQ(player.currentItem()->audioTimePitchAlgorithm(),
                  PlayerItem::PitchAlgorithm::Default);
        const auto probe = exportPreview(*window, QStringLiteral("out%1.mp4").arg(speed));
        EXPECT_EQ(player.rate(), 0.0f);
        EXPECT_EQ(offer.name, "Untitled.mov");
        EXPECT_EQ(offer.formats, QStringList({"mov", "3gp", "mp4"}));
        EXPECT_NEAR(probe.durationSeconds, 10.0 * speed, 0.1);
        EXPECT_EQ(probe.audio() == nullptr, removeAudio);
    }
}

TEST_F(PreviewTest, ClosingEitherWayEndsTheModalSession) {
    auto window = preview("clip.mp4", 1, false);
    QSignalSpy ended(window.get(), &PreviewWindowController::modalSessionEnded);
    window->runModal();
    window->closeButton()->click();
    EXPECT_EQ(ended.count(), 1);
    EXPECT_FALSE(window->isVisible());
    window->runModal();
    window->close();
    EXPECT_EQ(ended.count(), 2);
}

TEST_F(PreviewTest, TheOpenerCarriesTheTabsFactorAndSoundSwitch) {
    MainWindow main;
    main.appDelegate()->applicationDidFinishLaunching();
    FullVideoEditController& editor = *main.fullVideoEditController();
    EXPECT_FALSE(editor.m_btnPreview()->isEnabled());
    ASSERT_TRUE(test::dropAndWait(editor, fixture("clip.mp4")));
    EXPECT_TRUE(editor.m_btnPreview()->isEnabled());
    editor.m_comboSpeed()->setCurrentIndex(3);
    editor.m_chkRemoveAudio()->click();
    editor.m_VideoControlBar()->m_btnPlay()->click();
    editor.m_btnPreview()->click();

    EXPECT_EQ(editor.m_VideoPlayer()->player()->rate(), 0.0f);
    EXPECT_FALSE(editor.m_VideoControlBar()->m_btnPlay()->isChecked());
    const SectionsStorage& storage = SectionsStorage::sharedStorage();
    EXPECT_TRUE(storage.isFullSection());
    EXPECT_EQ(storage.fullSectionURL().toStdString(), fixture("clip.mp4"));
    ASSERT_NE(storage.fullSection(), nullptr);
    EXPECT_EQ(storage.fullSection()->speed(), 4);
    EXPECT_TRUE(storage.fullSection()->removeAudio());
    ASSERT_NE(editor.previewWindow(), nullptr);
    EXPECT_TRUE(editor.previewWindow()->isInModalSession());
    Player* previewing = editor.previewWindow()->playerView()->player();
    ASSERT_TRUE(
        test::waitUntil([&] { return previewing->status() == Player::Status::ReadyToPlay; }));
    EXPECT_FLOAT_EQ(previewing->rate(), 0.25f);
    EXPECT_EQ(previewing->volume(), 0.0f);
    editor.previewWindow()->close();
}

} // namespace
} // namespace lento
