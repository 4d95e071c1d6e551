#pragma once

#include "media/Player.h"

#include <QImage>
#include <QWidget>

#include <memory>

struct mpv_render_context;

namespace lento {

struct MpvRenderContextDeleter {
    // The OpenGL context it was made with must be current.
    void operator()(mpv_render_context* context) const;
};
using MpvRenderContextPtr = std::unique_ptr<mpv_render_context, MpvRenderContextDeleter>;

class LivePlayback;
class PlayerCanvas;

// Shows its player's picture, letterboxed, drawn by mpv's render API into an OpenGL widget that
// fills the view, or a picture made for playback in its place. The view owns the player, and the
// live playback that follows it with the pictures of a composition given to it. Without a player
// it is black; where there is no OpenGL (Qt's offscreen platform) it is black too and the player
// still plays.
//
// The OpenGL widget is a child made only where OpenGL works: Qt 6.4 crashes as soon as a window
// holding a QOpenGLWidget is shown on a platform without OpenGL.
class PlayerView : public QWidget {
    Q_OBJECT
public:
    explicit PlayerView(QWidget* parent = nullptr);
    ~PlayerView() override;

    // Shows `player` instead of the current one, which is destroyed. Null shows nothing.
    void setPlayer(std::unique_ptr<Player> player);
    Player* player() const { return m_player.get(); }
    // Made pictures for the player (shown here in place of its own); null without a player.
    LivePlayback* livePlayback() const { return m_live.get(); }
    // Hands the player over, still playing; the view shows nothing.
    std::unique_ptr<Player> takePlayer();

    // Whether mpv draws into this view; false until the view has an OpenGL context.
    bool isRendering() const;

    // Shows `picture` (made for playback, shaped for the screen) letterboxed in place of the
    // player's own; a null image gives the player's picture back.
    void setLivePicture(const QImage& picture);
    const QImage& livePicture() const { return m_livePicture; }

signals:
    // The view shows another player, or none.
    void playerChanged(lento::Player* player);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Ends the live playback of the player that goes: it follows that player.
    void endLivePlayback();

    std::unique_ptr<Player> m_player;
    std::unique_ptr<LivePlayback> m_live; // of m_player, ended before it
    // A child widget; null without OpenGL.
    PlayerCanvas* m_canvas = nullptr;
    QImage m_livePicture;
};

} // namespace lento
