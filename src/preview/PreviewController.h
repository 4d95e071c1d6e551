#pragma once

#include "controls/VideoControlBar.h"
#include "edit/SectionObject.h"
#include "export/ExportFlow.h"
#include "media/MotionMode.h"
#include "media/SpeedFactor.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <memory>

class QTimer;

namespace lento {

class Asset;
class ExportSession;
class PlayerView;
class PreviewWindowController;

// Plays the full section of the edit it is given (a snapshot of the document taken when the
// preview opened), at its slow-down factor and with or without its sound, and exports it
// stretched. Smooth motion cannot be played as it comes: its preview
// is a reduced copy rendered in the background (with a progress bar) into the user's cache, and
// the copy is played, and kept for the next preview of the same movie and settings. The window's
// control bar plays, pauses and seeks whichever of the two plays.
class PreviewController : public QObject,
                          public ExportProgressWindowControllerDelegate,
                          public VideoControlBarDelegate {
    Q_OBJECT
public:
    PreviewController(PreviewWindowController* window, PlayerView* playerView,
                      SectionsStorage edit = {});
    ~PreviewController() override;

    // Start-up: plays the edit's full section, if there is one.
    void awakeFromNib();
    // The window is closing: the modal session ends.
    void windowWillClose();

    bool respondsToSelector(std::string_view selector) const override;
    void exportProgressWindowControllerDidCancel(ExportProgressWindowController*) override;

    // VideoControlBarDelegate: the bar starts the player with the preview's sound switch and
    // follows its position.
    void playVideo() override;
    void pauseVideo() override {}
    void adjustAudio(float volume) override;
    MediaTime monitorVideo() override;

    PlayerView* m_PreviewPlayer() const { return m_previewPlayer; }
    SavePanel* savePanel() const { return m_exportFlow->savePanel(); }
    ExportSession* exportSession() const { return m_exportFlow->exportSession(); }
    ExportProgressWindowController* exportProgressWindowController() const {
        return m_exportFlow->exportProgressWindowController();
    }
    ExportFlow* exportFlow() const { return m_exportFlow; }
    // The smooth copy being rendered, while it is.
    ExportSession* previewRender() const { return m_render.get(); }

public slots:
    void closeDialog();
    void actionExport();

private:
    // Plays the movie at `path` slowed `slowing` times (1 for a copy that is slowed already).
    void play(const QString& path, SpeedFactor slowing, bool removeAudio);
    void renderSmoothCopy(const QString& copyPath);
    void renderProgressed();
    // The bar follows the player from its first status on.
    void attachToBar(Player* player);
    void playerStatusChanged(Player* player);
    bool withSound() const;

    QPointer<PreviewWindowController> m_window;
    const SectionsStorage m_edit;
    PlayerView* m_previewPlayer = nullptr; // in the window
    ExportFlow* m_exportFlow = nullptr;    // a child
    // The movie exports read: the source itself, also while a smooth copy plays.
    std::shared_ptr<Asset> m_source;
    std::unique_ptr<ExportSession> m_render;
    QString m_renderPath;
    QTimer* m_renderTimer = nullptr; // a child
};

// Where previews are cached: $XDG_CACHE_HOME/lento, else ~/.cache/lento.
QString previewCacheDirectory();
// The bytes the smooth copies in the cache may take.
inline constexpr qint64 kPreviewCacheBytes = qint64(2) << 30;
// Removes the least recently played smooth copies in `directory` until those left take at most
// `maxBytes`; `keep` (the copy about to play) stays whatever its age. Other files are left alone;
// the hidden partial files of renders that were cut short go with the next render.
void trimPreviewCache(const QString& directory, qint64 maxBytes, const QString& keep);
// The cached smooth copy of `sourcePath` (named by its path, size and modification time, and the
// settings) slowed `factor` times with or without its sound.
QString smoothPreviewPath(const QString& sourcePath, SpeedFactor factor, bool removeAudio);

} // namespace lento
