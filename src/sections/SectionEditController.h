#pragma once

#include "edit/SectionsTableModel.h"
#include "editor/EditorTab.h"
#include "sections/SectionsView.h"

#include <QObject>
#include <QPointer>

namespace lento {

class PlayerView;
class RampPlayback;

// The "Sections" tab: a view of the edit document's source and sections. It shows the sections
// in a table over the document with their own slow-down factor and sound switch, turns every
// edit into a step of the document, shows colliding bounds in red and plays the video with every
// section slowed as the playhead passes it.
class SectionEditController : public EditorTab, public MouseClickViewDelegate {
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
        kColumnRamp = SectionsTableModel::kColumnRamp,
        kColumnCount = SectionsTableModel::kColumnCount,
    };
    static const QStringList& columnIdentifiers() {
        return SectionsTableModel::columnIdentifiers();
    }

    // Shows and edits `document`; without one, a document of its own.
    explicit SectionEditController(EditDocument* document = nullptr, QObject* parent = nullptr);
    ~SectionEditController() override;

    bool respondsToSelector(std::string_view selector) const override;

    SectionsTableModel* tableModel() const { return m_model; }

    // The table.
    void reloadData();
    void tableViewSelectionDidChange();
    int64_t selectedRow() const;

    // The selected section's sound (true with no selection).
    bool volumnOnOff() const override;

    // MouseClickViewDelegate.
    void deSelectSectionEditTable() override;
    // A click on the track picked a section's band: select its row.
    void selectBand(int index) override;

    // Timing rules: the trim handles moved.
    void leftHandle(MediaTime time) override;
    void rightHandle(MediaTime time) override;

    // Section-aware playback: while a row is selected, the rate and the sound change as the
    // playhead enters and leaves sections.
    MediaTime monitorVideo() override;

    // The document's sections, as the rules read them.
    SectionSpan sectionObjects() const { return m_document->state().sections; }
    MediaTime videoTotalDuration() const { return m_videoTotalDuration; }
    int sectionErrors() const { return m_sectionErrors; }
    int64_t curSectionIndex() const { return m_curSectionIndex; }

    SectionsView* m_MouseClickView() const { return m_view; }
    QTableView* m_tableViewOfSection() const { return m_view->table(); }
    QPushButton* m_btnAddSection() const { return m_view->addSection(); }
    QPushButton* m_btnDelSection() const { return m_view->delSection(); }
    QPushButton* m_btnUpload() const { return m_view->upload(); }
    QPushButton* m_btnFullExport() const { return m_view->fullExport(); }
    QPushButton* m_btnSectionExport() const { return m_view->sectionExport(); }
    // Beside the export buttons: why they are blocked, hidden while they are not.
    QLabel* m_lblExportBlocked() const { return m_view->exportBlocked(); }
    QGroupBox* m_boxEditSection() const { return m_view->editBox(); }
    QLineEdit* m_txtSectionName() const { return m_view->name(); }
    QSlider* m_sliderStartFrame() const { return m_view->startSlider(); }
    QSlider* m_sliderEndFrame() const { return m_view->endSlider(); }
    QLineEdit* m_txtStartFrame() const { return m_view->startField(); }
    QLineEdit* m_txtEndFrame() const { return m_view->endField(); }
    QComboBox* m_comboSpeed() const { return m_view->speed(); }
    QCheckBox* m_chkRemoveAudio() const { return m_view->removeAudio(); }
    QComboBox* m_comboMotion() const { return m_view->motion(); }
    QComboBox* m_comboRampIn() const { return m_view->rampIn(); }
    QComboBox* m_comboRampOut() const { return m_view->rampOut(); }
    // Under the ramps: why the ramp entered last was refused, empty while none was.
    QLabel* m_lblRampError() const { return m_view->rampError(); }
    // Sets the player's rate through the sections' ramps.
    RampPlayback* rampPlayback() const { return m_rampPlayback; }

    // The keyboard's edits: the selected section's start or end at the playhead, by the rules of
    // a handle drag; the playhead to the nearest section bound before or after it.
    void setBoundAtPlayhead(bool start);
    void jumpToBound(bool forward);

public slots:
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
    void connectView();
    // The whole edit, as its export makes it, where a section's pictures are made.
    LivePlayback::CompositionBuilder
    liveComposition(const std::shared_ptr<Asset>& video) const override;
    void documentWillShow() override;
    void videoLoaded(Player& loaded) override;
    void videoReady(Player& ready) override;
    void videoUnloaded() override;
    // After any change of the sections: the panel, the handles and the playback show the selected
    // section as it is now (without seeking), the rules' marks follow.
    void showSelectedSection();
    void sectionInserted(int index);
    void sectionRemoved(int index);
    const SectionState* selectedSection() const;
    // Recounts the red bounds and sets the export buttons from the count and the selection; says
    // why they are blocked.
    void updateSectionErrors();
    // The sections as bands on the track, the selected one and the colliding ones marked.
    void showBands();
    // A bound set from the start or end field or slider, as a handle drag would set it.
    void moveBound(bool start, MediaTime time);
    void showBounds();
    // Plays at 1 / `factor` from now on, or at the next start while paused.
    void setPlayFactor(SpeedFactor factor);
    // The ramp in (or out) chosen or typed: a step when the rules take it, else the message.
    void enterRamp(bool in);

    MediaTime m_videoTotalDuration;
    int m_sectionErrors = 0;
    SectionsTableModel* m_model = nullptr;  // a child
    SectionsView* m_view = nullptr;         // in the tab's view
    RampPlayback* m_rampPlayback = nullptr; // a child
    bool m_removingSelected = false;
    int64_t m_curSectionIndex = -1;
    // The slow-down factor last given to the bar. The monitor compares factors: the bar's float
    // rate cannot hold 1/3 or 1/7 exactly, so comparing rates would send the rate on every tick.
    SpeedFactor m_playFactor;
    // The bound [ or ] went to last, until the player leaves its frame (see jumpToBound()).
    MediaTime m_boundJumpedTo = MediaTime::invalid();
    QPointer<QWidget> m_dragSeeker; // the track whose presses and releases bound a handle drag
};

} // namespace lento
