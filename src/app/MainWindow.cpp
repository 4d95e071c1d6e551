#include "app/MainWindow.h"

#include "app/AppDelegate.h"
#include "controls/VideoControlBar.h"
#include "full/FullVideoEditController.h"
#include "media/PlayerView.h"
#include "sections/SectionEditController.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTextEdit>

namespace lento {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Lento"));
    resize(1000, 700);
    m_tabview = new QTabWidget(this);
    m_tabview->addTab(new QWidget(), QStringLiteral("Full Video"));
    m_tabview->addTab(new QWidget(), QStringLiteral("Sections"));
    setCentralWidget(m_tabview);

    m_full = new FullVideoEditController(this);
    m_sections = new SectionEditController(this);
    m_appDelegate = new AppDelegate(this, m_tabview, m_full, m_sections, this);

    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* show =
        file->addAction(tr("&New Edition"), m_appDelegate, &AppDelegate::actionNewEdition);
    show->setShortcut(QKeySequence::New);
    QAction* import =
        file->addAction(tr("&Import Video…"), m_appDelegate, &AppDelegate::actionImportVideo);
    import->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    file->addSeparator();
    QAction* quit = file->addAction(tr("&Quit"), qApp, &QApplication::closeAllWindows);
    quit->setShortcut(QKeySequence::Quit);
    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("Lento &Website"), m_appDelegate, &AppDelegate::actionGoToWebsite);

    connect(m_tabview, &QTabWidget::currentChanged, this, &MainWindow::showVideoInTitle);
    connect(m_full->m_VideoPlayer(), &PlayerView::playerChanged, this,
            &MainWindow::showVideoInTitle);
    connect(m_sections->m_VideoPlayer(), &PlayerView::playerChanged, this,
            &MainWindow::showVideoInTitle);

    qApp->installEventFilter(this);
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
        setWindowTitle(QStringLiteral("Lento"));
        return;
    }
    QString name =
        QFileInfo(QFile::decodeName(player->currentItem()->asset()->path().c_str())).fileName();
    // A bare "[*]" in a title is Qt's placeholder for the modified mark.
    name.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
    setWindowTitle(QStringLiteral("%1 \u2014 Lento").arg(name));
}

MainWindow::~MainWindow() {
    qApp->removeEventFilter(this);
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

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier &&
            !key->isAutoRepeat() && isActiveWindow() && togglePlaybackFromKeyboard()) {
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// Space plays and pauses the visible tab's video, unless the focus is in a text field, which
// takes the space as text.
bool MainWindow::togglePlaybackFromKeyboard() {
    QWidget* focus = QApplication::focusWidget();
    if (qobject_cast<QLineEdit*>(focus) || qobject_cast<QTextEdit*>(focus) ||
        qobject_cast<QPlainTextEdit*>(focus) || qobject_cast<QAbstractSpinBox*>(focus)) {
        return false;
    }
    if (auto* combo = qobject_cast<QComboBox*>(focus); combo && combo->isEditable()) {
        return false;
    }
    VideoControlBar* bar = visibleControlBar();
    if (bar == nullptr || !bar->m_btnPlay()->isEnabled()) {
        return false;
    }
    bar->m_btnPlay()->click();
    return true;
}

} // namespace lento
