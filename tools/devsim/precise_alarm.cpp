#include "precise_alarm.h"

#include <chrono>
#include <cstring>

#include <sys/timerfd.h>
#include <unistd.h>

PreciseAlarm::PreciseAlarm(QObject* parent) : QObject(parent) {}

PreciseAlarm::~PreciseAlarm() {
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

Result<void> PreciseAlarm::open() {
    // std::chrono::steady_clock is CLOCK_MONOTONIC with libstdc++ and libc++ on Linux.
    m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0)
        return Failure{
            Failure::Cause::DeviceIo,
            QStringLiteral("cannot create a timer: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))};
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PreciseAlarm::ring);
    return success();
}

void PreciseAlarm::ringAt(qint64 steadyNs) {
    // 0 would disarm the timer: a time long past rings at once all the same.
    const qint64 at = std::max<qint64>(steadyNs, 1);
    itimerspec when{};
    when.it_value.tv_sec = time_t(at / 1000000000);
    when.it_value.tv_nsec = long(at % 1000000000);
    (void)::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &when, nullptr);
}

qint64 PreciseAlarm::nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PreciseAlarm::ring() {
    quint64 expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) == qint64(sizeof expirations))
        emit rang();
}
