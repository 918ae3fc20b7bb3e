#include "app/icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmapCache>

#include <cmath>

namespace Icons {
namespace {

QPixmap canvas(int logicalSize, qreal dpr) {
    const int device = int(std::ceil(logicalSize * dpr));
    QPixmap pm(device, device);
    pm.fill(Qt::transparent);
    pm.setDevicePixelRatio(dpr);
    return pm;
}

// A desktop computer in the classic 16-colour palette, on a 32-unit grid.
QPixmap computer(bool alive, qreal dpr) {
    const QColor black(0, 0, 0), grey(128, 128, 128), silver(192, 192, 192), white(255, 255, 255),
        blue(0, 0, 255), navy(0, 0, 128), cyan(0, 255, 255);
    QPixmap pm = canvas(32, dpr);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    auto box = [&](int x, int y, int w, int h, const QColor& c) { p.fillRect(QRectF(x, y, w, h), c); };

    // Monitor: bezel with a light top-left edge and a dark bottom-right edge.
    box(4, 2, 24, 19, black);
    box(5, 3, 22, 17, silver);
    box(5, 3, 22, 1, white);
    box(5, 3, 1, 17, white);
    box(26, 4, 1, 16, grey);
    box(6, 19, 21, 1, grey);
    // Screen.
    box(7, 5, 18, 13, black);
    if (alive) {
        box(8, 6, 16, 11, blue);
        box(8, 6, 16, 1, navy);
        box(14, 10, 3, 3, cyan);
    }
    // Neck.
    box(13, 21, 6, 2, black);
    box(14, 21, 4, 2, grey);
    // System unit.
    box(1, 23, 30, 8, black);
    box(2, 24, 28, 6, silver);
    box(2, 24, 28, 1, white);
    box(2, 29, 28, 1, grey);
    // Drive slot.
    box(5, 26, 10, 1, black);
    box(5, 27, 10, 1, white);
    // Power light.
    box(24, 26, 3, 2, alive ? cyan : grey);
    return pm;
}

} // namespace

QPixmap tools(int size, qreal dpr) {
    QPixmap pm = canvas(size, dpr);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(size / 24.0, size / 24.0);

    const QColor steel(150, 160, 172), steelDark(70, 78, 90), handle(200, 40, 30), handleDark(120, 20, 15);

    // Spanner on the left, leaning left: open jaw at the top, ring at the bottom.
    p.save();
    p.translate(7.5, 12.0);
    p.rotate(-18);
    // Cutting the outline is the costly part of drawing; it is done once for every size.
    static const QPainterPath spanner = [] {
        QPainterPath outline;
        outline.addRoundedRect(QRectF(-1.5, -7.5, 3.0, 15.0), 1.2, 1.2);
        outline.addEllipse(QPointF(0, -7.6), 3.6, 3.6);
        outline.addEllipse(QPointF(0, 8.2), 2.6, 2.6);
        QPainterPath cut;
        cut.addRect(QRectF(-1.4, -12.0, 2.8, 4.6)); // the jaw's opening
        cut.addEllipse(QPointF(0, 8.2), 1.2, 1.2);  // the ring's hole
        return outline.subtracted(cut);
    }();
    p.setPen(QPen(steelDark, 0.8));
    p.setBrush(steel);
    p.drawPath(spanner);
    p.restore();

    // Screwdriver on the right, leaning right: flat tip at the top, red handle at the bottom.
    p.save();
    p.translate(17.0, 12.0);
    p.rotate(14);
    p.setPen(QPen(steelDark, 0.6));
    p.setBrush(steel);
    p.drawRect(QRectF(-0.8, -10.2, 1.6, 9.7));
    p.drawPolygon(
        QPolygonF({QPointF(-1.3, -10.2), QPointF(1.3, -10.2), QPointF(0.6, -11.2), QPointF(-0.6, -11.2)}));
    p.setPen(QPen(handleDark, 0.8));
    p.setBrush(handle);
    p.drawRoundedRect(QRectF(-2.3, -0.8, 4.6, 10.6), 1.6, 1.6);
    p.setPen(QPen(handleDark, 0.6));
    p.drawLine(QPointF(-0.8, 1.2), QPointF(-0.8, 8.2));
    p.drawLine(QPointF(0.8, 1.2), QPointF(0.8, 8.2));
    p.restore();
    return pm;
}

QPixmap station(int size, qreal dpr) {
    QPixmap pm = canvas(size, dpr);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.scale(size / 24.0, size / 24.0);

    const QColor frame(25, 28, 34), belt(70, 76, 88), roller(150, 158, 170), chip(45, 50, 60),
        pin(200, 196, 170), ok(30, 170, 60), failed(220, 40, 30);
    // The belt, with a roller at each end.
    p.setPen(QPen(frame, 0.6));
    p.setBrush(belt);
    p.drawRoundedRect(QRectF(0.8, 16.6, 22.4, 4.6), 2.3, 2.3);
    p.setBrush(roller);
    p.drawEllipse(QPointF(3.1, 18.9), 1.3, 1.3);
    p.drawEllipse(QPointF(20.9, 18.9), 1.3, 1.3);
    // Three devices on it, each with its pins and its result light above: two passed, one failed.
    for (int i = 0; i < 3; ++i) {
        const qreal x = 1.7 + i * 7.3;
        p.setPen(QPen(pin, 0.7));
        for (qreal px = x + 1.2; px < x + 5.4; px += 1.4)
            p.drawLine(QPointF(px, 15.0), QPointF(px, 16.5));
        p.setPen(QPen(frame, 0.6));
        p.setBrush(chip);
        p.drawRoundedRect(QRectF(x, 9.4, 6.0, 5.7), 0.8, 0.8);
        p.setBrush(i == 2 ? failed : ok);
        p.drawEllipse(QPointF(x + 3.0, 4.9), 2.4, 2.4);
    }
    return pm;
}

namespace {
// Draws vector art at whatever size and scale is asked for, when it is asked for: nothing is
// rendered at start-up that no one shows, and no size is a blurred scaling of another.
class ArtIconEngine : public QIconEngine {
public:
    using Art = QPixmap (*)(int size, qreal dpr);
    ArtIconEngine(Art art, QString key) : m_art(art), m_key(std::move(key)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, m_art(qMin(rect.width(), rect.height()), dpr));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }
    // `size` is in device pixels here; the art is drawn for `scale` at the matching logical size.
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode, QIcon::State, qreal scale) override {
        scale = scale > 0 ? scale : 1.0;
        const int logical = qMax(1, qRound(qMin(size.width(), size.height()) / scale));
        const QString key = QStringLiteral("%1-%2-%3").arg(m_key).arg(logical).arg(scale);
        QPixmap pm;
        if (!QPixmapCache::find(key, &pm)) {
            pm = m_art(logical, scale);
            QPixmapCache::insert(key, pm);
        }
        return pm;
    }
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int s = qMin(size.width(), size.height());
        return {s, s};
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {{16, 16}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    }
    QIconEngine* clone() const override { return new ArtIconEngine(m_art, m_key); }
    QString key() const override { return m_key; }

private:
    Art m_art;
    QString m_key;
};
} // namespace

QIcon applicationIcon() {
    return QIcon(new ArtIconEngine(tools, QStringLiteral("velta-tools")));
}

QIcon stationIcon() {
    return QIcon(new ArtIconEngine(station, QStringLiteral("velta-station")));
}

QPixmap linkAlive(qreal dpr) {
    return computer(true, dpr);
}

QPixmap linkLost(qreal dpr) {
    return computer(false, dpr);
}

} // namespace Icons
