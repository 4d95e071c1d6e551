#include "controls/VolumeSlider.h"

namespace lento {

VolumeSlider::VolumeSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setRange(0, 100);
}

float VolumeSlider::floatValue() const {
    const int span = maximum() - minimum();
    if (span <= 0) {
        return 0.0f;
    }
    return static_cast<float>(value() - minimum()) / static_cast<float>(span);
}

} // namespace lento
