#pragma once

#include <QWidget>

namespace lento {

// A marker on the track: the playhead or one of the two trim handles. Its centre line, half its
// width right of its left edge, points at its time. The mouse goes through it to the seeker.
class MarkerImage : public QWidget {
    Q_OBJECT
public:
    enum class Kind { Playhead, LeftHandle, RightHandle };

    // Every marker's width.
    static constexpr int kWidth = 12;
    // How far a trim handle's feet reach above and below the track, where a handle under the
    // playhead can still be grabbed; the playhead keeps as far inside the track.
    static constexpr int kOverhang = 4;

    explicit MarkerImage(Kind kind, QWidget* parent = nullptr);

    // Where the marker stands across a track with `track`'s frame; its left edge stays.
    void fitTo(const QRect& track);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Kind m_kind;
};

} // namespace lento
