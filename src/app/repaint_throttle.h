#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

// Lets state change at once while the screen follows at a bounded rate: request() may be called
// for every datagram, the flush runs at most once per interval and always after the last request.
class RepaintThrottle : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultIntervalMs = 25; // 40 frames a second at most

    explicit RepaintThrottle(std::function<void()> flush, QObject* parent = nullptr,
                             int intervalMs = DefaultIntervalMs);

    void request() {
        if (!m_timer.isActive())
            m_timer.start();
    }
    // Runs a pending flush now (tests and the end of a burst use it).
    void flushNow();
    [[nodiscard]] bool pending() const { return m_timer.isActive(); }

private:
    std::function<void()> m_flush;
    QTimer m_timer;
};
