#pragma once

#include "app/repaint_throttle.h"

#include <QFont>
#include <QWidget>

// Progress bar with a caption drawn centred over the bar in every style. Colours are 24-bit
// values in the 0x00BBGGRR form (red in the low byte), as device-side tools and the transfer
// logic speak of them.
class ProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);

    void setText(const QString& text);
    void setBarColor(quint32 bgr);
    void setForeColor(quint32 bgr);
    void setValue(int value);
    void setMax(int max);

    [[nodiscard]] QString text() const { return m_text; }
    [[nodiscard]] quint32 barColor() const { return m_barColor; }
    [[nodiscard]] int value() const { return m_value; }
    [[nodiscard]] int max() const { return m_max; }

    // Width in pixels of the filled part for a given inner width (empty when max <= 0).
    [[nodiscard]] static int fillWidth(int value, int max, int innerWidth);
    [[nodiscard]] static QColor toQColor(quint32 bgr);

    void flushRepaint() { m_throttle.flushNow(); }
    // The area a repaint is pending for (empty when the screen is current).
    [[nodiscard]] QRect dirtyArea() const { return m_dirty; }
    // What the screen shows now: the text and colour of the last paint.
    [[nodiscard]] QString paintedText() const { return m_paintedText; }
    [[nodiscard]] quint32 paintedBarColor() const { return m_paintedBarColor; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    [[nodiscard]] QRect innerRect() const;
    void markDirty(const QRect& area);
    void flushDirty();

    QString m_text;
    quint32 m_barColor = 0xFF0000; // blue
    quint32 m_foreColor = 0x000000;
    int m_value = 0;
    int m_max = 100;
    QString m_paintedText;
    quint32 m_paintedBarColor = 0;
    QRect m_dirty;
    RepaintThrottle m_throttle;
};
