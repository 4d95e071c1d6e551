#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QObject;
class QWidget;

namespace lento {

// The application's modal dialogs. Tests install a responder that answers them instead of a
// person; without one they are real Qt dialogs.
namespace dialogs {

// Response codes, as the panels give them.
inline constexpr int kResponseCancel = 0;
inline constexpr int kResponseOK = 1;

enum class AlertStyle { Warning, Informational };

// A modal alert with the one default button.
void runModalAlert(QWidget* parent, const QString& messageText, const QString& informativeText = {},
                   AlertStyle style = AlertStyle::Warning);

// A modal question with `buttons`, the first the default; of three or more, the last is the one
// Escape presses. The index of the button chosen, -1 when the alert was closed otherwise.
int runQuestion(QWidget* parent, const QString& messageText, const QString& informativeText,
                const QStringList& buttons);

// A modal message with its default OK button and `action` beside it; true when `action` was
// chosen. A responder answers it as a question with the buttons OK and `action`.
bool runAlertWithAction(QWidget* parent, const QString& messageText, const QString& informativeText,
                        const QString& action);

// Modal file panels for one file of the given extensions: the file chosen, empty on Cancel.
// The save panel starts at `suggestedPath` and adds the first extension to a name without it.
QUrl runOpenPanel(QWidget* window, const QString& title, const QStringList& allowedFileTypes);
QUrl runSavePanel(QWidget* window, const QString& title, const QString& suggestedPath,
                  const QStringList& allowedFileTypes);

// An open panel for one file of the given extensions, as a sheet on `window`; `completion` gets
// the response and the chosen file.
void beginOpenPanel(QWidget* window, const QStringList& allowedFileTypes,
                    std::function<void(int response, const QUrl& url)> completion);

// The import panel: one mov, 3gp or mp4 file, as a sheet on `window`. On OK, `load` runs with the
// file on a later pass of the event loop, once the panel is gone, unless `context` is gone by then.
void beginImportPanel(QWidget* window, QObject* context, std::function<void(const QUrl&)> load);

struct Responder {
    // Called instead of showing an alert.
    std::function<void(const QString& messageText, const QString& informativeText)> alert;
    // Answers an open panel: the response and the file.
    std::function<std::pair<int, QUrl>(const QStringList& allowedFileTypes)> openPanel;
    // Answers a question with the index of a button.
    std::function<int(const QString& messageText, const QStringList& buttons)> question;
    // Answers a save panel: the response and the file.
    std::function<std::pair<int, QUrl>(const QString& suggestedPath)> savePanel;
};

// Installs `responder` (an empty one restores the real dialogs).
void setResponder(Responder responder);

} // namespace dialogs
} // namespace lento
