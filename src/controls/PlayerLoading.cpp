#include "controls/PlayerLoading.h"

#include "base/Dialogs.h"
#include "base/FileNames.h"
#include "base/Log.h"
#include "controls/VideoControlBar.h"
#include "edit/EditDocument.h"
#include "media/PlayerView.h"

#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QPointer>
#include <QPromise>
#include <QThreadPool>

#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace lento {

namespace {

// The name of an editor's running probe: the watcher that is its only state.
constexpr const char* kProbeName = "lento-video-probe";

using ProbeWatcher = QFutureWatcher<std::shared_ptr<Asset>>;

void refuse(const QString& message, QWidget* alertParent) {
    logLine("No Playable");
    dialogs::runModalAlert(alertParent, message);
}

// Whatever can be told of the file without reading it; an empty text when nothing is wrong yet.
QString refusalBeforeProbe(const QString& path, const QStringList& rejected) {
    // By the name's bytes: QFileInfo would look for its UTF-8 reading, another file.
    const QByteArray bytes = pathBytes(path);
    struct stat status = {};
    if (stat(bytes.constData(), &status) != 0) {
        return fileNotFoundMessage();
    }
    if (S_ISDIR(status.st_mode) || access(bytes.constData(), R_OK) != 0) {
        return fileUnreadableMessage();
    }
    if (rejected.contains(QFileInfo(path).suffix(), Qt::CaseSensitive)) {
        return invalidFileMessage();
    }
    return {};
}

QFuture<std::shared_ptr<Asset>> probeOnWorker(const QString& path) {
    auto promise = std::make_shared<QPromise<std::shared_ptr<Asset>>>();
    QFuture<std::shared_ptr<Asset>> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start(
        [promise, file = pathBytes(QFileInfo(path).absoluteFilePath()).toStdString()] {
            promise->addResult(Asset::assetWithPath(file));
            promise->finish();
        });
    return future;
}

QFutureWatcherBase* runningProbe(const QObject& editor) {
    return editor.findChild<QFutureWatcherBase*>(QLatin1String(kProbeName),
                                                 Qt::FindDirectChildrenOnly);
}

} // namespace

void unloadPlayer(PlayerView& view, VideoControlBar& bar, QObject* context) {
    if (Player* old = view.player()) {
        old->disconnect(context);
        old->disconnect(&bar);
        bar.setM_Player(nullptr);
        bar.showNoVideo();
        view.setPlayer(nullptr);
    }
}

void showPausesOnBar(Player& player, VideoControlBar& bar) {
    QObject::connect(&player, &Player::playingChanged, &bar, [&bar](bool playing) {
        QToolButton* button = bar.m_btnPlay();
        if (!playing && button != nullptr && button->isChecked()) {
            button->setChecked(false);
            bar.pauseVideo();
        }
    });
}

Player* loadPlayer(PlayerView& view, VideoControlBar& bar, std::shared_ptr<Asset> asset,
                   QObject* context, const std::function<void(Player*)>& onStatus,
                   const std::function<void()>& onEnd) {
    unloadPlayer(view, bar, context);
    auto created = std::make_unique<Player>(std::move(asset));
    Player* player = created.get();
    view.setPlayer(std::move(created));
    player->setAudioTimePitchAlgorithm(PlayerItem::PitchAlgorithm::Varispeed);
    QObject::connect(player, &Player::didPlayToEnd, context, onEnd);
    QObject::connect(player, &Player::statusChanged, context,
                     [onStatus, player] { onStatus(player); });
    showPausesOnBar(*player, bar);
    // The first observation reports the status as it is now.
    onStatus(player);
    bar.setM_Player(player);
    bar.m_btnPlay()->setEnabled(false);
    bar.setPlayRate(1.0f);
    return player;
}

QString invalidFileMessage() {
    return QStringLiteral("Invalid file!\n This software only supports 3gp, Mov, and Mp4.");
}

QString fileNotFoundMessage() {
    return QStringLiteral("The file could not be found.");
}

QString fileUnreadableMessage() {
    return QStringLiteral("The file could not be read.");
}

void openVideoFile(QObject& editor, const QString& path, const QStringList& rejected,
                   QWidget* alertParent, std::function<void(std::shared_ptr<Asset>)> load) {
    if (const QString refusal = refusalBeforeProbe(path, rejected); !refusal.isEmpty()) {
        refuse(refusal, alertParent);
        return;
    }
    // The file opened last is the one the user wants: an earlier probe's answer is dropped with
    // its watcher, while the probe itself runs out on its thread.
    delete runningProbe(editor);
    auto* watcher = new ProbeWatcher(&editor);
    watcher->setObjectName(QLatin1String(kProbeName));
    QObject::connect(watcher, &ProbeWatcher::finished, &editor,
                     [watcher, parent = QPointer<QWidget>(alertParent), load = std::move(load)] {
                         // No longer running, even while the alert below is up.
                         watcher->setObjectName(QString());
                         watcher->deleteLater();
                         std::shared_ptr<Asset> asset =
                             watcher->future().resultCount() > 0 ? watcher->result() : nullptr;
                         if (!asset || !asset->isPlayable()) {
                             refuse(invalidFileMessage(), parent);
                             return;
                         }
                         load(std::move(asset));
                     });
    watcher->setFuture(probeOnWorker(path));
}

void EditSourceIntake::open(QObject& editor, EditDocument& document, const QString& path,
                            const QStringList& rejected, QWidget* alertParent) {
    QPointer<EditDocument> target(&document);
    openVideoFile(editor, path, rejected, alertParent,
                  [this, target, path](std::shared_ptr<Asset> asset) {
                      if (!target || !target->maySetAside()) {
                          return;
                      }
                      const EditState edit = editOfVideo(path, asset->duration());
                      m_probedPath = edit.source.path;
                      m_probedAsset = std::move(asset);
                      target->reset(edit);
                  });
}

EditSourceIntake::Follow
EditSourceIntake::follow(QObject& editor, const EditDocument& document, const QUrl& playing,
                         QWidget* alertParent,
                         const std::function<void(const QUrl&, std::shared_ptr<Asset>)>& load) {
    std::shared_ptr<Asset> probed = std::move(m_probedAsset);
    const QString probedPath = std::exchange(m_probedPath, QString());
    const SourceState& source = document.state().source;
    if (source.isEmpty()) {
        return Follow::NoSource;
    }
    // The video this tab was asked to load is loaded afresh, even where it plays already.
    const QUrl url = urlOfPath(source.path);
    if (probed && probedPath == source.path) {
        load(url, std::move(probed));
        return Follow::Loading;
    }
    if (url == playing) {
        return Follow::Playing;
    }
    // Loaded elsewhere (the other tab, an edit opened): the user has chosen it already.
    QPointer<const EditDocument> watched(&document);
    openVideoFile(editor, source.path, {}, alertParent,
                  [watched, url, load](std::shared_ptr<Asset> asset) {
                      if (watched && watched->state().source.path == pathOfUrl(url)) {
                          load(url, std::move(asset));
                      }
                  });
    return Follow::Loading;
}

} // namespace lento
