#include "controls/VideoSeeker.h"

namespace lento {

VideoSeeker::VideoSeeker(QWidget* parent) : QWidget(parent) {
    // Nothing of its own is drawn: the track and the markers below show through.
    setAutoFillBackground(false);
    setAttribute(Qt::WA_NoSystemBackground);
}

} // namespace lento
