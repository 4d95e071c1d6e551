#pragma once

#include <QMainWindow>
#include <QString>

#include <utility>
#include <vector>

class QAction;
class QDialog;
class QKeyEvent;
class QTabWidget;

namespace lento {

class AppDelegate;
class EditDocument;
class EditFileController;
class FullVideoEditController;
class SectionEditController;
class VideoControlBar;

// The main interface: the window titled after the visible tab's video, with its tab view and
// menus, the two editors and the application delegate that wires them.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    AppDelegate* appDelegate() const { return m_appDelegate; }
    // The edit both tabs show and change.
    EditDocument* document() const { return m_document; }
    // Opening and saving the edit, and its autosave.
    EditFileController* editFileController() const { return m_editFiles; }
    QTabWidget* tabView() const { return m_tabview; }
    FullVideoEditController* fullVideoEditController() const { return m_full; }
    SectionEditController* sectionEditController() const { return m_sections; }

    // The control bar of the visible tab, if it has one.
    VideoControlBar* visibleControlBar() const;
    // Edit > Undo and Redo.
    QAction* undoAction() const { return m_undo; }
    QAction* redoAction() const { return m_redo; }
    // A file named when Lento was started: an edit opens, a video goes to the "Full Video" tab
    // as if it had been dropped there.
    void openFileNamed(const QString& path);
    // Help > Keyboard Shortcuts: the keys and what they do, made on first use.
    void showKeyboardShortcuts();
    QDialog* keyboardShortcutsDialog() const { return m_shortcuts; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Unsaved changes are settled first; Cancel keeps the window open.
    void closeEvent(QCloseEvent* event) override;

private:
    // Whether the focus is in a field that takes keys as text.
    static bool focusTakesText();
    bool togglePlaybackFromKeyboard();
    // The editing keys; false for keys that are not theirs.
    bool editFromKeyboard(const QKeyEvent& key);
    // An edit dropped anywhere on the window opens; videos go on to the tab they fall on.
    bool openDroppedEdit(QObject* watched, const QEvent& event);
    // "NAME — Lento" for the visible tab's video, "Lento" while it has none.
    void showVideoInTitle();
    void addEditMenu();
    // The shortcuts list's rows, key and action: the keys the window handles, then those of the
    // menu items and of the views' own shortcuts, read from them.
    std::vector<std::pair<QString, QString>> keyboardShortcuts() const;

    EditDocument* m_document = nullptr; // a child, made before the tabs that show it
    EditFileController* m_editFiles = nullptr;
    QTabWidget* m_tabview = nullptr;
    FullVideoEditController* m_full = nullptr;
    SectionEditController* m_sections = nullptr;
    AppDelegate* m_appDelegate = nullptr;
    QDialog* m_shortcuts = nullptr;
    QAction* m_undo = nullptr;
    QAction* m_redo = nullptr;
};

} // namespace lento
