#pragma once

#include <QStringList>

namespace lento {

// The speed chooser's items of both tabs: "Original Speed", then "2x Slower" to "10x Slower"; an
// item's index is its factor minus one.
inline QStringList speedItemTexts() {
    QStringList items{QStringLiteral("Original Speed")};
    for (int factor = 2; factor <= 10; ++factor) {
        items << QStringLiteral("%1x Slower").arg(factor);
    }
    return items;
}

} // namespace lento
