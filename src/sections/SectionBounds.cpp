// The selected section's bounds: typed, slid, dragged on the track or set at the playhead, each
// move kept on the video and one frame from the other bound; the bands on the track; the jumps
// between bounds; a band clicked.
#include "edit/SectionRules.h"
#include "media/PlayerView.h"
#include "sections/SectionEditController.h"

#include <QMouseEvent>
#include <QTableView>

namespace lento {

void SectionEditController::showBounds() {
    if (const SectionState* section = selectedSection()) {
        m_view->showBounds(section->start, section->end);
    }
}

void SectionEditController::moveBound(bool start, MediaTime time) {
    const SectionState* section = selectedSection();
    Player* current = player();
    if (section == nullptr || !m_videoTotalDuration.isNumeric() || current == nullptr ||
        current->currentItem() == nullptr || current->currentItem()->asset() == nullptr) {
        return;
    }
    const MediaTime frame =
        oneFrame(*current->currentItem()->asset(), m_videoTotalDuration.timescale);
    time = limitBound(*section, start, time, m_videoTotalDuration, frame);
    // As a handle drag: the player goes there, the section takes the bound, the handle follows.
    m_controlBar->seekToFrame(time);
    if (start) {
        leftHandle(time);
    } else {
        rightHandle(time);
    }
    // A bound that did not move is a step of nothing: the field shows the bound again.
    showBounds();
}

void SectionEditController::setBoundAtPlayhead(bool start) {
    if (player() != nullptr) {
        moveBound(start, player()->currentTime());
    }
}

void SectionEditController::jumpToBound(bool forward) {
    Player* current = player();
    if (current == nullptr || current->currentItem() == nullptr ||
        current->currentItem()->asset() == nullptr) {
        return;
    }
    MediaTime now = current->currentTime();
    // A bound between two frames shows one of them, and the player reports that frame's time,
    // which may lie on the other side of the bound. While it still shows the frame of the bound
    // jumped to last, the next jump goes on from that bound, so that it passes it.
    const MediaTime frame = oneFrame(*current->currentItem()->asset(), now.timescale);
    if (m_boundJumpedTo.isNumeric() && m_boundJumpedTo - frame < now &&
        now < m_boundJumpedTo + frame) {
        now = m_boundJumpedTo;
    }
    if (const std::optional<MediaTime> nearest = nearestBound(sectionObjects(), now, forward)) {
        m_controlBar->seekToFrame(*nearest);
        m_boundJumpedTo = *nearest;
    }
}

void SectionEditController::showBands() {
    std::vector<TrackBand> bands;
    const int64_t selected = selectedRow();
    const SectionSpan list = sectionObjects();
    for (size_t row = 0; row < list.size(); ++row) {
        const int at = static_cast<int>(row);
        const bool collides =
            m_model->collides(at, kColumnStart) || m_model->collides(at, kColumnEnd);
        bands.push_back({list[row].start, list[row].end, at == selected, collides, list[row].rampIn,
                         list[row].rampOut});
    }
    m_controlBar->setBands(std::move(bands));
    // The trim handles are the selected section's bounds: without one there are none.
    const SectionState* section = selectedSection();
    m_controlBar->m_leftHandle()->setVisible(section != nullptr);
    m_controlBar->m_rightHandle()->setVisible(section != nullptr);
    if (section != nullptr) {
        m_controlBar->setLeftHanldePos(section->start);
        m_controlBar->setRightHanldePos(section->end);
    }
}

void SectionEditController::selectBand(int index) {
    if (index >= 0 && index < m_model->rowCount()) {
        m_view->table()->selectRow(index);
    }
}

void SectionEditController::leftHandle(MediaTime time) {
    if (const SectionState* section = selectedSection()) {
        m_document->setSectionBounds(static_cast<int>(selectedRow()), time, section->end);
    }
}

void SectionEditController::rightHandle(MediaTime time) {
    if (const SectionState* section = selectedSection()) {
        m_document->setSectionBounds(static_cast<int>(selectedRow()), section->start, time);
    }
}

bool SectionEditController::eventFilter(QObject* watched, QEvent* event) {
    // Compared by address only: the seeker also sends events while the bar around it is being
    // destroyed, when the bar can no longer be asked for it.
    const bool press = event->type() == QEvent::MouseButtonPress;
    if ((press || event->type() == QEvent::MouseButtonRelease) && watched == m_dragSeeker.data() &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (press) {
            m_document->beginBoundsDrag();
        } else {
            m_document->endBoundsDrag();
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace lento
