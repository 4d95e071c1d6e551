#pragma once

#include "edit/TrackRules.h"
#include "media/MediaTime.h"

#include <QRect>
#include <QWidget>

#include <string>
#include <vector>

class QTimer;

namespace lento {

class Asset;
class TrackOverview;

// The bar's track image: the video's filmstrip over its waveform, in a rounded frame drawn in the
// palette's colours so that it shows on light and dark themes alike, with the sections laid over
// it as bands. It asks its overview for a strip that fits its width, once a resize has settled.
// The mouse goes through it to the seeker.
class TrackImage : public QWidget {
    Q_OBJECT
public:
    // The waveform's strip along the bottom; the filmstrip takes the rest.
    static constexpr int kWaveformHeight = 18;

    explicit TrackImage(QWidget* parent = nullptr);

    // Makes the filmstrip and waveform in the background; a child.
    TrackOverview* overview() const { return m_overview; }
    // Shows the pictures and sound of `asset`'s file.
    void showVideo(const Asset& asset);
    // No pictures or sound, as before the first video.
    void showNoVideo();

    // The bands, placed along the track by `duration`.
    void setBands(std::vector<TrackBand> bands, MediaTime duration);
    const std::vector<TrackBand>& bands() const { return m_bands; }
    QRect filmstripRect() const;
    QRect waveformRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Asks the overview for a strip that fits the track as it is now.
    void requestOverview();
    void paintFilmstrip(QPainter& painter) const;
    void paintWaveform(QPainter& painter) const;

    TrackOverview* m_overview = nullptr;
    // Resizes come in bursts: the strip is asked for once the track has kept its width a while.
    QTimer* m_overviewDelay = nullptr;
    // The video shown: its file and its pictures' upright shape.
    std::string m_path;
    double m_aspect = 16.0 / 9.0;
    int m_rotation = 0;
    std::vector<TrackBand> m_bands;
    MediaTime m_duration = MediaTime::invalid();
};

} // namespace lento
