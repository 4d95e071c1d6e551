#include "app/PlayerLoading.h"

#include "app/Dialogs.h"
#include "app/Log.h"
#include "controls/VideoControlBar.h"
#include "media/PlayerView.h"

#include <QFileInfo>
#include <QStringList>

namespace lento {

Player* loadPlayer(PlayerView& view, VideoControlBar& bar, const QString& path, QObject* context,
                   const std::function<void(Player*)>& onStatus,
                   const std::function<void()>& onEnd) {
    if (Player* old = view.player()) {
        old->disconnect(context);
        bar.setM_Player(nullptr);
        view.setPlayer(nullptr);
    }
    auto created = std::make_unique<Player>(path);
    Player* player = created.get();
    view.setPlayer(std::move(created));
    player->setAudioTimePitchAlgorithm(PlayerItem::PitchAlgorithm::Varispeed);
    QObject::connect(player, &Player::didPlayToEnd, context, onEnd);
    QObject::connect(player, &Player::statusChanged, context,
                     [onStatus, player] { onStatus(player); });
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

bool isAcceptedVideoFile(const QString& path, const QStringList& rejected) {
    return !rejected.contains(QFileInfo(path).suffix(), Qt::CaseSensitive) &&
           Asset::assetWithPath(path.toStdString())->isPlayable();
}

bool acceptVideoFile(const QString& path, const QStringList& rejected, QWidget* parent) {
    if (isAcceptedVideoFile(path, rejected)) {
        return true;
    }
    logLine("No Playable");
    dialogs::runModalAlert(parent, invalidFileMessage());
    return false;
}

} // namespace lento
