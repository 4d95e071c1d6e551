#pragma once

#include <QSlider>

namespace lento {

// The volume slider. Whatever its integer range, floatValue() runs from 0.0 at its minimum to
// 1.0 at its maximum: a player volume as it is.
class VolumeSlider : public QSlider {
    Q_OBJECT
public:
    explicit VolumeSlider(QWidget* parent = nullptr);

    float floatValue() const;
};

} // namespace lento
