#include "app/AppDelegate.h"

#include "base/Dialogs.h"
#include "full/FullVideoEditController.h"
#include "sections/SectionEditController.h"

#include <QDesktopServices>
#include <QMainWindow>
#include <QTabWidget>

namespace lento {

AppDelegate::AppDelegate(QMainWindow* window, QTabWidget* tabview,
                         FullVideoEditController* fullVideoEditController,
                         SectionEditController* sectionEditController, QObject* parent)
    : QObject(parent), m_tabview(tabview), m_fullVideoEditController(fullVideoEditController),
      m_sectionEditController(sectionEditController), window(window) {}

void AppDelegate::applicationDidFinishLaunching() {
    // Tab 0 holds the full-video editor, tab 1 the section editor; each keeps the main window
    // for its sheets.
    if (m_tabview->count() > 0) {
        m_tabview->removeTab(0);
    }
    m_tabview->insertTab(0, m_fullVideoEditController->view(), QStringLiteral("Full Video"));
    m_fullVideoEditController->setM_windowForSheet(window);
    if (m_tabview->count() > 1) {
        m_tabview->removeTab(1);
    }
    m_tabview->insertTab(1, m_sectionEditController->view(), QStringLiteral("Sections"));
    m_sectionEditController->setM_windowForSheet(window);
    m_tabview->setCurrentIndex(0);
}

void AppDelegate::actionNewEdition() {
    if (window && !window->isVisible()) {
        window->show();
        window->raise();
        window->activateWindow();
    }
}

void AppDelegate::actionImportVideo() {
    dialogs::beginImportPanel(window, this, [this](const QUrl& url) { openVideoFile(url); });
}

void AppDelegate::openVideoFile(const QUrl& url) {
    const QString label = m_tabview->tabText(m_tabview->currentIndex());
    if (label == QLatin1String("Full Video")) {
        m_fullVideoEditController->importVideoFile(url);
    } else {
        m_sectionEditController->importVideoFile(url);
    }
}

void AppDelegate::actionGoToWebsite() {
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kContactPageAddress)));
}

} // namespace lento
