#include "flash_run.h"

#include "core/io/printable.h"
#include "core/io/signals.h"
#include "net/addresses.h"
#include "net/endpoint.h"
#include "progress_view.h"
#include "target_lookup.h"

#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {
ProgressView::Mode viewMode(const FlashOptions& o) {
    const QByteArray term = qgetenv("TERM");
    const bool terminal = ::isatty(STDERR_FILENO) && term != "dumb" && !term.isEmpty();
    if (o.quiet)
        return ProgressView::Mode::Quiet;
    switch (o.progress) {
    case FlashOptions::Progress::Never:
        return ProgressView::Mode::None;
    case FlashOptions::Progress::Always:
        return terminal ? ProgressView::Mode::Live : ProgressView::Mode::Percent;
    case FlashOptions::Progress::Auto:
        break;
    }
    return terminal ? ProgressView::Mode::Live : ProgressView::Mode::Phases;
}
} // namespace

FlashRun::FlashRun(FlashOptions options, TerminationSignals& termination, HostLookup lookup)
    : m_options(std::move(options)), m_termination(termination), m_hostLookup(std::move(lookup)) {
    for (const HostEntry& h : m_options.hosts) {
        auto job = std::make_unique<DeviceJob>();
        job->host = h.host;
        job->gatewayAddress = gatewayOf(h);
        job->target.port = h.port.value_or(m_options.remotePort);
        job->target.label = endpointText(h.host, job->target.port) +
                            (h.gatewayAddress ? QStringLiteral("/%1").arg(*h.gatewayAddress) : QString());
        m_jobs.push_back(std::move(job));
    }
    connect(&m_termination, &TerminationSignals::received, this, &FlashRun::interrupted);
}

FlashRun::~FlashRun() = default;

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
        if (const auto opened = m_report.open(m_options.reportFile, m_options.file, 0, QString()); !opened) {
            printError(QStringLiteral("cannot open report file %1: %2")
                           .arg(m_options.reportFile, opened.failure().detail));
            return ExitCode::BadArguments;
        }
        for (const auto& job : m_jobs)
            m_report.writeFileError(*job, error);
    }
    return m_report.failed() ? ExitCode::LogError : ExitCode::BadFile;
}

std::optional<int> FlashRun::openOutputs() {
    if (!m_options.reportFile.isEmpty()) {
        if (const auto opened =
                m_report.open(m_options.reportFile, m_options.file, m_file->lines.count(), m_file->sha256);
            !opened) {
            printError(QStringLiteral("cannot open report file %1: %2")
                           .arg(m_options.reportFile, opened.failure().detail));
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
            job.startUtc = job.endUtc = QDateTime::currentDateTimeUtc();
        }
    }
    if (const auto code = checkTargets()) {
        m_usageError = code;
        m_loop.quit();
        return;
    }
    for (const auto& job : m_jobs) {
        if (job->outcome == DeviceJob::Outcome::Finished)
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
                printError(QStringLiteral("%1 and %2 are the same device")
                               .arg(m_jobs[j]->target.label, job.target.label));
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
                    .expectVersion = m_options.expectVersion},
        .localPort = m_options.localPort,
        .jobs = m_options.jobs,
        .skipVerified = m_options.skipVerified,
        .start = m_options.start,
    };
    m_runner = std::make_unique<Runner>(runnable, m_file->lines, settings,
                                        m_transcript.isOpen() ? &m_transcript : nullptr);
    auto* view = new ProgressView(viewMode(m_options), all, m_runner.get(), this);
    // Each record goes out the moment its device is done.
    connect(m_runner.get(), &Runner::jobFinished, this, [this](DeviceJob* job) { m_report.write(*job); });
    connect(
        m_runner.get(), &Runner::allFinished, this,
        [this, view] {
            view->end();
            m_loop.quit();
        },
        Qt::QueuedConnection);
    view->begin();
    m_runner->start();
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
        job->startUtc = job->endUtc = QDateTime::currentDateTimeUtc();
    }
    for (const auto& job : m_jobs)
        m_report.write(*job);
    m_loop.quit();
}

int FlashRun::finish() {
    if (m_usageError)
        return *m_usageError;
    const auto logClosed = m_transcript.close();
    if (!logClosed)
        printError(QStringLiteral("cannot write log file %1: %2")
                       .arg(m_options.logFile, logClosed.failure().detail));
    if (m_report.failed())
        printError(QStringLiteral("cannot write report file %1").arg(m_options.reportFile));

    QList<DeviceProgress> progress;
    int code = ExitCode::Ok;
    for (const auto& job : m_jobs) {
        progress << progressOf(*job);
        // When devices fail in different ways the smallest code wins.
        const int c = exitCodeOf(job->skipped ? FlashResult::Success : job->result);
        if (c != ExitCode::Ok && (code == ExitCode::Ok || c < code))
            code = c;
    }
    bool tableFailed = false;
    // With the records on standard output, the table would only be in their way.
    if (!m_options.quiet && m_options.reportFile != QLatin1String("-")) {
        const QByteArray table = summaryTable(progress).toLocal8Bit();
        tableFailed = std::fwrite(table.constData(), 1, size_t(table.size()), stdout) != size_t(table.size());
        tableFailed = std::fflush(stdout) != 0 || tableFailed;
        if (tableFailed)
            printError(QStringLiteral("cannot write the table to standard output"));
    }
    if (m_interruptedBy)
        return ExitCode::Interrupted + m_interruptedBy;
    // An output that could not be written is a failure of the run, never a success.
    return code == ExitCode::Ok && (!logClosed || m_report.failed() || tableFailed) ? ExitCode::LogError
                                                                                    : code;
}
