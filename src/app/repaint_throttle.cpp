#include "app/repaint_throttle.h"

RepaintThrottle::RepaintThrottle(std::function<void()> flush, QObject* parent, int intervalMs)
    : QObject(parent), m_flush(std::move(flush)) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(intervalMs);
    // A precise timer so the frame rate does not drift to coarse 5% slack under load.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_flush(); });
}

void RepaintThrottle::flushNow() {
    if (!m_timer.isActive())
        return;
    m_timer.stop();
    m_flush();
}
