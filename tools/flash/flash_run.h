#pragma once

#include "flash_options.h"
#include "line/line_run.h"
#include "net/host_lookup.h"

#include <QEventLoop>
#include <QObject>

class TerminationSignals;

// --serials: the pool as a table, or as JSON Lines records; the exit code.
[[nodiscard]] int listSerials(const FlashSerials& command);
// --find: the history's records of a serial, a device or a firmware; the exit code (4: none).
[[nodiscard]] int findInHistory(const FlashFind& command);

// One run of velta-flash: the line's run, its progress on standard error and its table on
// standard output. Ctrl-C and SIGTERM are honoured in every step: the run then ends at once with
// 130 or 143, and nothing is sent after.
class FlashRun : public QObject {
    Q_OBJECT
public:
    FlashRun(FlashOptions options, TerminationSignals& termination, HostLookup lookup = HostLookup::system());

    // Runs to the end; the process exit code.
    int exec();

private:
    void showProgress(Runner* runner, const QList<DeviceJob*>& all);
    [[nodiscard]] bool printTable();
    void printError(const QString& text) const;

    FlashOptions m_options;
    LineRun m_run;
    QEventLoop m_loop;
};
