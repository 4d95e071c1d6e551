#pragma once

#include "media/Asset.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

class QObject;
class QWidget;

namespace lento {

class EditDocument;
class Player;
class PlayerView;
class VideoControlBar;

// Gives `view` a new player for the probed `asset` in place of the one it holds, with the pitch
// falling with the rate. `onStatus` hears the status at once and on every change, `onEnd` the end
// of the item, both in `context`. The bar gets the player with its play button disabled and the
// rate at 1, and its play button follows the player from then on.
Player* loadPlayer(PlayerView& view, VideoControlBar& bar, std::shared_ptr<Asset> asset,
                   QObject* context, const std::function<void(Player*)>& onStatus,
                   const std::function<void()>& onEnd);

// Exports and the preview pause the player itself, not through the bar: the bar's play button
// must still show that it is paused, or its next press only turns it off.
void showPausesOnBar(Player& player, VideoControlBar& bar);

// Takes `view`'s player away, unhooked from `context` and `bar`, and leaves the bar showing no
// video; nothing when it has none.
void unloadPlayer(PlayerView& view, VideoControlBar& bar, QObject* context);

// The acceptance rule of both editors, for the file at `path`: it is there, it can be read, its
// extension is none of `rejected` (compared exactly, so "AVI" passes where "avi" does not), and
// it plays. Everything but the last is decided at once; the probe runs on a worker thread, so
// that the window keeps repainting however slow the disk. A playable file's asset reaches `load`
// on the main thread; any other is logged and explained in an alert on `alertParent`. A later
// open for the same `editor` supersedes a probe still running, and an editor that is gone hears
// nothing.
void openVideoFile(QObject& editor, const QString& path, const QStringList& rejected,
                   QWidget* alertParent, std::function<void(std::shared_ptr<Asset>)> load);

// A tab's intake of the edit's one video. A file the user opens in the tab becomes the edit's
// source once it plays and the edit in hand may be set aside; a source the edit gets elsewhere
// (the other tab, an opened edit) is loaded without asking again. The asset probed for the
// user's own open is kept for the reset it causes, so that file is probed once.
class EditSourceIntake {
public:
    // Probes `path` as openVideoFile does, then resets `document` to it.
    void open(QObject& editor, EditDocument& document, const QString& path,
              const QStringList& rejected, QWidget* alertParent);

    enum class Follow { NoSource, Playing, Loading };
    // After `document` was reset: NoSource when the edit has none; Playing when it is `playing`
    // already (unless the tab itself just opened it, which loads afresh); else Loading, and
    // `load` gets the source's asset, at once or once probed, while it is still the edit's.
    Follow follow(QObject& editor, const EditDocument& document, const QUrl& playing,
                  QWidget* alertParent,
                  const std::function<void(const QUrl&, std::shared_ptr<Asset>)>& load);

private:
    QString m_probedPath;
    std::shared_ptr<Asset> m_probedAsset;
};

// The alert texts for a refused file.
QString invalidFileMessage();
QString fileNotFoundMessage();
QString fileUnreadableMessage();

} // namespace lento
