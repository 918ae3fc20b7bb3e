#include "app/progress_bar.h"

#include <QPainter>
#include <QStyleOptionFrame>

#include <algorithm>

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent), m_throttle([this] { update(); }, this) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ProgressBar::setText(const QString& text) {
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleDescription(text);
    m_throttle.request();
}

void ProgressBar::setBarColor(quint32 bgr) {
    m_barColor = bgr & 0xFFFFFF;
    m_throttle.request();
}

void ProgressBar::setForeColor(quint32 bgr) {
    m_foreColor = bgr & 0xFFFFFF;
    m_throttle.request();
}

void ProgressBar::setValue(int value) {
    m_value = value;
    m_throttle.request();
}

void ProgressBar::setMax(int max) {
    m_max = max;
    m_throttle.request();
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

    const QRect inner = r.adjusted(2, 2, -2, -2);
    const int w = fillWidth(m_value, m_max, inner.width());
    if (w > 0)
        p.fillRect(QRect(inner.left(), inner.top(), w, inner.height()), toQColor(m_barColor));
    if (!m_text.isEmpty()) {
        p.setPen(toQColor(m_foreColor));
        p.setFont(font());
        p.drawText(r, Qt::AlignCenter, m_text);
    }
}
