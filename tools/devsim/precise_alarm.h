#pragma once

#include "core/io/result.h"

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Rings at a time on the steady clock to within tens of microseconds, from the event loop and
// without a busy wait: Qt's timers count whole milliseconds, a device's record takes a fifth of
// one. A timerfd read by a socket notifier.
class PreciseAlarm : public QObject {
    Q_OBJECT
public:
    explicit PreciseAlarm(QObject* parent = nullptr);
    ~PreciseAlarm() override;

    Result<void> open();
    // Rings once at `steadyNs` (std::chrono::steady_clock), at once if that has passed; replaces
    // the time set before.
    void ringAt(qint64 steadyNs);
    [[nodiscard]] static qint64 nowNs();

signals:
    void rang();

private:
    void ring();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
