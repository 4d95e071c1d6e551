#pragma once

#include "media/SpeedFactor.h"

#include <QString>

#include <optional>

class QComboBox;
class QWidget;

namespace lento {

// Both tabs' speed chooser: "Original Speed", "2x Slower" to "10x Slower", then "Custom…", which
// asks for any factor the editor takes (1 to 10, two decimals at most). A factor outside the
// list shows as one extra item before "Custom…" ("2.5x Slower").

void fillSpeedChooser(QComboBox& chooser);
// Selects `factor`'s item, adding the extra item it needs, without a change signal.
void showSpeedFactor(QComboBox& chooser, SpeedFactor factor);
// The factor of the item at `index`; nothing for "Custom…" or no item.
std::optional<SpeedFactor> speedFactorOfItem(const QComboBox& chooser, int index);
bool isCustomSpeedItem(const QComboBox& chooser, int index);

// Asks for a factor in a small window-modal dialog on `parent` (a field, OK only while the field
// holds a factor the editor takes); nothing when cancelled.
std::optional<SpeedFactor> askForSpeedFactor(QWidget* parent, SpeedFactor current);
// The dialog's object name, its field's and that of the line under the field that says why OK
// is greyed out, for those who answer it.
inline constexpr const char* kCustomSpeedDialogName = "customSpeedDialog";
inline constexpr const char* kCustomSpeedFieldName = "customSpeedField";
inline constexpr const char* kCustomSpeedRuleName = "customSpeedRule";
// The line's text.
QString invalidSpeedFactorMessage();

} // namespace lento
