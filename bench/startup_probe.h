#pragma once

// Start-up and memory probes: report, at the first paint of the top-level window, the
// monotonic clock (to compare with the moment the parent started the process) and the peak
// resident set size, then quit.

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <ctime>

namespace StartupProbe {

inline long long monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

inline long peakRssKb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Prints "shown NS" at the first paint of `window`, then runs `afterShown` and prints "rss KB".
template <typename After> void watch(QWidget* window, After afterShown) {
    struct Filter : QObject {
        After after;
        bool done = false;
        explicit Filter(After a) : after(std::move(a)) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (!done && e->type() == QEvent::Paint) {
                done = true;
                std::printf("shown %lld\n", monotonicNs());
                QTimer::singleShot(0, qApp, [this] {
                    after();
                    std::printf("rss %ld\n", peakRssKb());
                    std::fflush(stdout);
                    QApplication::quit();
                });
            }
            return false;
        }
    };
    window->installEventFilter(new Filter(std::move(afterShown)));
}

} // namespace StartupProbe
