#include "store/run_identity.h"

#include "core/io/files.h"

#include <QList>
#include <QSysInfo>

#include <unistd.h>

namespace {

// The state and start time of a process (fields 3 and 22 of /proc/PID/stat); nothing when there
// is no such process. The name in field 2 may hold blanks and parentheses: fields count from the
// last ')'.
struct ProcessStat {
    char state = '?';
    qint64 startTicks = 0;
};

std::optional<ProcessStat> statOf(qint64 pid) {
    const auto stat = readSmallFile(QStringLiteral("/proc/%1/stat").arg(pid), 4096);
    if (!stat)
        return std::nullopt;
    const qsizetype close = stat->lastIndexOf(')');
    const QList<QByteArray> fields = stat->mid(close + 2).split(' ');
    bool ok = false;
    const qint64 ticks = fields.size() > 19 ? fields[19].toLongLong(&ok) : 0;
    if (close < 0 || !ok || fields[0].isEmpty())
        return std::nullopt;
    return ProcessStat{fields[0][0], ticks};
}

QString currentBootId() {
    const auto id = readSmallFile(QStringLiteral("/proc/sys/kernel/random/boot_id"), 256);
    return id ? QString::fromLatin1(id->trimmed()) : QString();
}

} // namespace

RunIdentity RunIdentity::ofThisProcess(const QString& runId) {
    const auto stat = statOf(::getpid());
    return {runId, QSysInfo::machineHostName(), qint64(::getpid()), currentBootId(),
            stat ? stat->startTicks : 0};
}

RunLiveness runLiveness(const RunIdentity& run) {
    // Without /proc nothing can be told of any process.
    if (run.host != QSysInfo::machineHostName() || !statOf(::getpid()))
        return RunLiveness::Unknown;
    if (run.bootId != currentBootId())
        return RunLiveness::Dead;
    const auto stat = statOf(run.pid);
    return stat && stat->state != 'Z' && stat->startTicks == run.startTicks ? RunLiveness::Alive
                                                                            : RunLiveness::Dead;
}
