#pragma once

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QPointer>
#include <QStringList>

#include <functional>

class QLineEdit;

namespace lento {

// The export save dialog: a name field, the allowed file types, and an accessory row with a
// "Format:" chooser that rewrites the name's extension.
class SavePanel : public QFileDialog {
    Q_OBJECT
public:
    explicit SavePanel(QWidget* parent = nullptr);

    void setNameFieldStringValue(const QString& name);
    QString nameFieldStringValue() const;
    void setExtensionHidden(bool hidden) { m_extensionHidden = hidden; }
    bool isExtensionHidden() const { return m_extensionHidden; }
    void setAllowedFileTypes(const QStringList& types);
    const QStringList& allowedFileTypes() const { return m_allowedFileTypes; }

    // Puts the "Format:" label and the chooser with `formats` (selecting `selected`) below the
    // name field. The chooser rewrites the name's extension whenever its selection changes.
    void setAccessoryFormats(const QStringList& formats, int selected);
    QComboBox* formatChooser() const { return m_formatChooser; }
    QLabel* formatLabel() const { return m_formatLabel; }

    // Puts the "Quality:" label and its chooser with `qualities` (selecting `selected`) below
    // the "Format:" row.
    void setAccessoryQualities(const QStringList& qualities, int selected);
    QComboBox* qualityChooser() const { return m_qualityChooser; }
    QLabel* qualityLabel() const { return m_qualityLabel; }
    // A line under the "Quality:" row, shown while the quality at `index` is chosen.
    void setQualityNote(int index, const QString& note);
    QLabel* qualityNote() const { return m_qualityNote; }
    // The chosen quality's index; 0 (the first) when the panel has no quality row.
    int chosenQuality() const;

    // The chosen destination: the folder shown and the name typed (which may hold a folder of
    // its own).
    QString URL() const;

    // The video being edited: the panel refuses it as the destination, whatever path names it,
    // and stays up for another name.
    void setEditedVideoPath(const QString& path) { m_editedVideoPath = path; }
    static QString editedVideoMessage();

    // Shows the panel as a sheet on `window`; `completion` gets the response (1 for OK) once.
    // Tests can answer instead of a person (setResponder).
    void beginSheetModalForWindow(QWidget* window, std::function<void(int response)> completion);
    // Takes the panel off the screen.
    void orderOut();

    // Answers panels instead of a person: gets the panel (to type or choose in it) and returns
    // the response. An empty responder restores the real dialog.
    static void setResponder(std::function<int(SavePanel&)> responder);

    // The chooser's selection changed: the name keeps its folder and stem and takes the chosen
    // extension.
    void formatChosen(int index);

public slots:
    void accept() override;

private:
    QLineEdit* nameField() const;
    // Asks the test's responder, again after each refused destination, as a person would be.
    void answerByResponder(const std::function<void(int)>& completion);
    // When the destination is the edited video: says so, and true.
    bool refusesDestination();

    bool m_extensionHidden = false;
    QStringList m_allowedFileTypes;
    QString m_editedVideoPath;
    QPointer<QComboBox> m_formatChooser;
    QPointer<QLabel> m_formatLabel;
    QPointer<QComboBox> m_qualityChooser;
    QPointer<QLabel> m_qualityLabel;
    QPointer<QLabel> m_qualityNote;
    int m_qualityNoteIndex = -1;
};

} // namespace lento
