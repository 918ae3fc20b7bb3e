#include "flash_run.h"

#include "core/io/signals.h"
#include "progress_view.h"
#include "store/database.h"
#include "store/history.h"
#include "store/serial_pool.h"

#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {
ProgressView::Mode viewMode(const FlashOptions& o) {
    const QByteArray term = qgetenv("TERM");
    const bool terminal = ::isatty(STDERR_FILENO) && term != "dumb" && !term.isEmpty();
    if (o.quiet)
        return ProgressView::Mode::Quiet;
    if (o.progress == FlashOptions::Progress::Never)
        return ProgressView::Mode::None;
    return terminal ? ProgressView::Mode::Live : ProgressView::Mode::Lines;
}
} // namespace

FlashRun::FlashRun(FlashOptions options, TerminationSignals& termination, HostLookup lookup)
    : m_options(std::move(options)), m_run(m_options, std::move(lookup)) {
    connect(&termination, &TerminationSignals::received, &m_run, &LineRun::interrupt);
    connect(&m_run, &LineRun::message, this, &FlashRun::printError);
    connect(&m_run, &LineRun::runnerReady, this, &FlashRun::showProgress);
    connect(&m_run, &LineRun::done, &m_loop, &QEventLoop::quit);
}

void FlashRun::printError(const QString& text) const {
    std::fprintf(stderr, "velta-flash: %s\n", text.toLocal8Bit().constData());
}

int FlashRun::exec() {
    if (const auto code = m_run.prepare())
        return *code;
    // From here on the steps wait in the event loop.
    QTimer::singleShot(0, &m_run, &LineRun::start);
    m_loop.exec();
    int code = m_run.settle();
    if (m_run.refused())
        return code;
    // The usual cause of a gateway that answers at no address: a device without one.
    if (m_options.scan && !m_run.interruptedBy() && !m_options.quiet) {
        for (const QString& host : silentGateways(m_run.jobs()))
            printError(
                QStringLiteral("%1: no device answered at any address asked; a device without a gateway "
                               "needs --direct")
                    .arg(host));
    }
    if (!printTable() && code == ExitCode::Ok)
        code = ExitCode::LogError;
    return m_run.close(code);
}

// An inventory shows a line a host, as its addresses are asked one after another.
void FlashRun::showProgress(Runner* runner, const QList<DeviceJob*>& all) {
    const ProgressView::Mode mode = viewMode(m_options);
    const bool shown = mode == ProgressView::Mode::Live || mode == ProgressView::Mode::Lines;
    if (m_options.scan && !shown)
        return;
    if (m_options.scan) {
        auto* view = new ScanView(mode == ProgressView::Mode::Live, all, runner, this);
        connect(&m_run, &LineRun::done, view, &ScanView::end);
        view->begin();
        return;
    }
    auto* view = new ProgressView(mode, all, runner, this);
    connect(&m_run, &LineRun::done, view, &ProgressView::end);
    view->begin();
}

// The table (with the totals under it, or an inventory's devices) on standard output; false when
// it could not be written.
bool FlashRun::printTable() {
    // With the records on standard output, the table would only be in their way.
    if (m_options.quiet || m_options.reportFile == QLatin1String("-"))
        return true;
    QString text;
    if (m_options.scan) {
        text = inventoryTable(m_run.jobs(), m_options.listSilent);
    } else {
        QList<DeviceProgress> progress;
        for (const DeviceJob* job : m_run.jobs())
            progress << progressOf(*job);
        text = summaryTable(progress) + totalsLine(progress);
    }
    const QByteArray bytes = text.toLocal8Bit();
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size());
    if (std::fflush(stdout) == 0 && written)
        return true;
    printError(QStringLiteral("cannot write the table to standard output"));
    return false;
}

int listSerials(const FlashSerials& command) {
    const auto entries = SerialPool::list(command.pool);
    if (!entries) {
        std::fprintf(stderr, "velta-flash: serial pool %s: %s\n",
                     storeShown(command.pool).toLocal8Bit().constData(),
                     entries.failure().detail.toLocal8Bit().constData());
        return entries.failure().cause == Failure::Cause::Store ? ExitCode::NetworkError
                                                                : ExitCode::BadArguments;
    }
    QByteArray text;
    if (command.records) {
        Report report;
        if (!report.open(QStringLiteral("-"), {}))
            return ExitCode::LogError;
        for (const SerialEntry& e : *entries)
            report.writeSerial(e);
        return report.failed() ? ExitCode::LogError : ExitCode::Ok;
    }
    text = serialTable(*entries).toLocal8Bit();
    const bool written = std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size());
    return std::fflush(stdout) == 0 && written ? ExitCode::Ok : ExitCode::LogError;
}

int findInHistory(const FlashFind& command) {
    const auto found = History::find(command.history, command.what);
    if (!found) {
        std::fprintf(stderr, "velta-flash: history %s: %s\n",
                     storeShown(command.history).toLocal8Bit().constData(),
                     found.failure().detail.toLocal8Bit().constData());
        return found.failure().cause == Failure::Cause::Store ? ExitCode::NetworkError
                                                              : ExitCode::BadArguments;
    }
    QByteArray text;
    if (command.records) {
        for (const QByteArray& record : *found)
            text += record + '\n';
    } else {
        text = historyTable(*found).toLocal8Bit();
    }
    const bool written = std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size());
    if (std::fflush(stdout) != 0 || !written)
        return ExitCode::LogError;
    // Nothing found ends as grep's does (1), so a script can tell.
    if (found->isEmpty())
        std::fprintf(stderr, "velta-flash: the history holds nothing for %s\n",
                     command.what.toLocal8Bit().constData());
    return found->isEmpty() ? 1 : ExitCode::Ok;
}
