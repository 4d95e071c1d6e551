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

namespace lento {

class Asset;
class Composition;
class ExportSession;
class PlayerView;
class PreviewWindowController;

// Plays the full section of the edit it is given (a snapshot of the document taken when the
// preview opened), at its slow-down factor and with or without its sound, and exports it
// stretched. Where its motion is Blend or Smooth, the player's view shows the export's pictures,
// made live as it plays. The window's control bar plays, pauses and seeks the preview.
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

public slots:
    void closeDialog();
    void actionExport();

private:
    // Plays the edit's movie at its factor, with or without its sound.
    void play(const SectionObject& section);
    // What the preview plays and exports of `movie`: the movie stretched as the edit says.
    std::shared_ptr<Composition> composition(const Asset& movie) const;
    // The bar follows the player from its first status on.
    void attachToBar(Player* player);
    void playerStatusChanged(Player* player);
    bool withSound() const;

    QPointer<PreviewWindowController> m_window;
    const SectionsStorage m_edit;
    PlayerView* m_previewPlayer = nullptr; // in the window
    ExportFlow* m_exportFlow = nullptr;    // a child
};

} // namespace lento
