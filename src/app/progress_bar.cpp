#include "app/progress_bar.h"

#include <QPainter>
#include <QStyleOptionFrame>

#include <algorithm>
#include <cstdlib>
#include <utility>

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent), m_throttle([this] { flushDirty(); }, this) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QRect ProgressBar::innerRect() const {
    return rect().adjusted(2, 2, -2, -2);
}

void ProgressBar::markDirty(const QRect& area) {
    if (area.isEmpty())
        return;
    m_dirty |= area;
    m_throttle.request();
}

void ProgressBar::flushDirty() {
    update(std::exchange(m_dirty, QRect()));
}

void ProgressBar::setText(const QString& text) {
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleDescription(text);
    markDirty(rect());
}

void ProgressBar::setBarColor(quint32 bgr) {
    m_barColor = bgr & 0xFFFFFF;
    markDirty(rect());
}

void ProgressBar::setForeColor(quint32 bgr) {
    m_foreColor = bgr & 0xFFFFFF;
    markDirty(rect());
}

// Only the strip between the old and the new end of the fill is painted again: most steps move
// it by no pixel at all, the rest by a few, and the text over it is drawn the same either way.
void ProgressBar::setValue(int value) {
    const QRect inner = innerRect();
    const int from = fillWidth(m_value, m_max, inner.width()), to = fillWidth(value, m_max, inner.width());
    m_value = value;
    markDirty(QRect(inner.left() + std::min(from, to), inner.top(), std::abs(to - from), inner.height()));
}

void ProgressBar::setMax(int max) {
    m_max = max;
    markDirty(rect());
}

int ProgressBar::fillWidth(int value, int max, int innerWidth) {
    if (max <= 0 || value <= 0 || innerWidth <= 0)
        return 0;
    if (value >= max)
        return innerWidth;
    return int(qint64(innerWidth) * value / max);
}

QColor ProgressBar::toQColor(quint32 bgr) {
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

void ProgressBar::paintEvent(QPaintEvent*) {
    m_paintedText = m_text;
    m_paintedBarColor = m_barColor;
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, palette().color(QPalette::Base));
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.lineWidth = 1;
    frame.midLineWidth = 0;
    frame.state |= QStyle::State_Sunken;
    style()->drawPrimitive(QStyle::PE_Frame, &frame, &p, this);

    const QRect inner = innerRect();
    const int w = fillWidth(m_value, m_max, inner.width());
    if (w > 0)
        p.fillRect(QRect(inner.left(), inner.top(), w, inner.height()), toQColor(m_barColor));
    if (!m_text.isEmpty()) {
        p.setPen(toQColor(m_foreColor));
        p.setFont(font());
        p.drawText(r, Qt::AlignCenter, m_text);
    }
}
