#include "app/MainWindow.h"

#include "app/AppDelegate.h"
#include "app/EditFileController.h"
#include "base/FileNames.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "edit/EditFile.h"
#include "full/FullVideoEditController.h"
#include "media/PlayerView.h"
#include "sections/SectionEditController.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QShortcut>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <iterator>
#include <utility>

namespace lento {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Lento[*]"));
    resize(1000, 700);
    m_document = new EditDocument(this);
    m_editFiles = new EditFileController(this, m_document, this);
    m_tabview = new QTabWidget(this);
    m_tabview->addTab(new QWidget(), QStringLiteral("Full Video"));
    m_tabview->addTab(new QWidget(), QStringLiteral("Sections"));
    setCentralWidget(m_tabview);

    m_full = new FullVideoEditController(m_document, this);
    m_sections = new SectionEditController(m_document, this);
    m_appDelegate = new AppDelegate(this, m_tabview, m_full, m_sections, this);

    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* show = file->addAction(tr("&New Edition"), this, [this] {
        if (m_editFiles->actionNewEdition()) {
            m_appDelegate->actionNewEdition();
        }
    });
    show->setShortcut(QKeySequence::New);
    QAction* import =
        file->addAction(tr("&Import Video…"), m_appDelegate, &AppDelegate::actionImportVideo);
    import->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    file->addSeparator();
    QAction* open =
        file->addAction(tr("&Open Edit…"), m_editFiles, &EditFileController::actionOpenEdit);
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    QAction* save =
        file->addAction(tr("&Save Edit"), m_editFiles, &EditFileController::actionSaveEdit);
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    QAction* saveAs =
        file->addAction(tr("Save Edit &As…"), m_editFiles, &EditFileController::actionSaveEditAs);
    saveAs->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    file->addSeparator();
    QAction* quit = file->addAction(tr("&Quit"), qApp, &QApplication::closeAllWindows);
    quit->setShortcut(QKeySequence::Quit);
    addEditMenu();
    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("&Keyboard Shortcuts"), this, &MainWindow::showKeyboardShortcuts);
    help->addAction(tr("Lento &Website"), m_appDelegate, &AppDelegate::actionGoToWebsite);

    connect(m_tabview, &QTabWidget::currentChanged, this, &MainWindow::showVideoInTitle);
    connect(m_full->m_VideoPlayer(), &PlayerView::playerChanged, this,
            &MainWindow::showVideoInTitle);
    connect(m_sections->m_VideoPlayer(), &PlayerView::playerChanged, this,
            &MainWindow::showVideoInTitle);
    connect(m_document, &EditDocument::modifiedChanged, this, &QWidget::setWindowModified);

    qApp->installEventFilter(this);
}

// Undo and Redo name the step they undo or redo ("Undo Add Section"). A text field with the
// focus keeps these keys for its own undo: it claims them before the menu's shortcuts.
void MainWindow::addEditMenu() {
    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    QAction* undo = m_document->undoStack()->createUndoAction(this, tr("Undo"));
    undo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    undo->setStatusTip(tr("Undo the last edit"));
    QAction* redo = m_document->undoStack()->createRedoAction(this, tr("Redo"));
    redo->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)});
    redo->setStatusTip(tr("Redo the edit undone last"));
    edit->addAction(undo);
    edit->addAction(redo);
    m_undo = undo;
    m_redo = redo;
}

void MainWindow::showVideoInTitle() {
    PlayerView* view = nullptr;
    switch (m_tabview->currentIndex()) {
    case 0:
        view = m_full->m_VideoPlayer();
        break;
    case 1:
        view = m_sections->m_VideoPlayer();
        break;
    default:
        break;
    }
    const Player* player = view != nullptr ? view->player() : nullptr;
    if (player == nullptr || player->currentItem() == nullptr) {
        setWindowTitle(QStringLiteral("Lento[*]"));
        return;
    }
    QString name =
        QFileInfo(QFile::decodeName(player->currentItem()->asset()->path().c_str())).fileName();
    // A bare "[*]" in a title is Qt's placeholder for the modified mark.
    name.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
    setWindowTitle(QStringLiteral("%1[*] \u2014 Lento").arg(name));
}

MainWindow::~MainWindow() {
    qApp->removeEventFilter(this);
    // Before the document, so that a change still waiting for the autosave reaches it.
    delete m_editFiles;
    m_editFiles = nullptr;
}

VideoControlBar* MainWindow::visibleControlBar() const {
    switch (m_tabview->currentIndex()) {
    case 0:
        return m_full->m_VideoControlBar();
    case 1:
        return m_sections->m_VideoControlBar();
    default:
        return nullptr;
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_editFiles->windowMayClose()) {
        event->accept();
    } else {
        event->ignore();
    }
}

namespace {

bool isEditFile(const QString& path) {
    return QFileInfo(path).suffix().compare(QLatin1String(kEditFileExtension),
                                            Qt::CaseInsensitive) == 0;
}

} // namespace

void MainWindow::openFileNamed(const QString& path) {
    if (isEditFile(path)) {
        m_editFiles->openEdit(path);
    } else {
        m_full->fileDropped(urlOfPath(path));
    }
}

bool MainWindow::openDroppedEdit(QObject* watched, const QEvent& event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != this) {
        return false;
    }
    const QMimeData* data = static_cast<const QDropEvent&>(event).mimeData();
    if (data == nullptr || !data->hasUrls() || data->urls().isEmpty()) {
        return false;
    }
    const QString path = pathOfUrl(data->urls().first());
    if (path.isEmpty() || !isEditFile(path)) {
        return false;
    }
    // After the drop has ended: the questions and alerts of opening are modal.
    QTimer::singleShot(0, this, [this, path] { m_editFiles->openEdit(path); });
    return true;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Drop && openDroppedEdit(watched, *event)) {
        auto* drop = static_cast<QDropEvent*>(event);
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        return true;
    }
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier &&
            !key->isAutoRepeat() && isActiveWindow() && togglePlaybackFromKeyboard()) {
            return true;
        }
        if (isActiveWindow() && editFromKeyboard(*key)) {
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainWindow::focusTakesText() {
    QWidget* focus = QApplication::focusWidget();
    if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QTextEdit*>(focus) ||
        qobject_cast<QPlainTextEdit*>(focus) || qobject_cast<QAbstractSpinBox*>(focus)) {
        return true;
    }
    auto* combo = qobject_cast<QComboBox*>(focus);
    return combo != nullptr && combo->isEditable();
}

// Space plays and pauses the visible tab's video, unless the focus is in a text field, which
// takes the space as text.
bool MainWindow::togglePlaybackFromKeyboard() {
    if (focusTakesText()) {
        return false;
    }
    VideoControlBar* bar = visibleControlBar();
    if (bar == nullptr || !bar->m_btnPlay()->isEnabled()) {
        return false;
    }
    bar->m_btnPlay()->click();
    return true;
}

// Text fields keep these keys too: they move the cursor there, or are typed.
bool MainWindow::editFromKeyboard(const QKeyEvent& key) {
    VideoControlBar* bar = visibleControlBar();
    if (bar == nullptr || focusTakesText()) {
        return false;
    }
    const Qt::KeyboardModifiers modifiers = key.modifiers() & ~Qt::KeypadModifier;
    const bool plain = modifiers == Qt::NoModifier;
    const bool shift = modifiers == Qt::ShiftModifier;
    const bool sections = m_tabview->currentIndex() == 1;
    const int32_t timescale = bar->endTime().isNumeric() ? bar->endTime().timescale : 600;
    const MediaTime second = MediaTime::make(timescale, timescale);
    switch (key.key()) {
    case Qt::Key_Left:
    case Qt::Key_Right: {
        const bool forward = key.key() == Qt::Key_Right;
        if (plain) {
            bar->stepFrame(forward);
        } else if (shift) {
            bar->seekBy(forward ? second : MediaTime::make(-timescale, timescale));
        } else {
            return false;
        }
        return true;
    }
    case Qt::Key_Home:
    case Qt::Key_End:
        if (!plain || !bar->endTime().isNumeric()) {
            return false;
        }
        // Beyond the video either way: seekBy() stops at its ends.
        bar->seekBy(key.key() == Qt::Key_End ? bar->endTime()
                                             : MediaTime::make(0, timescale) - bar->endTime());
        return true;
    case Qt::Key_I:
    case Qt::Key_O:
        if (!plain || !sections || key.isAutoRepeat()) {
            return false;
        }
        m_sections->setBoundAtPlayhead(key.key() == Qt::Key_I);
        return true;
    case Qt::Key_BracketLeft:
    case Qt::Key_BracketRight:
        if (!(plain || shift) || !sections) {
            return false;
        }
        m_sections->jumpToBound(key.key() == Qt::Key_BracketRight);
        return true;
    default:
        return false;
    }
}

namespace {

// "Ctrl+Shift+Z or Ctrl+Y".
QString keysText(const QList<QKeySequence>& keys) {
    QStringList texts;
    for (const QKeySequence& key : keys) {
        texts << key.toString(QKeySequence::NativeText);
    }
    return texts.join(MainWindow::tr(" or "));
}

// What an action does, as its menu item says it: "Save Edit As" for "Save Edit &As…".
QString actionText(const QAction& action) {
    if (!action.statusTip().isEmpty()) {
        return action.statusTip();
    }
    QString text = action.text();
    text.replace(QRegularExpression(QStringLiteral("&(.)")), QStringLiteral("\\1"));
    if (text.endsWith(QStringLiteral("\u2026"))) {
        text.chop(1);
    }
    return text;
}

} // namespace

std::vector<std::pair<QString, QString>> MainWindow::keyboardShortcuts() const {
    // The keys the window handles itself (eventFilter()).
    std::vector<std::pair<QString, QString>> keys{
        {tr("Space"), tr("Play or pause")},
        {tr("Left / Right"), tr("One frame back / forward (paused)")},
        {tr("Shift+Left / Shift+Right"), tr("One second back / forward (paused)")},
        {tr("Home / End"), tr("Go to the start / end (paused)")},
        {tr("I / O"), tr("Start / end the selected section at the playhead")},
        {tr("[ / ]"), tr("Go to the previous / next section bound")},
    };
    // Then every menu item's, and every view's own, as they are set.
    for (const QAction* menu : menuBar()->actions()) {
        if (menu->menu() == nullptr) {
            continue;
        }
        for (const QAction* action : menu->menu()->actions()) {
            if (!action->shortcuts().isEmpty()) {
                keys.emplace_back(keysText(action->shortcuts()), actionText(*action));
            }
        }
    }
    for (const QShortcut* shortcut : findChildren<QShortcut*>()) {
        if (!shortcut->whatsThis().isEmpty()) {
            keys.emplace_back(keysText(shortcut->keys()), shortcut->whatsThis());
        }
    }
    return keys;
}

void MainWindow::showKeyboardShortcuts() {
    if (m_shortcuts == nullptr) {
        m_shortcuts = new QDialog(this);
        m_shortcuts->setWindowTitle(tr("Keyboard Shortcuts"));
        const std::vector<std::pair<QString, QString>> keys = keyboardShortcuts();
        auto* table = new QTableWidget(static_cast<int>(keys.size()), 2, m_shortcuts);
        table->setHorizontalHeaderLabels({tr("Key"), tr("Action")});
        table->verticalHeader()->hide();
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        table->setSelectionMode(QAbstractItemView::NoSelection);
        for (int row = 0; row < table->rowCount(); ++row) {
            const auto& [key, action] = keys[static_cast<size_t>(row)];
            table->setItem(row, 0, new QTableWidgetItem(key));
            table->setItem(row, 1, new QTableWidgetItem(action));
        }
        table->resizeColumnsToContents();
        table->horizontalHeader()->setStretchLastSection(true);
        // The whole list at once: in the default (Fusion) style the scroll bar's thumb is the
        // lighter part of the bar, and its darker groove reads as the thumb.
        table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
        table->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
        auto* layout = new QVBoxLayout(m_shortcuts);
        layout->addWidget(table);
        m_shortcuts->resize(m_shortcuts->sizeHint().expandedTo(QSize(520, 0)));
    }
    m_shortcuts->show();
    m_shortcuts->raise();
}

} // namespace lento
