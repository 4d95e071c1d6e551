#include "controls/SpeedChooser.h"

#include "edit/SectionsTableModel.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>

namespace lento {

namespace {

// An item's factor is kept as its exact text ("5/2" never: the chooser holds decimals only).
constexpr int kFactorRole = Qt::UserRole;

int customItem(const QComboBox& chooser) {
    return chooser.count() - 1;
}

std::optional<SpeedFactor> typedFactor(const QString& text) {
    return SpeedFactor::parseInEditorRange(text.trimmed().toStdString());
}

} // namespace

QString invalidSpeedFactorMessage() {
    return QStringLiteral("A factor from 1 to 10, with up to two decimals.");
}

void fillSpeedChooser(QComboBox& chooser) {
    const QSignalBlocker quiet(&chooser);
    chooser.clear();
    for (int64_t whole = 1; whole <= SpeedFactor::kMaximum; ++whole) {
        const SpeedFactor factor = SpeedFactor::whole(whole);
        chooser.addItem(speedFactorText(factor), QString::fromStdString(factor.text()));
    }
    chooser.addItem(QObject::tr("Custom…"));
}

void showSpeedFactor(QComboBox& chooser, SpeedFactor factor) {
    const QSignalBlocker quiet(&chooser);
    const int found = chooser.findData(QString::fromStdString(factor.text()), kFactorRole);
    if (found >= 0) {
        chooser.setCurrentIndex(found);
        return;
    }
    // One extra item at most: the one shown now.
    if (customItem(chooser) > SpeedFactor::kMaximum) {
        chooser.removeItem(static_cast<int>(SpeedFactor::kMaximum));
    }
    const int extra = static_cast<int>(SpeedFactor::kMaximum);
    chooser.insertItem(extra, speedFactorText(factor), QString::fromStdString(factor.text()));
    chooser.setCurrentIndex(extra);
}

std::optional<SpeedFactor> speedFactorOfItem(const QComboBox& chooser, int index) {
    if (index < 0 || index >= chooser.count()) {
        return std::nullopt;
    }
    const QVariant text = chooser.itemData(index, kFactorRole);
    if (!text.isValid()) {
        return std::nullopt;
    }
    return SpeedFactor::fromText(text.toString().toStdString());
}

bool isCustomSpeedItem(const QComboBox& chooser, int index) {
    return index >= 0 && index == customItem(chooser);
}

std::optional<SpeedFactor> askForSpeedFactor(QWidget* parent, SpeedFactor current) {
    QDialog dialog(parent);
    dialog.setObjectName(QLatin1String(kCustomSpeedDialogName));
    dialog.setWindowTitle(QObject::tr("Custom Speed"));
    dialog.setWindowModality(Qt::WindowModal);
    auto* field = new QLineEdit(QString::fromStdString(current.text()), &dialog);
    field->setObjectName(QLatin1String(kCustomSpeedFieldName));
    // Keys that cannot lead to a factor are refused as they are typed; the range is checked on
    // the whole text.
    field->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral(R"(\d{0,2}([.,]\d{0,2})?)")), field));
    // Says why OK is greyed out, under the field, while it is.
    auto* rule = new QLabel(invalidSpeedFactorMessage(), &dialog);
    rule->setObjectName(QLatin1String(kCustomSpeedRuleName));
    // Hidden, it keeps its room: the dialog does not jump as the user types.
    QSizePolicy keepRoom = rule->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    rule->setSizePolicy(keepRoom);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    const auto check = [field, ok, rule] {
        const bool valid = typedFactor(field->text()).has_value();
        ok->setEnabled(valid);
        rule->setVisible(!valid);
    };
    QObject::connect(field, &QLineEdit::textChanged, &dialog, check);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    check();
    auto* form = new QFormLayout(&dialog);
    form->addRow(
        new QLabel(QObject::tr("How many times slower, from 1 to 10 (for example 2.5):"), &dialog));
    form->addRow(QObject::tr("Factor:"), field);
    form->addRow(QString(), rule);
    form->addRow(buttons);
    field->selectAll();
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return typedFactor(field->text());
}

} // namespace lento
