#include "sections/RampPlayback.h"

#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "edit/SectionComposition.h"
#include "media/PlaybackRate.h"
#include "media/Player.h"

#include <QTimer>

#include <algorithm>

namespace lento {

RampPlayback::RampPlayback(EditDocument& document, VideoControlBar& bar, QObject* parent)
    : QObject(parent), m_document(document), m_bar(bar), m_timer(new QTimer(this)) {
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(kUpdateIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &RampPlayback::sendRate);
    connect(&document, &EditDocument::documentReset, this, &RampPlayback::sectionsChanged);
    connect(&document, &EditDocument::sectionInserted, this, &RampPlayback::sectionsChanged);
    connect(&document, &EditDocument::sectionRemoved, this, &RampPlayback::sectionsChanged);
    connect(&document, &EditDocument::sectionChanged, this, &RampPlayback::sectionsChanged);
    sectionsChanged();
}

void RampPlayback::setPlayer(Player* player) {
    if (m_player) {
        m_player->disconnect(this);
    }
    m_player = player;
    m_mapStale = true; // the map runs to the end of the player's video
    if (player != nullptr) {
        connect(player, &Player::playingChanged, this, &RampPlayback::startOrStop);
    }
    startOrStop();
}

void RampPlayback::setApplies(bool applies) {
    if (applies != m_applies) {
        m_applies = applies;
        startOrStop();
    }
}

bool RampPlayback::follows() {
    return m_applies && m_hasRamps && map() != nullptr;
}

bool RampPlayback::isRunning() const {
    return m_timer->isActive();
}

void RampPlayback::sectionsChanged() {
    const std::vector<SectionState>& sections = m_document.state().sections;
    m_hasRamps = std::any_of(sections.begin(), sections.end(),
                             [](const SectionState& section) { return section.hasRamps(); });
    m_mapStale = true;
    m_map.reset();
    m_sentRate = 0.0;
    startOrStop();
}

void RampPlayback::startOrStop() {
    const bool run = m_player && m_player->rate() != 0.0f && follows();
    if (run == m_timer->isActive()) {
        return;
    }
    if (run) {
        m_sentRate = 0.0;
        m_timer->start();
        // Playback starts at the rate of where it starts, not at the last one sent.
        sendRate();
    } else {
        m_timer->stop();
    }
}

void RampPlayback::sendRate() {
    const TimeMap* edit = map();
    if (!m_player || edit == nullptr) {
        return;
    }
    const PlaybackRate wanted =
        playbackRateAt(*edit, m_player->currentTime(), MediaTime::make(kUpdateIntervalMs, 1000));
    // Inside a ramp each update finds a new rate; a stretch of one factor, or a player that has not
    // moved since the last update, finds the same one, which the player has already.
    if (wanted.rate != m_sentRate) {
        m_sentRate = wanted.rate;
        m_bar.setPlayRate(static_cast<float>(wanted.rate));
    }
}

const TimeMap* RampPlayback::map() {
    if (m_mapStale) {
        m_mapStale = false;
        m_map.reset();
        const PlayerItem* item = m_player ? m_player->currentItem() : nullptr;
        if (m_hasRamps && item != nullptr && item->duration().isNumeric()) {
            m_map =
                rampedTimeMap(EditCut::ofSections(m_document.state().sections, item->duration()));
        }
    }
    return m_map.get();
}

} // namespace lento
