#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

// Runs the event loop until `done` holds or `timeoutMs` passes; unlike QTest::qWait, never sleeps.
template <typename Pred> bool runUntil(Pred done, int timeoutMs = 5000) {
    const QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // the wait for more events ends at its next tick at the latest
    wake.start(2);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}
