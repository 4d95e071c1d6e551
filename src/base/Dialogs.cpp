#include "base/Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace lento::dialogs {

namespace {

Responder& responder() {
    static Responder instance;
    return instance;
}

// The patterns a file panel shows files by: "*.mov *.mp4".
QString nameFilter(const QStringList& allowedFileTypes) {
    QStringList patterns;
    for (const QString& type : allowedFileTypes) {
        patterns << "*." + type;
    }
    return patterns.join(' ');
}

} // namespace

void setResponder(Responder replacement) {
    responder() = std::move(replacement);
}

void runModalAlert(QWidget* parent, const QString& messageText, const QString& informativeText,
                   AlertStyle style) {
    if (responder().alert) {
        responder().alert(messageText, informativeText);
        return;
    }
    QMessageBox box(parent);
    box.setIcon(style == AlertStyle::Warning ? QMessageBox::Warning : QMessageBox::Information);
    box.setText(messageText);
    box.setInformativeText(informativeText);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

int runQuestion(QWidget* parent, const QString& messageText, const QString& informativeText,
                const QStringList& buttons) {
    if (responder().question) {
        return responder().question(messageText, buttons);
    }
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Question);
    box.setText(messageText);
    box.setInformativeText(informativeText);
    QList<QAbstractButton*> added;
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        const bool escape = buttons.size() >= 3 && i == buttons.size() - 1;
        added << box.addButton(buttons[i], i == 0   ? QMessageBox::AcceptRole
                                           : escape ? QMessageBox::RejectRole
                                                    : QMessageBox::DestructiveRole);
    }
    if (!added.isEmpty()) {
        box.setDefaultButton(qobject_cast<QPushButton*>(added.first()));
    }
    box.exec();
    return static_cast<int>(added.indexOf(box.clickedButton()));
}

bool runAlertWithAction(QWidget* parent, const QString& messageText, const QString& informativeText,
                        const QString& action) {
    if (responder().question) {
        return responder().question(messageText, {QObject::tr("OK"), action}) == 1;
    }
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Information);
    box.setText(messageText);
    box.setInformativeText(informativeText);
    QAbstractButton* chosen = box.addButton(action, QMessageBox::ActionRole);
    QPushButton* ok = box.addButton(QMessageBox::Ok);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    return box.clickedButton() == chosen;
}

QUrl runOpenPanel(QWidget* window, const QString& title, const QStringList& allowedFileTypes) {
    if (responder().openPanel) {
        const auto [response, url] = responder().openPanel(allowedFileTypes);
        return response == kResponseOK ? url : QUrl();
    }
    const QString path =
        QFileDialog::getOpenFileName(window, title, {}, nameFilter(allowedFileTypes));
    return path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
}

QUrl runSavePanel(QWidget* window, const QString& title, const QString& suggestedPath,
                  const QStringList& allowedFileTypes) {
    if (responder().savePanel) {
        const auto [response, url] = responder().savePanel(suggestedPath);
        return response == kResponseOK ? url : QUrl();
    }
    QFileDialog panel(window, title, suggestedPath, nameFilter(allowedFileTypes));
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.setFileMode(QFileDialog::AnyFile);
    if (!allowedFileTypes.isEmpty()) {
        panel.setDefaultSuffix(allowedFileTypes.first());
    }
    panel.selectFile(suggestedPath);
    if (panel.exec() != QDialog::Accepted || panel.selectedUrls().isEmpty()) {
        return {};
    }
    return panel.selectedUrls().first();
}

void beginOpenPanel(QWidget* window, const QStringList& allowedFileTypes,
                    std::function<void(int response, const QUrl& url)> completion) {
    if (responder().openPanel) {
        const auto [response, url] = responder().openPanel(allowedFileTypes);
        completion(response, url);
        return;
    }
    auto* panel = new QFileDialog(window, QObject::tr("Import Video"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFileMode(QFileDialog::ExistingFile);
    panel->setNameFilter(QObject::tr("Movies (%1)").arg(nameFilter(allowedFileTypes)));
    panel->setWindowModality(Qt::WindowModal);
    QObject::connect(panel, &QFileDialog::finished, panel,
                     [panel, completion = std::move(completion)](int result) {
                         const QList<QUrl> chosen = panel->selectedUrls();
                         if (result == QDialog::Accepted && !chosen.isEmpty()) {
                             completion(kResponseOK, chosen.first());
                         } else {
                             completion(kResponseCancel, QUrl());
                         }
                     });
    panel->open();
}

void beginImportPanel(QWidget* window, QObject* context, std::function<void(const QUrl&)> load) {
    beginOpenPanel(window, {"mov", "3gp", "mp4"},
                   [guard = QPointer<QObject>(context), load = std::move(load)](int response,
                                                                                const QUrl& url) {
                       if (response != kResponseOK || !guard) {
                           return;
                       }
                       QTimer::singleShot(0, guard, [load, url] { load(url); });
                   });
}

} // namespace lento::dialogs
