#pragma once

#include "app/DragAndDropView.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

namespace lento {

class VideoControlBar;

// The "Sections" tab. For now it takes files but does not edit them yet.
class SectionEditController : public QObject, public DragAndDropViewDelegate {
    Q_OBJECT
public:
    explicit SectionEditController(QObject* parent = nullptr);
    ~SectionEditController() override;

    QWidget* view() const;
    void setM_windowForSheet(QWidget* window) { m_windowForSheet = window; }
    void importVideoFile(const QUrl& url);
    void fileDropped(const QUrl& url) override;

    const QUrl& videoPath() const { return m_videoPath; }
    // The tab's control bar; none yet.
    VideoControlBar* m_VideoControlBar() const { return nullptr; }

private:
    QUrl m_videoPath;
    QPointer<QWidget> m_windowForSheet;
    QPointer<DragAndDropView> m_dropView;
};

} // namespace lento
