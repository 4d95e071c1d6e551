#include "controls/TrackImage.h"

#include "controls/TrackAxis.h"
#include "controls/TrackBands.h"
#include "media/Asset.h"
#include "media/TrackOverview.h"

#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace lento {

namespace {

// How long the track keeps a width before a filmstrip is made for it.
constexpr int kOverviewDelayMs = 150;

QColor withAlpha(QColor colour, int alpha) {
    colour.setAlpha(alpha);
    return colour;
}

} // namespace

TrackImage::TrackImage(QWidget* parent)
    : QWidget(parent), m_overview(new TrackOverview(this)), m_overviewDelay(new QTimer(this)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(m_overview, &TrackOverview::thumbnailReady, this, [this] { update(); });
    connect(m_overview, &TrackOverview::waveformChanged, this, [this] { update(); });
    m_overviewDelay->setSingleShot(true);
    m_overviewDelay->setInterval(kOverviewDelayMs);
    connect(m_overviewDelay, &QTimer::timeout, this, &TrackImage::requestOverview);
}

void TrackImage::showVideo(const Asset& asset) {
    m_path = asset.path();
    // Thumbnails keep the picture's shape, upright.
    const std::vector<AssetTrack> video = asset.tracksWithMediaType(MediaType::Video);
    m_rotation = video.empty() ? 0 : video.front().rotation;
    m_aspect = 16.0 / 9.0;
    if (!video.empty() && video.front().naturalWidth > 0 && video.front().naturalHeight > 0) {
        m_aspect = double(video.front().naturalWidth) / double(video.front().naturalHeight);
        if (m_rotation % 180 != 0) {
            m_aspect = 1.0 / m_aspect;
        }
    }
    requestOverview();
}

void TrackImage::showNoVideo() {
    m_path.clear();
    m_overview->clear();
}

void TrackImage::requestOverview() {
    const QRect strip = filmstripRect();
    if (m_path.empty() || strip.isEmpty()) {
        return;
    }
    // In device pixels, for sharpness.
    const double ratio = devicePixelRatioF();
    const int height = std::max(1, static_cast<int>(std::lround(strip.height() * ratio)));
    const int width = std::max(1, static_cast<int>(std::lround(height * m_aspect)));
    const int count =
        std::max(1, static_cast<int>(std::ceil(strip.width() * ratio / double(width))));
    m_overview->request(m_path, count, QSize(width, height), m_rotation);
}

void TrackImage::setBands(std::vector<TrackBand> bands, MediaTime duration) {
    m_bands = std::move(bands);
    m_duration = duration;
    update();
}

QRect TrackImage::filmstripRect() const {
    return QRect(0, 0, width(), std::max(0, height() - kWaveformHeight));
}

QRect TrackImage::waveformRect() const {
    const QRect strip = filmstripRect();
    return QRect(0, strip.bottom() + 1, width(), height() - strip.height());
}

void TrackImage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_overviewDelay->start();
}

void TrackImage::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bar = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    constexpr double kRadius = 4.0;
    // Shades of the text colour contrast with the window whatever the theme.
    const QColor text = palette().color(QPalette::WindowText);
    QPainterPath frame;
    frame.addRoundedRect(bar, kRadius, kRadius);
    painter.fillPath(frame, withAlpha(text, 70));
    painter.save();
    painter.setClipPath(frame);
    paintFilmstrip(painter);
    paintWaveform(painter);
    paintTrackBands(painter, m_bands, TrackAxis(m_duration, 0, width()), height(), palette());
    painter.restore();
    painter.setPen(QPen(withAlpha(text, 150), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(frame);
}

void TrackImage::paintFilmstrip(QPainter& painter) const {
    const std::vector<QImage>& thumbnails = m_overview->thumbnails();
    const QRect strip = filmstripRect();
    if (thumbnails.empty() || strip.isEmpty()) {
        return;
    }
    // The strip was made for this width or, until the one for it arrives, for another one: its
    // thumbnails are spread over the track either way.
    const double slot = double(strip.width()) / double(thumbnails.size());
    const QImage* shown = nullptr;
    for (size_t i = 0; i < thumbnails.size(); ++i) {
        // A thumbnail not made yet shows its left neighbour, so the strip has no holes.
        if (!thumbnails[i].isNull()) {
            shown = &thumbnails[i];
        }
        if (shown == nullptr) {
            continue;
        }
        const QRectF target(strip.x() + slot * double(i), strip.y(), slot, strip.height());
        painter.drawImage(target, *shown);
    }
}

void TrackImage::paintWaveform(QPainter& painter) const {
    const QRect area = waveformRect();
    painter.fillRect(area, withAlpha(palette().color(QPalette::Base), 200));
    if (m_overview->waveform().empty() || area.width() <= 0) {
        return;
    }
    const std::vector<float>& peaks = m_overview->waveform();
    const double middle = area.center().y() + 0.5;
    // Scaled to the loudest peak, so that quiet recordings show their shape too; hiss alone is
    // not blown up to full height.
    constexpr float kQuietest = 0.05f;
    const double half = (area.height() / 2.0 - 1.0) /
                        std::max(kQuietest, *std::max_element(peaks.begin(), peaks.end()));
    painter.setPen(QPen(withAlpha(palette().color(QPalette::WindowText), 170), 1.0));
    const size_t bins = peaks.size();
    for (int column = 0; column < area.width(); ++column) {
        // The loudest bin under this column.
        const size_t from = bins * size_t(column) / size_t(area.width());
        const size_t to = std::max(from + 1, bins * size_t(column + 1) / size_t(area.width()));
        const float peak = *std::max_element(peaks.begin() + std::ptrdiff_t(from),
                                             peaks.begin() + std::ptrdiff_t(std::min(to, bins)));
        const double reach = std::max(0.5, half * double(peak));
        const double x = area.x() + column + 0.5;
        painter.drawLine(QPointF(x, middle - reach), QPointF(x, middle + reach));
    }
}

} // namespace lento
