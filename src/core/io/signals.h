#pragma once

#include <QObject>

// SIGINT and SIGTERM as events of the Qt event loop: the handler itself only writes a byte.
// With `secondEndsAtOnce`, a second signal ends the process at once (128 + its number).
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(bool secondEndsAtOnce, QObject* parent = nullptr);
    [[nodiscard]] bool installed() const { return m_installed; }
    // The first signal that came, 0 before one did: work that does not wait for the event loop
    // (reading a file, the next send) asks this, so a signal stops it at once.
    [[nodiscard]] static int seen();

signals:
    void received(int signalNumber);

private:
    bool m_installed = false;
};

// A write to a closed pipe (a reader such as head that has quit) fails with EPIPE instead of
// killing the process, so the work under way can still finish and say so.
void ignoreBrokenPipes();
