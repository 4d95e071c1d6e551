#include "export/SavePanel.h"

#include "base/Dialogs.h"
#include "base/FileNames.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include <filesystem>
#include <system_error>

namespace lento {

namespace {

std::function<int(SavePanel&)>& responder() {
    static std::function<int(SavePanel&)> instance;
    return instance;
}

} // namespace

void SavePanel::setResponder(std::function<int(SavePanel&)> replacement) {
    responder() = std::move(replacement);
}

SavePanel::SavePanel(QWidget* parent) : QFileDialog(parent, tr("Export")) {
    // Qt's own dialog, so that it can carry the format row.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setDirectory(QDir::homePath());
}

QLineEdit* SavePanel::nameField() const {
    return findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
}

void SavePanel::setNameFieldStringValue(const QString& name) {
    if (QLineEdit* field = nameField()) {
        field->setText(name);
    } else {
        selectFile(name);
    }
}

QString SavePanel::nameFieldStringValue() const {
    QLineEdit* field = nameField();
    return field != nullptr ? field->text() : QString();
}

void SavePanel::setAllowedFileTypes(const QStringList& types) {
    m_allowedFileTypes = types;
    QStringList patterns;
    for (const QString& type : types) {
        patterns << QStringLiteral("*.") + type;
    }
    setNameFilter(tr("Movies (%1)").arg(patterns.join(' ')));
}

void SavePanel::setAccessoryFormats(const QStringList& formats, int selected) {
    auto* accessory = new QWidget(this);
    auto* row = new QHBoxLayout(accessory);
    row->setContentsMargins(0, 0, 0, 0);
    m_formatLabel = new QLabel(QStringLiteral("Format:"), accessory);
    m_formatChooser = new QComboBox(accessory);
    m_formatChooser->addItems(formats);
    m_formatChooser->setCurrentIndex(selected);
    m_formatChooser->setMinimumWidth(140);
    row->addWidget(m_formatLabel);
    row->addWidget(m_formatChooser);
    row->addStretch(1);
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        grid->addWidget(accessory, grid->rowCount(), 0, 1, grid->columnCount());
    }
    if (selected >= 0 && selected < formats.size()) {
        setDefaultSuffix(formats.at(selected));
    }
    connect(m_formatChooser, &QComboBox::currentIndexChanged, this, &SavePanel::formatChosen);
}

void SavePanel::setAccessoryQualities(const QStringList& qualities, int selected) {
    auto* accessory = new QWidget(this);
    auto* column = new QVBoxLayout(accessory);
    column->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout();
    m_qualityLabel = new QLabel(QStringLiteral("Quality:"), accessory);
    m_qualityChooser = new QComboBox(accessory);
    m_qualityChooser->addItems(qualities);
    m_qualityChooser->setCurrentIndex(selected);
    m_qualityChooser->setMinimumWidth(140);
    row->addWidget(m_qualityLabel);
    row->addWidget(m_qualityChooser);
    row->addStretch(1);
    column->addLayout(row);
    m_qualityNote = new QLabel(accessory);
    m_qualityNote->setWordWrap(true);
    m_qualityNote->setVisible(false);
    column->addWidget(m_qualityNote);
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        grid->addWidget(accessory, grid->rowCount(), 0, 1, grid->columnCount());
    }
    connect(m_qualityChooser, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_qualityNote) {
            m_qualityNote->setVisible(index == m_qualityNoteIndex);
        }
    });
}

void SavePanel::setQualityNote(int index, const QString& note) {
    if (!m_qualityChooser || !m_qualityNote) {
        return;
    }
    m_qualityNoteIndex = index;
    m_qualityNote->setText(note);
    // Hidden rather than shown-and-empty, so that the panel does not grow for nothing.
    m_qualityNote->setVisible(m_qualityChooser->currentIndex() == index);
}

int SavePanel::chosenQuality() const {
    return m_qualityChooser ? std::max(0, m_qualityChooser->currentIndex()) : 0;
}

void SavePanel::formatChosen(int index) {
    if (!m_formatChooser || index < 0) {
        return;
    }
    const QString extension = m_formatChooser->itemText(index);
    // Only a format's extension goes: a folder typed before the name stays, and so does a dot
    // that belongs to the name ("Trip.2024").
    QString name = nameFieldStringValue();
    const QString suffix = QFileInfo(name).suffix();
    if (!suffix.isEmpty() && m_formatChooser->findText(suffix, Qt::MatchFixedString) >= 0) {
        name.chop(suffix.size() + 1);
    }
    if (name.endsWith(QLatin1Char('.'))) {
        name.chop(1);
    }
    setNameFieldStringValue(QStringLiteral("%1.%2").arg(name, extension));
    setExtensionHidden(false);
    setDefaultSuffix(extension);
}

QString SavePanel::URL() const {
    const QString name = nameFieldStringValue();
    QString path = QFileInfo(name).isAbsolute() ? name : QDir(directory()).filePath(name);
    // A name without one of the allowed extensions takes the chosen format's.
    if (!m_allowedFileTypes.contains(QFileInfo(path).suffix(), Qt::CaseInsensitive) &&
        !defaultSuffix().isEmpty()) {
        path += QLatin1Char('.') + defaultSuffix();
    }
    return path;
}

QString SavePanel::editedVideoMessage() {
    return QStringLiteral("This is the video being edited. Choose another name.");
}

bool SavePanel::refusesDestination() {
    if (m_editedVideoPath.isEmpty()) {
        return false;
    }
    // The same file however it is named: relative, through a link, or by another hard link.
    std::error_code error;
    if (!std::filesystem::equivalent(pathBytes(URL()).toStdString(),
                                     pathBytes(m_editedVideoPath).toStdString(), error)) {
        return false;
    }
    dialogs::runModalAlert(this, editedVideoMessage());
    return true;
}

void SavePanel::accept() {
    if (refusesDestination()) {
        return;
    }
    QFileDialog::accept();
}

void SavePanel::beginSheetModalForWindow(QWidget* window, std::function<void(int)> completion) {
    if (responder()) {
        answerByResponder(completion);
        return;
    }
    if (window != nullptr && parentWidget() != window) {
        setParent(window, windowFlags());
    }
    setWindowModality(Qt::WindowModal);
    connect(
        this, &QDialog::finished, this,
        [completion = std::move(completion)](int result) {
            completion(result == QDialog::Accepted ? 1 : 0);
        },
        Qt::SingleShotConnection);
    open();
}

void SavePanel::answerByResponder(const std::function<void(int)>& completion) {
    const int response = responder() ? responder()(*this) : dialogs::kResponseCancel;
    if (response == dialogs::kResponseOK && refusesDestination()) {
        QTimer::singleShot(0, this, [this, completion] { answerByResponder(completion); });
        return;
    }
    // The response arrives on a later pass, as from a real sheet.
    QTimer::singleShot(0, this, [completion, response] { completion(response); });
}

void SavePanel::orderOut() {
    hide();
}

} // namespace lento
