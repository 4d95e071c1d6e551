#pragma once

#include "edit/SectionsTableModel.h"
#include "media/MotionMode.h"

#include <QStringList>

namespace lento {

// The motion chooser's items, in the order of MotionMode: an item's index is its mode's value.
inline QStringList motionItemTexts() {
    return {motionText(MotionMode::Hold), motionText(MotionMode::Blend),
            motionText(MotionMode::Smooth)};
}

// The mode of a chooser's item; Hold for no item.
inline MotionMode motionForItem(int index) {
    switch (index) {
    case 1:
        return MotionMode::Blend;
    case 2:
        return MotionMode::Smooth;
    default:
        return MotionMode::Hold;
    }
}

inline int itemForMotion(MotionMode motion) {
    return static_cast<int>(motion);
}

} // namespace lento
