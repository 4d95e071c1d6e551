#pragma once

#include "controls/DragAndDropView.h"
#include "controls/PlayerLoading.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "edit/SectionsTableModel.h"
#include "export/ExportFlow.h"
#include "sections/MouseClickView.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTableView;

namespace lento {

class PlayerView;

// The "Sections" tab: a view of the edit document's source and sections. It loads videos into
// the document, shows the sections in a table over the document with their own slow-down factor
// and sound switch, turns every edit into a step of the document, shows colliding bounds in red
// and plays the video with every section slowed as the playhead passes it.
class SectionEditController : public QObject,
                              public DragAndDropViewDelegate,
                              public VideoControlBarDelegate,
                              public ExportProgressWindowControllerDelegate,
                              public MouseClickViewDelegate {
    Q_OBJECT
public:
    // The section table's columns.
    enum Column {
        kColumnNumber = SectionsTableModel::kColumnNumber,
        kColumnName = SectionsTableModel::kColumnName,
        kColumnStart = SectionsTableModel::kColumnStart,
        kColumnEnd = SectionsTableModel::kColumnEnd,
        kColumnSpeed = SectionsTableModel::kColumnSpeed,
        kColumnRemoveAudio = SectionsTableModel::kColumnRemoveAudio,
        kColumnMotion = SectionsTableModel::kColumnMotion,
        kColumnCount = SectionsTableModel::kColumnCount,
    };
    static const QStringList& columnIdentifiers() {
        return SectionsTableModel::columnIdentifiers();
    }

    // Shows and edits `document`; without one, a document of its own.
    explicit SectionEditController(EditDocument* document = nullptr, QObject* parent = nullptr);
    ~SectionEditController() override;

    QWidget* view() const;
    void setM_windowForSheet(QWidget* window) { m_windowForSheet = window; }
    void importVideoFile(const QUrl& url);
    void fileDropped(const QUrl& url) override;

    bool respondsToSelector(std::string_view selector) const override;

    // Loading and status.
    void observeValueForKeyPath(const QString& keyPath, QObject* object);
    void setVideoSlidersForStartEnd();
    void itemDidFinishPlaying();

    EditDocument* document() const { return m_document; }
    SectionsTableModel* tableModel() const { return m_model; }

    // The table.
    void reloadData();
    void tableViewSelectionDidChange();
    int64_t selectedRow() const;

    // The selected section's sound (true with no selection).
    bool volumnOnOff() const;

    // MouseClickViewDelegate.
    void deSelectSectionEditTable() override;
    // A click on the track picked a section's band: select its row.
    void selectBand(int index) override;

    // Timing rules: the trim handles moved.
    void leftHandle(MediaTime time) override;
    void rightHandle(MediaTime time) override;

    // Section-aware playback.
    void playVideo() override;
    void pauseVideo() override;
    void adjustAudio(float volume) override;
    MediaTime monitorVideo() override;

    void exportProgressWindowControllerDidCancel(ExportProgressWindowController*) override;

    SavePanel* savePanel() const { return m_exportFlow->savePanel(); }
    ExportSession* exportSession() const { return m_exportFlow->exportSession(); }
    ExportProgressWindowController* exportProgressWindowController() const {
        return m_exportFlow->exportProgressWindowController();
    }
    ExportFlow* exportFlow() const { return m_exportFlow; }

    // The document's sections, as the rules read them.
    SectionSpan sectionObjects() const { return m_document->state().sections; }
    MediaTime videoTotalDuration() const { return m_videoTotalDuration; }
    int sectionErrors() const { return m_sectionErrors; }
    int64_t curSectionIndex() const { return m_curSectionIndex; }
    const QUrl& videoPath() const { return m_videoPath; }

    MouseClickView* m_MouseClickView() const { return m_mouseClickView; }
    PlayerView* m_VideoPlayer() const { return m_videoPlayer; }
    VideoControlBar* m_VideoControlBar() const { return m_controlBar; }
    QTableView* m_tableViewOfSection() const { return m_table; }
    DragAndDropView* m_dragAndDropView() const { return m_dropView; }
    QPushButton* m_btnAddSection() const { return m_addSection; }
    QPushButton* m_btnDelSection() const { return m_delSection; }
    QPushButton* m_btnUpload() const { return m_upload; }
    QPushButton* m_btnFullExport() const { return m_fullExport; }
    QPushButton* m_btnSectionExport() const { return m_sectionExport; }
    // Beside the export buttons: why they are blocked, hidden while they are not.
    QLabel* m_lblExportBlocked() const { return m_exportBlocked; }
    QGroupBox* m_boxEditSection() const { return m_editBox; }
    QLineEdit* m_txtSectionName() const { return m_name; }
    QSlider* m_sliderStartFrame() const { return m_startSlider; }
    QSlider* m_sliderEndFrame() const { return m_endSlider; }
    QLineEdit* m_txtStartFrame() const { return m_startField; }
    QLineEdit* m_txtEndFrame() const { return m_endField; }
    QComboBox* m_comboSpeed() const { return m_speed; }
    QCheckBox* m_chkRemoveAudio() const { return m_removeAudio; }
    QComboBox* m_comboMotion() const { return m_motion; }

    // The keyboard's edits: the selected section's start or end at the playhead, by the rules of
    // a handle drag; the playhead to the nearest section bound before or after it.
    void setBoundAtPlayhead(bool start);
    void jumpToBound(bool forward);

public slots:
    void actionUpload();
    void actionAddOneSection();
    void actionDelSeletedSection();
    void comboBoxSelectionDidChange(QObject* sender);
    void checkState();
    void controlTextDidEndEditing(QObject* sender);
    void actionFullExport();
    void actionSectionExport();

protected:
    // A press on the track begins what may be a handle drag, its release ends it: the bounds it
    // sets are one step.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildView();
    // The document was replaced: its source plays here (loaded unless it already does), its
    // sections show with none selected.
    void showDocument();
    void loadVideo(const QUrl& url, std::shared_ptr<Asset> asset);
    void unloadVideo();
    // After any change of the sections: the panel, the handles and the playback show the selected
    // section as it is now (without seeking), the rules' marks follow.
    void showSelectedSection();
    void sectionInserted(int index);
    void sectionRemoved(int index);
    void awakeFromNib();
    Player* player() const;
    const SectionState* selectedSection() const;
    // Recounts the red bounds and sets the export buttons from the count and the selection; says
    // why they are blocked.
    void updateSectionErrors();
    // The sections as bands on the track, the selected one and the colliding ones marked.
    void showBands();
    // A bound set from the start or end field or slider, as a handle drag would set it.
    void moveBound(bool start, MediaTime time);
    void showBounds();
    void setEditControlsEnabled(bool enabled);
    // With no row selected the panel shows no section: disabled and empty.
    void clearEditPanel();
    // Plays at 1 / `factor` from now on, or at the next start while paused.
    void setPlayFactor(SpeedFactor factor);
    // The sheets of this tab go on the window of its view.
    QWidget* sheetWindow() const;

    MediaTime m_videoTotalDuration;
    int m_sectionErrors = 0;
    QUrl m_videoPath;
    EditDocument* m_document = nullptr;
    SectionsTableModel* m_model = nullptr; // a child
    // The video this tab probed for the document it is resetting: no need to probe it again.
    EditSourceIntake m_intake; // the edit's video, opened here or followed
    bool m_removingSelected = false;
    int64_t m_curSectionIndex = -1;
    // The slow-down factor last given to the bar. The monitor compares factors: the bar's float
    // rate cannot hold 1/3 or 1/7 exactly, so comparing rates would send the rate on every tick.
    SpeedFactor m_playFactor;
    // The bound [ or ] went to last, until the player leaves its frame (see jumpToBound()).
    MediaTime m_boundJumpedTo = MediaTime::invalid();
    QPointer<QWidget> m_windowForSheet;
    ExportFlow* m_exportFlow = nullptr; // a child

    QPointer<DragAndDropView> m_dropView; // the root view, owned by the tab
    MouseClickView* m_mouseClickView = nullptr;
    PlayerView* m_videoPlayer = nullptr;
    VideoControlBar* m_controlBar = nullptr;
    QPointer<QWidget> m_dragSeeker; // the track whose presses and releases bound a handle drag
    QTableView* m_table = nullptr;
    QPushButton* m_addSection = nullptr;
    QPushButton* m_delSection = nullptr;
    QPushButton* m_upload = nullptr;
    QPushButton* m_fullExport = nullptr;
    QPushButton* m_sectionExport = nullptr;
    QLabel* m_exportBlocked = nullptr;
    QGroupBox* m_editBox = nullptr;
    QLineEdit* m_name = nullptr;
    QSlider* m_startSlider = nullptr;
    QSlider* m_endSlider = nullptr;
    QLineEdit* m_startField = nullptr;
    QLineEdit* m_endField = nullptr;
    QComboBox* m_speed = nullptr;
    QCheckBox* m_removeAudio = nullptr;
    QComboBox* m_motion = nullptr;
};

} // namespace lento
