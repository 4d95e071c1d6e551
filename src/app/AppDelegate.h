#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>

class QMainWindow;
class QTabWidget;

namespace lento {

class FullVideoEditController;
class SectionEditController;

// The address the Help menu opens.
inline constexpr const char* kContactPageAddress = "https://lento.example/contact";

// Wires the two editors into the main window's tabs and answers the menu actions.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    AppDelegate(QMainWindow* window, QTabWidget* tabview,
                FullVideoEditController* fullVideoEditController,
                SectionEditController* sectionEditController, QObject* parent = nullptr);

    void applicationDidFinishLaunching();
    // Closing the last window ends the program.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

    // Routes a file to the editor of the selected tab.
    void openVideoFile(const QUrl& url);

public slots:
    void actionNewEdition();
    void actionImportVideo();
    void actionGoToWebsite();

private:
    QPointer<QTabWidget> m_tabview;
    QPointer<FullVideoEditController> m_fullVideoEditController;
    QPointer<SectionEditController> m_sectionEditController;
    QPointer<QMainWindow> window;
};

} // namespace lento
