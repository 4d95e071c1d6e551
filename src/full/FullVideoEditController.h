#pragma once

#include "editor/EditorTab.h"
#include "preview/PreviewWindowController.h"

#include <QPointer>

class QCheckBox;
class QComboBox;
class QPushButton;

namespace lento {

// The "Full Video" tab: a view of the edit document's source and Full Video choices. It plays the
// source under the control bar at the chosen slow-down factor, with or without its sound, and
// makes each choice a step of the document.
class FullVideoEditController : public EditorTab {
    Q_OBJECT
public:
    // Shows and edits `document`; without one, a document of its own.
    explicit FullVideoEditController(EditDocument* document = nullptr, QObject* parent = nullptr);

    // VideoControlBarDelegate.
    bool respondsToSelector(std::string_view selector) const override;

    // True while the sound is on (the remove-audio switch is off).
    bool volumnOnOff() const override;
    void initUIActiveAfterUpload();

    QComboBox* m_comboSpeed() const { return m_speed; }
    QComboBox* m_comboMotion() const { return m_motion; }
    QCheckBox* m_chkRemoveAudio() const { return m_removeAudio; }
    QPushButton* m_btnExport() const { return m_export; }
    QPushButton* m_btnPreview() const { return m_preview; }
    QPushButton* m_btnUpload() const { return m_upload; }

    // Opens the preview window ("segue_PreviewFromFull") on the tab's video, factor, sound and
    // motion.
    void performSegueWithIdentifier(const QString& identifier);
    void prepareForSegue(const QString& identifier);
    PreviewWindowController* previewWindow() const { return m_previewWindow; }

public slots:
    void actionExport();
    void comboBoxSelectionDidChange(QObject* sender);
    void checkState();

private:
    void documentShown(EditSourceIntake::Follow follow) override;
    void videoReady(Player& ready) override;
    void videoUnloaded() override;
    void videoNotReady(Player::Status status) override;
    // The whole video at the chosen factor and motion, as the export makes it.
    LivePlayback::CompositionBuilder
    liveComposition(const std::shared_ptr<Asset>& video) const override;
    // The choices, the rate and the sound as the document has them.
    void showFullVideo();
    // The choosers, the sound switch, Preview and Export.
    void setChoicesEnabled(bool enabled);

    QComboBox* m_speed = nullptr;
    QComboBox* m_motion = nullptr; // how exports show the slowed pictures
    QCheckBox* m_removeAudio = nullptr;
    QPushButton* m_export = nullptr;
    QPushButton* m_preview = nullptr;
    QPushButton* m_upload = nullptr;
    QPointer<PreviewWindowController> m_previewWindow;
};

// The extensions the "Full Video" tab rejects, compared exactly.
const QStringList& fullVideoRejectedExtensions();

} // namespace lento
