// The selected section's ramps, entered in the edit panel and checked by the rules before they
// become a step.
#include "edit/SectionRules.h"
#include "edit/TimeText.h"
#include "sections/SectionEditController.h"

#include <QComboBox>

namespace lento {

void SectionEditController::enterRamp(bool in) {
    const SectionState* section = selectedSection();
    if (section == nullptr) {
        return;
    }
    const MediaTime entered =
        parseRampText((in ? m_view->rampIn() : m_view->rampOut())->currentText());
    // Choosing an item and leaving the field may both report one entry: the second finds the
    // section as the first left it, and changes nothing, not even the message.
    if (entered.isValid() && entered == (in ? section->rampIn : section->rampOut)) {
        return;
    }
    const MediaTime rampIn = in ? entered : section->rampIn;
    const MediaTime rampOut = in ? section->rampOut : entered;
    const QString refusal = rampErrorReason(*section, rampIn, rampOut);
    if (!refusal.isEmpty()) {
        m_view->showRamps(section->rampIn, section->rampOut);
        m_view->showRampError(refusal);
        return;
    }
    m_document->setSectionRamps(static_cast<int>(selectedRow()), rampIn, rampOut);
}

} // namespace lento
