#pragma once

#include "sections/SectionObject.h"

namespace lento {

// The timing rules between sections, free of widgets.

// Index of the first other section (skipping `index`, the one the value belongs to) that the
// bound `value` collides with, or -1. A start collides when it lies strictly inside another
// section or equals another's start; an end when it lies strictly inside another or equals
// another's end. Sections may touch.
int64_t checkOverSetupWithValue(const SectionList& sections, MediaTime value, int64_t index,
                                bool isStart);

// The same for the bound shown in one cell of the section table: column 2 is the start,
// column 3 the end; any other column gives -1.
int64_t checkOverSetup(const SectionList& sections, int64_t row, int64_t column);

// How many start and end bounds of the list collide with another section.
int countSectionErrors(const SectionList& sections);

// Index of the first section that `time` lies strictly inside, or -1.
int64_t sectionIndexInTime(const SectionList& sections, MediaTime time);
// 1 / speed of the first section `time` lies inside, or 1.
float speedInTime(const SectionList& sections, MediaTime time);
// Whether the sound plays at `time`: not removed by the first section it lies inside.
bool volumnInTime(const SectionList& sections, MediaTime time);

// The table's text for a speed: "Original Speed" for 1, otherwise "Nx Slower".
QString speedText(int64_t speed);

} // namespace lento
