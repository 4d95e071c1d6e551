#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QObject;

class QWidget;

namespace lento {

class Player;
class PlayerView;
class VideoControlBar;

// Gives `view` a new player for `path` in place of the one it holds, with the pitch falling with
// the rate. `onStatus` hears the status at once and on every change, `onEnd` the end of the
// item, both in `context`. The bar gets the player with its play button disabled and the rate
// at 1.
Player* loadPlayer(PlayerView& view, VideoControlBar& bar, const QString& path, QObject* context,
                   const std::function<void(Player*)>& onStatus,
                   const std::function<void()>& onEnd);

// Whether an editor takes a file: it plays, and its extension is none of `rejected` (compared
// exactly, so "AVI" passes where "avi" does not).
bool isAcceptedVideoFile(const QString& path, const QStringList& rejected);

// The acceptance rule of both editors: the file plays, and its extension is none of `rejected`
// (compared exactly, so "AVI" passes where "avi" does not). A rejected file is logged and
// explained in an alert on `parent`.
bool acceptVideoFile(const QString& path, const QStringList& rejected, QWidget* parent);

// The alert text for a rejected file.
QString invalidFileMessage();

} // namespace lento
