#pragma once

#include <QString>

// Who a run is, as a pool records it, so that a later run can tell whether it still runs: the
// run's id (the one its records carry) and the process behind it. A process id alone is reused;
// with the process's start time and the boot it started in, it names one process for ever.
struct RunIdentity {
    QString runId;
    QString host;
    qint64 pid = 0;
    QString bootId;        // changes at every boot: a power loss ends every run of the boot before
    qint64 startTicks = 0; // the process's start, in clock ticks since boot

    // This process, running the run `runId`.
    [[nodiscard]] static RunIdentity ofThisProcess(const QString& runId);
};

enum class RunLiveness {
    Alive,
    Dead,
    Unknown, // another host's run: nothing here can tell
};

// Whether the process a run names still runs: on this host, since this boot, that pid with that
// start time, and not a zombie.
[[nodiscard]] RunLiveness runLiveness(const RunIdentity& run);
