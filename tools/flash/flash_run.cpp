#include "flash_run.h"

#include "core/io/files.h"
#include "core/io/printable.h"
#include "core/io/signals.h"
#include "line/target_lookup.h"
#include "net/addresses.h"
#include "net/endpoint.h"
#include "progress_view.h"

#include <QMap>
#include <QTimer>
#include <QUuid>

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
    : m_options(std::move(options)), m_runId(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_started(QDateTime::currentDateTimeUtc()), m_termination(termination),
      m_hostLookup(std::move(lookup)) {
    for (const HostEntry& h : std::as_const(m_options.hosts)) {
        const std::optional<int> gateway = gatewayOf(h);
        // A range (an inventory's) is one device for each address in it.
        for (int a = gateway.value_or(0); a <= h.lastAddress.value_or(gateway.value_or(0)); ++a)
            addJob(h, gateway ? std::optional<int>(a) : std::nullopt);
    }
    connect(&m_termination, &TerminationSignals::received, this, &FlashRun::interrupted);
}

void FlashRun::addJob(const HostEntry& h, std::optional<int> gateway) {
    auto job = std::make_unique<DeviceJob>();
    job->host = h.host;
    job->origin = h.origin;
    job->gatewayAddress = gateway;
    job->target.port = h.port.value_or(m_options.remotePort);
    // The label says how the device is reached: its port, and its address behind a gateway.
    job->target.label =
        endpointText(h.host, job->target.port) + (gateway ? QStringLiteral("/%1").arg(*gateway) : QString());
    job->written = h.lastAddress ? job->target.label : h.written;
    m_jobs.push_back(std::move(job));
}

QList<const DeviceJob*> FlashRun::jobs() const {
    QList<const DeviceJob*> all;
    for (const auto& job : m_jobs)
        all << job.get();
    return all;
}

FlashRun::~FlashRun() = default;

RunContext FlashRun::runContext(int lines, const QString& sha256) const {
    const QString operation = m_options.scan           ? QStringLiteral("scan")
                              : m_options.verifyOnly   ? QStringLiteral("verify")
                              : m_options.skipVerified ? QStringLiteral("check-then-flash")
                                                       : QStringLiteral("flash");
    return {m_options.file, lines, sha256, m_runId, operation, m_options.expectVersion, m_options.check};
}

void FlashRun::printError(const QString& text) const {
    std::fprintf(stderr, "velta-flash: %s\n", text.toLocal8Bit().constData());
}

// A target's own /ADDR, else --gateway's address, else direct.
std::optional<int> FlashRun::gatewayOf(const HostEntry& h) const {
    if (h.gatewayAddress)
        return h.gatewayAddress;
    return m_options.gateway ? std::optional<int>(m_options.gatewayAddress) : std::nullopt;
}

int FlashRun::exec() {
    if (const auto code = loadFile())
        return *code;
    if (const auto code = openOutputs())
        return *code;
    // From here on the steps wait in the event loop.
    QTimer::singleShot(0, this, &FlashRun::lookUpTargets);
    m_loop.exec();
    return finish();
}

// Everything about the file is settled before any device hears from us.
std::optional<int> FlashRun::loadFile() {
    if (m_options.scan)
        return std::nullopt; // an inventory loads nothing
    auto loaded = loadFlashFile(m_options.file, m_options.check);
    if (const int signalNumber = TerminationSignals::seen())
        return ExitCode::Interrupted + signalNumber;
    if (loaded) {
        m_file = std::move(*loaded);
        return std::nullopt;
    }
    const QString& error = loaded.failure().detail;
    printError(error);
    // Every device gets its record, so a line's tooling sees why nothing was loaded.
    if (!m_options.reportFile.isEmpty()) {
        if (const auto opened = m_report.open(m_options.reportFile, runContext(0, QString())); !opened) {
            printError(QStringLiteral("cannot open report file %1: %2")
                           .arg(m_options.reportFile, opened.failure().detail));
            return ExitCode::BadArguments;
        }
        for (const auto& job : m_jobs)
            m_report.writeFileError(*job, error);
    }
    const bool written = writeFailedHosts(jobs());
    const int code = m_report.failed() || !written ? ExitCode::LogError : ExitCode::BadFile;
    m_report.writeRun({{QStringLiteral("file-error"), int(m_jobs.size())}}, int(m_jobs.size()), m_started,
                      code);
    return code;
}

std::optional<int> FlashRun::openOutputs() {
    if (!m_options.reportFile.isEmpty()) {
        const int lines = m_file ? int(m_file->lines.count()) : 0;
        if (const auto opened = m_report.open(m_options.reportFile, runContext(lines, m_file ? m_file->sha256 : QString()));
            !opened) {
            printError(QStringLiteral("cannot open report file %1: %2")
                           .arg(m_options.reportFile, opened.failure().detail));
            return ExitCode::BadArguments;
        }
    }
    // The list of failed targets is written at the end: whether it can be is known before any
    // device is touched, so a line script never re-runs an old list.
    if (!m_options.failedHostsFile.isEmpty()) {
        if (const auto savable = checkSavable(m_options.failedHostsFile); !savable) {
            printError(QStringLiteral("cannot write --failed-hosts %1: %2")
                           .arg(m_options.failedHostsFile, savable.failure().detail));
            return ExitCode::BadArguments;
        }
    }
    if (!m_options.logFile.isEmpty()) {
        if (const auto opened = m_transcript.open(m_options.logFile); !opened) {
            printError(QStringLiteral("cannot create log file %1: %2")
                           .arg(m_options.logFile, opened.failure().detail));
            return ExitCode::BadArguments;
        }
    }
    return std::nullopt;
}

void FlashRun::lookUpTargets() {
    m_lookup = new TargetLookup(m_hostLookup, this);
    connect(m_lookup, &TargetLookup::finished, this, &FlashRun::targetsLookedUp);
    QStringList hosts;
    for (const auto& job : m_jobs)
        hosts << job->host;
    m_lookup->start(hosts);
}

void FlashRun::targetsLookedUp() {
    const auto& answers = m_lookup->answers();
    for (size_t i = 0; i < m_jobs.size(); ++i) {
        DeviceJob& job = *m_jobs[i];
        job.target.address = answers[qsizetype(i)].address;
        if (job.target.address.isNull()) {
            // The others are flashed all the same; this one gets its record and its row.
            job.outcome = DeviceJob::Outcome::Finished;
            job.result = FlashResult::NetworkError;
            job.message = QStringLiteral("cannot look up %1: %2").arg(job.host, answers[qsizetype(i)].error);
        }
    }
    if (const auto code = checkTargets()) {
        m_usageError = code;
        m_loop.quit();
        return;
    }
    for (const auto& job : m_jobs) {
        if (job->outcome == DeviceJob::Outcome::Finished && !m_options.scan)
            m_report.write(*job);
    }
    runDevices();
}

// Refusals that need the addresses: one device named twice, a group address.
std::optional<int> FlashRun::checkTargets() {
    for (size_t i = 0; i < m_jobs.size(); ++i) {
        const DeviceJob& job = *m_jobs[i];
        if (job.target.address.isNull())
            continue;
        // A broadcast or multicast target would take any sender's answer for its device's.
        if (isGroupAddress(job.target.address)) {
            printError(
                QStringLiteral("%1 is a broadcast or multicast address (%2): a target must be one device")
                    .arg(job.target.label, job.target.address.toString()));
            return ExitCode::BadArguments;
        }
        for (size_t j = 0; j < i; ++j) {
            if (sameDevice(*m_jobs[j], job)) {
                const auto named = [](const DeviceJob& d) {
                    return d.origin.isEmpty() ? d.written
                                              : QStringLiteral("%1 (%2)").arg(d.written, d.origin);
                };
                printError(
                    QStringLiteral("%1 and %2 are the same device").arg(named(*m_jobs[j]), named(job)));
                return ExitCode::BadArguments;
            }
        }
    }
    return std::nullopt;
}

void FlashRun::runDevices() {
    QList<DeviceJob*> runnable, all;
    for (const auto& job : m_jobs) {
        all << job.get();
        if (job->outcome == DeviceJob::Outcome::Waiting)
            runnable << job.get();
    }
    RunSettings settings{
        .session = {.gateway = m_options.gateway,
                    .retries = m_options.retries,
                    .timeoutMs = m_options.timeoutMs,
                    .firstTimeoutMs = m_options.firstTimeoutMs,
                    .verifyOnly = m_options.verifyOnly,
                    .expectVersion = m_options.expectVersion,
                    .bootInfoOnly = m_options.scan},
        .localPort = m_options.localPort,
        .jobs = m_options.jobs,
        .skipVerified = m_options.skipVerified,
        .start = m_options.start,
    };
    // An inventory sends no record: its sessions end at the boot information.
    LineStore none;
    none.append(QByteArrayLiteral(":00000001FF"));
    m_runner = std::make_unique<Runner>(runnable, m_file ? m_file->lines : none, settings,
                                        m_transcript.isOpen() ? &m_transcript : nullptr);
    connect(m_runner.get(), &Runner::jobFinished, this, &FlashRun::jobFinished);
    // An inventory shows a line a host: its addresses are asked one after another.
    ProgressView* view = nullptr;
    ScanView* scanView = nullptr;
    const ProgressView::Mode mode = viewMode(m_options);
    if (!m_options.scan)
        view = new ProgressView(mode, all, m_runner.get(), this);
    else if (mode == ProgressView::Mode::Live || mode == ProgressView::Mode::Lines)
        scanView = new ScanView(mode == ProgressView::Mode::Live, all, m_runner.get(), this);
    connect(
        m_runner.get(), &Runner::allFinished, this,
        [this, view, scanView] {
            if (view)
                view->end();
            if (scanView)
                scanView->end();
            m_loop.quit();
        },
        Qt::QueuedConnection);
    if (view)
        view->begin();
    if (scanView)
        scanView->begin();
    m_runner->start();
}

// Each record goes out the moment its device is done.
void FlashRun::jobFinished(DeviceJob* job) {
    if (!m_options.scan)
        m_report.write(*job);
    else if (job->result == FlashResult::Success)
        m_report.writeScan(*job);
}

void FlashRun::interrupted(int signalNumber) {
    if (m_interruptedBy)
        return;
    m_interruptedBy = signalNumber;
    m_report.setInterruptedBy(signalNumber);
    if (m_runner) {
        m_runner->interrupt();
        return;
    }
    // Still looking the targets up: none of them has heard from us.
    if (m_lookup)
        m_lookup->abandon();
    for (const auto& job : m_jobs) {
        if (job->outcome == DeviceJob::Outcome::Finished)
            continue;
        job->outcome = DeviceJob::Outcome::Finished;
        job->result = FlashResult::Interrupted;
        job->message = QStringLiteral("interrupted before it began");
    }
    for (const auto& job : m_jobs) {
        if (!m_options.scan)
            m_report.write(*job);
    }
    m_loop.quit();
}

int FlashRun::finish() {
    if (m_usageError)
        return *m_usageError;
    const auto logClosed = m_transcript.close();
    if (!logClosed)
        printError(QStringLiteral("cannot write log file %1: %2")
                       .arg(m_options.logFile, logClosed.failure().detail));
    QList<const DeviceJob*> failed;
    for (const DeviceJob* job : jobs()) {
        if (!succeeded(*job))
            failed << job;
    }
    const bool failedHostsWritten = m_options.scan || writeFailedHosts(failed);
    // The usual cause of a gateway that answers at no address: a device without one.
    if (m_options.scan && !m_interruptedBy && !m_options.quiet) {
        for (const QString& host : silentGateways(jobs()))
            printError(QStringLiteral("%1: no device answered at any address asked; a device without a gateway "
                                      "needs --direct")
                           .arg(host));
    }
    const bool tableWritten = printTable();
    int code = exitCode();
    // An output that could not be written is a failure of the run, never a success; a stale list
    // of failed targets outranks the devices' results, as a script re-runs what it names.
    if (code == ExitCode::Ok && (!logClosed || m_report.failed() || !tableWritten))
        code = ExitCode::LogError;
    if (!failedHostsWritten && !m_interruptedBy)
        code = ExitCode::LogError;
    QMap<QString, int> counts;
    for (const DeviceJob* job : jobs()) {
        const bool silent = m_options.scan && !succeeded(*job) && job->result != FlashResult::Interrupted;
        ++counts[!m_options.scan   ? resultKey(*job)
                 : succeeded(*job) ? QStringLiteral("found")
                 : silent          ? QStringLiteral("silent")
                                   : resultKey(*job)];
    }
    m_report.writeRun(counts, int(m_jobs.size()), m_started, code);
    if (m_report.failed()) {
        printError(
            QStringLiteral("cannot write report file %1: %2").arg(m_options.reportFile, m_report.failure()));
        code = code == ExitCode::Ok ? ExitCode::LogError : code;
    }
    return code;
}

// An interruption outranks every result; then the smallest code of a device's failure wins.
int FlashRun::exitCode() const {
    if (m_interruptedBy)
        return ExitCode::Interrupted + m_interruptedBy;
    if (m_options.scan) {
        const bool any =
            std::any_of(m_jobs.cbegin(), m_jobs.cend(), [](const auto& j) { return succeeded(*j); });
        return any ? ExitCode::Ok : ExitCode::Timeout;
    }
    int code = ExitCode::Ok;
    for (const auto& job : m_jobs) {
        const int c = exitCodeOf(job->skipped ? FlashResult::Success : job->result);
        if (c != ExitCode::Ok && (code == ExitCode::Ok || c < code))
            code = c;
    }
    return code;
}

// The table (with the totals under it, or an inventory's devices) on standard output; false when
// it could not be written.
bool FlashRun::printTable() {
    // With the records on standard output, the table would only be in their way.
    if (m_options.quiet || m_options.reportFile == QLatin1String("-"))
        return true;
    QString text;
    if (m_options.scan) {
        text = inventoryTable(jobs(), m_options.listSilent);
    } else {
        QList<DeviceProgress> progress;
        for (const auto& job : m_jobs)
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

// The targets that did not end "ok" or "skipped", as a hosts file names them: each with its
// port and, behind a gateway, its device address, so that --hosts FILE runs exactly those again.
bool FlashRun::writeFailedHosts(const QList<const DeviceJob*>& failed) {
    if (m_options.failedHostsFile.isEmpty())
        return true;
    QByteArray text = "# velta-flash " VELTA_VERSION ": the targets of run " + m_runId.toLatin1() +
                      " that did not end ok or skipped\n";
    for (const DeviceJob* job : failed)
        text += job->target.label.toUtf8() + '\n';
    // Through a link, as a shared list is kept.
    if (const auto saved = saveFile(m_options.failedHostsFile, text); !saved) {
        printError(QStringLiteral("cannot write %1: %2; the list there is stale: it names the targets of an "
                                  "earlier run, not of this one")
                       .arg(m_options.failedHostsFile, saved.failure().detail));
        return false;
    }
    return true;
}
