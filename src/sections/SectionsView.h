#pragma once

#include "edit/EditState.h"
#include "media/MediaTime.h"
#include "sections/MouseClickView.h"

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
class SectionsTableModel;
class VideoControlBar;

// The Sections tab's form: the player and its bar over the section table, the panel that edits
// the selected section, and the list's and the exports' buttons. A click on its background
// clears the table's selection (MouseClickView). It shows what it is given and reports the
// bound sliders' moves in media time; the controller decides the rest.
class SectionsView : public MouseClickView {
    Q_OBJECT
public:
    // Lays `player` and `bar` out at the top.
    SectionsView(PlayerView* player, VideoControlBar* bar, QWidget* parent = nullptr);

    // The table shows `model`'s rows.
    void setModel(SectionsTableModel* model);
    // The sliders run over a video of `duration` (none: an empty range).
    void setDuration(MediaTime duration);
    // The panel shows `section`: its name, bounds, factor, sound, motion and ramps, without a
    // report; no ramp message.
    void showSection(const SectionState& section);
    // Only the bounds, after a move the document refused or changed.
    void showBounds(MediaTime start, MediaTime end);
    // Only the ramps, after an entry the rules refused.
    void showRamps(MediaTime rampIn, MediaTime rampOut);
    // Why the ramp just entered was refused, under the ramps; empty: none was.
    void showRampError(const QString& reason);
    // No section selected: the panel disabled and empty.
    void clearEditPanel();
    void setEditControlsEnabled(bool enabled);
    // Why the exports are blocked beside them; empty: they are not, and nothing shows.
    void showExportBlocked(const QString& reason);

    QTableView* table() const { return m_table; }
    QPushButton* upload() const { return m_upload; }
    QPushButton* addSection() const { return m_addSection; }
    QPushButton* delSection() const { return m_delSection; }
    QPushButton* fullExport() const { return m_fullExport; }
    QPushButton* sectionExport() const { return m_sectionExport; }
    QLabel* exportBlocked() const { return m_exportBlocked; }
    QGroupBox* editBox() const { return m_editBox; }
    QLineEdit* name() const { return m_name; }
    QSlider* startSlider() const { return m_startSlider; }
    QSlider* endSlider() const { return m_endSlider; }
    QLineEdit* startField() const { return m_startField; }
    QLineEdit* endField() const { return m_endField; }
    QComboBox* speed() const { return m_speed; }
    QCheckBox* removeAudio() const { return m_removeAudio; }
    QComboBox* motion() const { return m_motion; }
    // Editable choosers of a ramp's length: the usual ones listed, any other typed.
    QComboBox* rampIn() const { return m_rampIn; }
    QComboBox* rampOut() const { return m_rampOut; }
    QLabel* rampError() const { return m_rampError; }

signals:
    // The user moved the start's (or the end's) slider to `time`, at the video's timescale.
    void boundSlid(bool start, lento::MediaTime time);
    // The user chose a length for the ramp in (or out), or typed one and pressed Return or left
    // the field: the chooser's text holds it.
    void rampEntered(bool in);

private:
    int32_t m_timescale = 600;
    QTableView* m_table = nullptr;
    QPushButton* m_upload = nullptr;
    QPushButton* m_addSection = nullptr;
    QPushButton* m_delSection = nullptr;
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
    QComboBox* m_rampIn = nullptr;
    QComboBox* m_rampOut = nullptr;
    QLabel* m_rampError = nullptr;
};

} // namespace lento
