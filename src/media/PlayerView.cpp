#include "media/PlayerView.h"

#include "media/LivePlayback.h"

#include <mpv/client.h>
#include <mpv/render_gl.h>

#include <QHBoxLayout>
#include <QMetaObject>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPainter>

namespace lento {

namespace {

void* getProcAddress(void* /*unused*/, const char* name) {
    QOpenGLContext* context = QOpenGLContext::currentContext();
    return context ? reinterpret_cast<void*>(context->getProcAddress(name)) : nullptr;
}

// Whether this platform gives OpenGL contexts at all; asked once.
bool platformHasOpenGL() {
    static const bool available = [] {
        QOpenGLContext probe;
        return probe.create();
    }();
    return available;
}

// `picture` scaled to fit `area`, keeping its shape, the rest black.
void paintLetterboxed(QPainter& painter, const QRect& area, const QImage& picture) {
    painter.fillRect(area, Qt::black);
    QSize fitted = picture.size().scaled(area.size(), Qt::KeepAspectRatio);
    QRect target(QPoint(0, 0), fitted);
    target.moveCenter(area.center());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, picture);
}

} // namespace

void MpvRenderContextDeleter::operator()(mpv_render_context* context) const {
    mpv_render_context_free(context);
}

// The OpenGL surface mpv draws into. It makes its render context for the player's core once it
// has both the core and an OpenGL context, and frees it on detach().
class PlayerCanvas : public QOpenGLWidget {
public:
    explicit PlayerCanvas(QWidget* parent) : QOpenGLWidget(parent) {}

    ~PlayerCanvas() override {
        // The view detaches first; this only guards the OpenGL context that QOpenGLWidget
        // destroys after this.
        QObject::disconnect(m_contextDestroyed);
        freeRenderContext();
    }

    // `mpv` must outlive the attachment.
    void attach(mpv_handle* mpv) {
        detach();
        m_mpv = mpv;
        createRenderContext();
        update();
    }

    // Frees the render context while the core is still alive; the core keeps playing.
    void detach() {
        freeRenderContext();
        m_mpv = nullptr;
        update();
    }

    bool isRendering() const { return m_renderContext != nullptr; }

    void setPicture(const QImage* picture) {
        m_picture = picture;
        update();
    }

protected:
    void initializeGL() override {
        // Called again with a new context when the widget moves to another window.
        m_glReady = true;
        QObject::disconnect(m_contextDestroyed);
        m_contextDestroyed = connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] {
            freeRenderContext();
            m_glReady = false;
        });
        createRenderContext();
    }

    void paintGL() override {
        if (m_picture != nullptr && !m_picture->isNull()) {
            paintPicture();
            return;
        }
        if (!m_renderContext) {
            QOpenGLFunctions* gl = context()->functions();
            gl->glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
            gl->glClear(GL_COLOR_BUFFER_BIT);
            return;
        }
        renderMpv();
    }

private:
    // mpv's picture, letterboxed in black.
    void renderMpv() {
        const qreal ratio = devicePixelRatioF();
        mpv_opengl_fbo fbo{static_cast<int>(defaultFramebufferObject()),
                           static_cast<int>(width() * ratio), static_cast<int>(height() * ratio),
                           0};
        int flipY = 1;
        // Draw what is due now rather than hold the main thread until a frame's time.
        int blockForTargetTime = 0;
        mpv_render_param params[] = {
            {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
            {MPV_RENDER_PARAM_FLIP_Y, &flipY},
            {MPV_RENDER_PARAM_BLOCK_FOR_TARGET_TIME, &blockForTargetTime},
            {MPV_RENDER_PARAM_INVALID, nullptr},
        };
        // mpv scales the picture to fit, keeping its shape, and fills the rest black.
        mpv_render_context_render(m_renderContext.get(), params);
    }

    // The made picture in place of mpv's. mpv still draws each new picture of its own, as its
    // output waits for that, but the made one covers it.
    void paintPicture() {
        if (m_renderContext &&
            (mpv_render_context_update(m_renderContext.get()) & MPV_RENDER_UPDATE_FRAME) != 0) {
            renderMpv();
        }
        QPainter painter(this);
        paintLetterboxed(painter, rect(), *m_picture);
    }

    // mpv's update callback, called on any of mpv's threads.
    static void renderUpdate(void* canvas) {
        auto* self = static_cast<PlayerCanvas*>(canvas);
        QMetaObject::invokeMethod(
            self, [self] { self->update(); }, Qt::QueuedConnection);
    }

    void createRenderContext() {
        if (!m_glReady || !m_mpv || m_renderContext || !context()) {
            return;
        }
        makeCurrent();
        mpv_opengl_init_params glParams{&getProcAddress, nullptr};
        mpv_render_param params[] = {
            {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_OPENGL)},
            {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glParams},
            {MPV_RENDER_PARAM_INVALID, nullptr},
        };
        mpv_render_context* created = nullptr;
        if (mpv_render_context_create(&created, m_mpv, params) >= 0) {
            m_renderContext.reset(created);
            mpv_render_context_set_update_callback(created, &PlayerCanvas::renderUpdate, this);
        }
        doneCurrent();
        if (m_renderContext) {
            // The player decodes into mpv's null output until it has somewhere to draw. Set at
            // once: mpv may carry out a later request before an earlier queued one.
            mpv_set_property_string(m_mpv, "vo", "libmpv");
        }
    }

    void freeRenderContext() {
        if (!m_renderContext) {
            return;
        }
        makeCurrent();
        // Back to the null output first: freeing a context in use would turn video off for
        // good, and a player handed on keeps playing.
        mpv_set_property_string(m_mpv, "vo", "null");
        // Once this returns mpv calls renderUpdate() no more.
        mpv_render_context_set_update_callback(m_renderContext.get(), nullptr, nullptr);
        m_renderContext.reset();
        doneCurrent();
    }

    mpv_handle* m_mpv = nullptr;       // the player's, not ours
    const QImage* m_picture = nullptr; // the view's, while it shows one
    MpvRenderContextPtr m_renderContext;
    bool m_glReady = false;
    QMetaObject::Connection m_contextDestroyed;
};

PlayerView::PlayerView(QWidget* parent) : QWidget(parent) {
    if (platformHasOpenGL()) {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        m_canvas = new PlayerCanvas(this);
        layout->addWidget(m_canvas);
    }
}

PlayerView::~PlayerView() {
    // The render context and the live playback go before the player's core.
    if (m_canvas) {
        m_canvas->detach();
    }
    m_live.reset();
    m_player.reset();
}

void PlayerView::endLivePlayback() {
    m_live.reset();
    setLivePicture(QImage());
}

void PlayerView::setPlayer(std::unique_ptr<Player> player) {
    if (m_canvas) {
        m_canvas->detach();
    }
    endLivePlayback();
    m_player = std::move(player);
    if (m_player) {
        m_live = std::make_unique<LivePlayback>(m_player.get());
        connect(m_live.get(), &LivePlayback::pictureChanged, this, &PlayerView::setLivePicture);
    }
    if (m_canvas && m_player && m_player->handle()) {
        m_canvas->attach(m_player->handle());
    }
    update();
    emit playerChanged(m_player.get());
}

std::unique_ptr<Player> PlayerView::takePlayer() {
    if (m_canvas) {
        m_canvas->detach();
    }
    endLivePlayback();
    update();
    std::unique_ptr<Player> taken = std::move(m_player);
    emit playerChanged(nullptr);
    return taken;
}

void PlayerView::setLivePicture(const QImage& picture) {
    m_livePicture = picture;
    if (m_canvas) {
        m_canvas->setPicture(&m_livePicture);
    }
    update();
}

bool PlayerView::isRendering() const {
    return m_canvas && m_canvas->isRendering();
}

void PlayerView::paintEvent(QPaintEvent* /*event*/) {
    // Seen only without OpenGL; the canvas covers the view otherwise.
    QPainter painter(this);
    if (m_livePicture.isNull()) {
        painter.fillRect(rect(), Qt::black);
    } else {
        paintLetterboxed(painter, rect(), m_livePicture);
    }
}

} // namespace lento
