#include "base/Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace lento::dialogs {

namespace {

Responder& responder() {
    static Responder instance;
    return instance;
}

} // namespace

void setResponder(Responder replacement) {
    responder() = std::move(replacement);
}

void runModalAlert(QWidget* parent, const QString& messageText, const QString& informativeText) {
    if (responder().alert) {
        responder().alert(messageText, informativeText);
        return;
    }
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Warning);
    box.setText(messageText);
    box.setInformativeText(informativeText);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

void beginOpenPanel(QWidget* window, const QStringList& allowedFileTypes,
                    std::function<void(int response, const QUrl& url)> completion) {
    if (responder().openPanel) {
        const auto [response, url] = responder().openPanel(allowedFileTypes);
        completion(response, url);
        return;
    }
    QStringList patterns;
    for (const QString& type : allowedFileTypes) {
        patterns << "*." + type;
    }
    auto* panel = new QFileDialog(window, QObject::tr("Import Video"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFileMode(QFileDialog::ExistingFile);
    panel->setNameFilter(QObject::tr("Movies (%1)").arg(patterns.join(' ')));
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
