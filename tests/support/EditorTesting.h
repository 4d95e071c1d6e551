#pragma once

#include "base/Dialogs.h"
#include "base/Log.h"
#include "controls/VideoControlBar.h"
#include "media/PlayerView.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <QPushButton>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace lento::test {

// Keeps the log lines, the alerts and the questions shown while it lives (headless players on),
// so that tests can read them. Questions are answered with the button at `questionAnswer`, the
// first (the default) unless told.
class Capture {
public:
    Capture() {
        ensureQtApp();
        Player::setHeadless(true);
        setLogSink([this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_log.push_back(line);
        });
        dialogs::Responder responder;
        responder.alert = [this](const QString& message, const QString& informative) {
            alerts << message;
            informatives << informative;
        };
        responder.question = [this](const QString& message, const QStringList&) {
            questions << message;
            return questionAnswer;
        };
        dialogs::setResponder(std::move(responder));
    }
    ~Capture() {
        dialogs::setResponder({});
        setLogSink({});
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    bool logged(const std::string& line) const {
        std::lock_guard lock(m_mutex);
        return std::find(m_log.begin(), m_log.end(), line) != m_log.end();
    }
    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> found;
        std::copy_if(m_log.begin(), m_log.end(), std::back_inserter(found),
                     [&](const std::string& line) { return line.starts_with(prefix); });
        return found;
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        m_log.clear();
        alerts.clear();
        informatives.clear();
        questions.clear();
    }

    QStringList alerts, informatives, questions;
    int questionAnswer = 0;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_log;
};

inline QUrl fileUrl(const std::string& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path));
}

// Drops the file at `path` on an editor and waits until a new player is ready and the controls
// say so (the file is probed off the main thread); false if they never did.
template <typename Editor> bool dropAndWait(Editor& editor, const std::string& path) {
    const Player* previous = editor.m_VideoPlayer()->player();
    editor.fileDropped(fileUrl(path));
    return waitUntil([&] {
        const Player* player = editor.m_VideoPlayer()->player();
        return player != nullptr && player != previous &&
               player->status() == Player::Status::ReadyToPlay &&
               editor.m_VideoControlBar()->m_btnPlay()->isEnabled();
    });
}

} // namespace lento::test
