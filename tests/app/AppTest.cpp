#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "base/Dialogs.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "edit/SectionRules.h"
#include "full/FullVideoEditController.h"
#include "media/PlayerView.h"
#include "media/TrackOverview.h"
#include "sections/SectionEditController.h"
#include "support/EditorTesting.h"
#include "support/ExportTesting.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeDatabase>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

namespace lento {
namespace {

using test::fileUrl;
using test::fixture;

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<MainWindow>();
        window->appDelegate()->applicationDidFinishLaunching();
    }

    // The window shown and active, on the Sections tab with clip.mp4 loaded.
    SectionEditController& showSectionsWithClip() {
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        window->tabView()->setCurrentIndex(1);
        SectionEditController& sections = *window->sectionEditController();
        EXPECT_TRUE(test::dropAndWait(sections, fixture("clip.mp4")));
        return sections;
    }

    test::Capture capture;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest,
       FilesGoByTheSelectedTabsLabelTheTitleNamesItsVideoAndNewEditionShowsTheWindow) {
    EXPECT_EQ(window->windowTitle(), "Lento[*]");
    QTabWidget& tabs = *window->tabView();
    ASSERT_EQ(tabs.count(), 2);
    EXPECT_EQ(tabs.tabText(0), "Full Video");
    EXPECT_EQ(tabs.widget(0), window->fullVideoEditController()->view());
    EXPECT_EQ(tabs.widget(1), window->sectionEditController()->view());
    const FullVideoEditController& full = *window->fullVideoEditController();
    const SectionEditController& sections = *window->sectionEditController();

    // Either tab loads the edit's one video, and both show it.
    const QUrl clip = fileUrl(fixture("clip.mp4"));
    tabs.setCurrentIndex(1);
    window->appDelegate()->openVideoFile(clip);
    ASSERT_TRUE(
        test::waitUntil([&] { return sections.videoPath() == clip && full.videoPath() == clip; }));
    EXPECT_EQ(window->document()->state().source.path.toStdString(), fixture("clip.mp4"));
    EXPECT_EQ(window->windowTitle(), "clip.mp4[*] \u2014 Lento");
    const QUrl movie = fileUrl(fixture("clip.mov"));
    tabs.setCurrentIndex(0);
    window->appDelegate()->openVideoFile(movie);
    ASSERT_TRUE(test::waitUntil(
        [&] { return sections.videoPath() == movie && full.videoPath() == movie; }));
    EXPECT_EQ(window->windowTitle(), "clip.mov[*] \u2014 Lento");

    // The route follows the label, not the position: only the Sections tab takes wmv files.
    tabs.setTabText(0, "Full video");
    const QUrl other = fileUrl(fixture("clip.wmv"));
    window->appDelegate()->openVideoFile(other);
    EXPECT_TRUE(test::waitUntil([&] { return full.videoPath() == other; }));
    EXPECT_TRUE(capture.alerts.isEmpty());

    // A new edition brings the hidden window back with the video it held.
    window->hide();
    window->appDelegate()->actionNewEdition();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(full.videoPath(), other);

    // File > New Edition, the changes not saved: neither tab shows anything of that video.
    const std::array<VideoControlBar*, 2> bars{full.m_VideoControlBar(),
                                               sections.m_VideoControlBar()};
    ASSERT_TRUE(test::waitUntil([&] {
        return std::all_of(bars.begin(), bars.end(), [](VideoControlBar* bar) {
            return bar->overview()->waveformComplete() && bar->overview()->thumbnailsComplete();
        });
    }));
    window->document()->setFullVideo({*SpeedFactor::make(2, 1), false, MotionMode::Hold});
    ASSERT_TRUE(window->isWindowModified());
    capture.questionAnswer = 1; // "Don't Save"
    QAction* newEdition = nullptr;
    for (QAction* action : window->findChildren<QAction*>()) {
        if (action->shortcut() == QKeySequence(QKeySequence::New)) {
            newEdition = action;
        }
    }
    ASSERT_NE(newEdition, nullptr);
    newEdition->trigger();
    EXPECT_EQ(capture.questions.size(), 1);
    EXPECT_TRUE(window->document()->state().source.isEmpty());
    EXPECT_EQ(window->windowTitle(), "Lento[*]");
    for (VideoControlBar* bar : bars) {
        SCOPED_TRACE(bar == bars[0] ? "Full Video" : "Sections");
        EXPECT_EQ(bar->m_Player(), nullptr);
        EXPECT_FALSE(bar->endTime().isValid());
        EXPECT_EQ(bar->m_lblEndTime()->text(), bar->convertTimeToString(MediaTime::zero()));
        EXPECT_EQ(bar->m_lblStartTime()->text(), bar->convertTimeToString(MediaTime::zero()));
        EXPECT_TRUE(bar->overview()->thumbnails().empty());
        EXPECT_TRUE(bar->overview()->waveform().empty());
        EXPECT_FALSE(bar->m_btnPlay()->isEnabled());
    }
    EXPECT_EQ(full.m_comboSpeed()->currentText(), "Original Speed");
    EXPECT_FALSE(full.m_chkRemoveAudio()->isChecked());
}

TEST_F(MainWindowTest, MenuImportLoadsAfterThePanelHasClosedAndCancelDoesNothing) {
    QStringList offered;
    int answer = dialogs::kResponseCancel;
    const QUrl clip = fileUrl(fixture("clip.mp4"));
    dialogs::Responder responder;
    responder.openPanel = [&](const QStringList& types) {
        offered = types;
        return std::make_pair(answer, clip);
    };
    dialogs::setResponder(std::move(responder));
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
    sections.actionAddOneSection(); // Export All is offered once there is a section
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
    // Every export of a tab pauses in the one place the tabs share.
    exportAndCancel(full, full.m_btnExport());
    exportAndCancel(sections, sections.m_btnFullExport());
    EXPECT_EQ(folder.fileCount(), 0);
}

// The editing keys on the Sections tab of clip.mp4, 30 frames a second: the player steps by
// mpv's own frames, bounds follow the drag rules, and fields that take text keep the keys.
TEST_F(MainWindowTest, KeysStepFramesSetBoundsAtThePlayheadAndJumpBetweenBounds) {
    SectionEditController& sections = showSectionsWithClip();
    ASSERT_FALSE(HasFailure());
    Player& player = *sections.m_VideoPlayer()->player();
    VideoControlBar& bar = *sections.m_VideoControlBar();
    QTableView* table = sections.m_tableViewOfSection();
    table->setFocus();
    const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    };
    const auto frame = [](int64_t n) { return MediaTime::make(n, 30); };
    // A step is done once the label shows the frame the player is on.
    const auto stepTo = [&](Qt::Key key, MediaTime expected) {
        press(key);
        EXPECT_TRUE(test::waitUntil([&] {
            return player.currentTime() == expected &&
                   bar.m_lblStartTime()->text() == timeTextWithMilliseconds(expected);
        })) << player.currentTime().seconds()
            << " for " << expected.seconds();
        EXPECT_EQ(player.rate(), 0.0f);
    };

    player.seek(frame(45));
    stepTo(Qt::Key_Right, frame(46));
    stepTo(Qt::Key_Right, frame(47));
    stepTo(Qt::Key_Left, frame(46));
    press(Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(player.currentTime(), frame(76));
    press(Qt::Key_Left, Qt::ShiftModifier);
    press(Qt::Key_Left, Qt::ShiftModifier);
    EXPECT_EQ(player.currentTime(), frame(16));
    press(Qt::Key_Left, Qt::ShiftModifier);
    EXPECT_EQ(player.currentTime(), frame(0));
    press(Qt::Key_End);
    EXPECT_EQ(player.currentTime(), MediaTime::make(10, 1));
    press(Qt::Key_Home);
    EXPECT_EQ(player.currentTime(), frame(0));

    // I and O: section 1 is 2 s to 4 s, section 2 (selected) 6 s to 8 s.
    sections.actionAddOneSection();
    sections.leftHandle(MediaTime::make(2, 1));
    sections.rightHandle(MediaTime::make(4, 1));
    sections.actionAddOneSection();
    sections.leftHandle(MediaTime::make(6, 1));
    sections.rightHandle(MediaTime::make(8, 1));
    table->setFocus();
    const auto second = [&] { return window->document()->section(1); };
    bar.seekToFrame(MediaTime::make(5, 1));
    press(Qt::Key_I);
    EXPECT_EQ(second().start, MediaTime::make(5, 1));
    bar.seekToFrame(MediaTime::make(7, 1));
    press(Qt::Key_O);
    EXPECT_EQ(second().end, MediaTime::make(7, 1));
    // Into the first section: not refused, a collision as after a drag.
    bar.seekToFrame(MediaTime::make(3, 1));
    press(Qt::Key_I);
    EXPECT_EQ(second().start, MediaTime::make(3, 1));
    EXPECT_GT(sections.sectionErrors(), 0);

    // [ and ] go from bound to bound. A bound between two frames: the player shows one beside it
    // and reports that frame's time, and the next jump still goes on past the bound, either way.
    // Section 2 is now 8.01 s to 9 s.
    bar.seekToFrame(MediaTime::make(4, 1));
    const int32_t timescale = bar.endTime().timescale;
    const MediaTime between = MediaTime::make(8 * int64_t(timescale) + timescale / 100, timescale);
    sections.rightHandle(MediaTime::make(9, 1));
    sections.leftHandle(between);
    const auto jumpTo = [&](Qt::Key key, MediaTime bound) {
        press(key);
        EXPECT_EQ(player.currentTime(), bound);
        if (bound == between) {
            EXPECT_TRUE(test::waitUntil([&] { return player.currentTime() != between; }));
        }
    };
    jumpTo(Qt::Key_BracketRight, between);
    jumpTo(Qt::Key_BracketRight, MediaTime::make(9, 1));
    jumpTo(Qt::Key_BracketLeft, between);
    jumpTo(Qt::Key_BracketLeft, MediaTime::make(4, 1));
    // A step from the bound's frame to the frame on its other side leaves it: the bound is ahead.
    jumpTo(Qt::Key_BracketRight, between);
    const bool shownAfter = between < player.currentTime();
    stepTo(shownAfter ? Qt::Key_Left : Qt::Key_Right, frame(shownAfter ? 240 : 241));
    jumpTo(shownAfter ? Qt::Key_BracketRight : Qt::Key_BracketLeft, between);
    const MediaTime shown = player.currentTime();

    // The section's name field takes the same keys as text and cursor moves.
    QLineEdit* name = sections.m_txtSectionName();
    name->setFocus();
    name->setCursorPosition(3);
    for (const Qt::Key key : {Qt::Key_Left, Qt::Key_End, Qt::Key_BracketRight, Qt::Key_I}) {
        press(key);
    }
    EXPECT_EQ(player.currentTime(), shown);
    EXPECT_EQ(name->text(), "1__Section]i");
    EXPECT_EQ(second().start, between);
}

// Help > Keyboard Shortcuts lists every key of every menu item, read from the items, and the
// views' own, all at once.
TEST_F(MainWindowTest, KeyboardShortcutsListTheKeysOfEveryMenuItem) {
    window->show();
    window->showKeyboardShortcuts();
    auto* table = window->keyboardShortcutsDialog()->findChild<QTableWidget*>();
    ASSERT_NE(table, nullptr);
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row) {
        rows << table->item(row, 0)->text() + " : " + table->item(row, 1)->text();
    }
    const auto listed = [&](const QKeySequence& key, const QString& what) {
        const QString text = key.toString(QKeySequence::NativeText);
        return std::any_of(rows.begin(), rows.end(), [&](const QString& row) {
            return row.split(" : ").first().split(" or ").contains(text) && row.endsWith(what);
        });
    };
    int menuKeys = 0;
    for (const QAction* menu : window->menuBar()->actions()) {
        for (const QAction* action : menu->menu()->actions()) {
            for (const QKeySequence& key : action->shortcuts()) {
                SCOPED_TRACE(key.toString().toStdString());
                EXPECT_TRUE(listed(key, QString())) << rows.join('\n').toStdString();
                ++menuKeys;
            }
        }
    }
    EXPECT_GT(menuKeys, 0);
    EXPECT_TRUE(listed(Qt::CTRL | Qt::SHIFT | Qt::Key_O, "Open Edit"));
    EXPECT_TRUE(listed(Qt::CTRL | Qt::SHIFT | Qt::Key_S, "Save Edit As"));
    EXPECT_TRUE(listed(Qt::CTRL | Qt::Key_Z, "Undo the last edit"));
    EXPECT_TRUE(listed(QKeySequence::Delete, "Remove the selected section"));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window->keyboardShortcutsDialog()));
    EXPECT_EQ(table->verticalScrollBar()->maximum(), 0);
}

// A file manager offers Lento the types its desktop entry names and hands such a file to the
// "Full Video" tab: that tab takes every name of every type offered, and the import panel's
// types are all offered.
TEST(DesktopEntryTest, OffersTheVideoTypesTheFullVideoTabTakes) {
    QFile entry(QStringLiteral(LENTO_SOURCE_DIR "/packaging/lento.desktop"));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList types;
    for (const QString& line : QString::fromUtf8(entry.readAll()).split('\n')) {
        if (line.startsWith("MimeType=")) {
            types = line.mid(9).split(';', Qt::SkipEmptyParts);
        }
    }
    const QMimeDatabase mimes;
    for (const QString& type : types) {
        if (!type.startsWith("video/")) {
            continue;
        }
        const QMimeType mime = mimes.mimeTypeForName(type);
        ASSERT_TRUE(mime.isValid()) << type.toStdString();
        for (const QString& suffix : mime.suffixes()) {
            EXPECT_FALSE(fullVideoRejectedExtensions().contains(suffix, Qt::CaseSensitive))
                << type.toStdString() << " ." << suffix.toStdString();
        }
    }
    for (const char* suffix : {"mov", "3gp", "mp4"}) {
        SCOPED_TRACE(suffix);
        const QMimeType mime =
            mimes.mimeTypeForFile(QStringLiteral("clip.") + suffix, QMimeDatabase::MatchExtension);
        EXPECT_TRUE(std::any_of(types.begin(), types.end(),
                                [&](const QString& type) { return mime.inherits(type); }));
    }
}

// Undo and Redo name the step; a text field with the focus keeps the keys for its own undo.
TEST_F(MainWindowTest, EditMenuUndoesStepsByNameAndTextFieldsKeepTheirOwnUndo) {
    SectionEditController& sections = showSectionsWithClip();
    ASSERT_FALSE(HasFailure());
    const EditDocument& document = *window->document();
    QAction& undo = *window->undoAction();
    EXPECT_FALSE(undo.isEnabled());
    sections.actionAddOneSection();
    EXPECT_EQ(undo.text(), "Undo Add Section");

    QLineEdit* name = sections.m_txtSectionName();
    name->setFocus();
    QTest::keyClicks(name, "X");
    QTest::keyClick(name, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(name->text(), "0__Section");
    EXPECT_EQ(document.sectionCount(), 1);

    QWidget* table = sections.m_tableViewOfSection();
    table->setFocus();
    const std::pair<QKeyCombination, int> keys[] = {{Qt::CTRL | Qt::Key_Z, 0},
                                                    {Qt::CTRL | Qt::Key_Y, 1},
                                                    {Qt::CTRL | Qt::Key_Z, 0},
                                                    {Qt::CTRL | Qt::SHIFT | Qt::Key_Z, 1}};
    for (const auto& [key, count] : keys) {
        SCOPED_TRACE(QKeySequence(key).toString().toStdString());
        QTest::keyClick(table, key.key(), key.keyboardModifiers());
        EXPECT_EQ(document.sectionCount(), count);
    }
    EXPECT_EQ(window->redoAction()->text(), "Redo");
}

} // namespace
} // namespace lento
