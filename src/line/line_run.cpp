#include "line/line_run.h"

#include "core/io/files.h"
#include "core/io/signals.h"
#include "line/serial_source.h"
#include "line/target_lookup.h"
#include "net/addresses.h"
#include "net/endpoint.h"
#include "store/database.h"
#include "store/history.h"
#include "store/serial_pool.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QMap>
#include <QSysInfo>
#include <QUuid>

LineRun::LineRun(LineSettings settings, HostLookup lookup, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)),
      m_runId(QUuid::createUuid().toString(QUuid::WithoutBraces)), m_started(QDateTime::currentDateTimeUtc()),
      m_hostLookup(std::move(lookup)) {
    if (m_settings.station.isEmpty())
        m_settings.station = QSysInfo::machineHostName();
    connect(this, &LineRun::done, this, [this] { m_over = true; });
    for (const HostEntry& h : std::as_const(m_settings.hosts)) {
        const std::optional<int> gateway = gatewayOf(h);
        // A range (an inventory's) is one device for each address in it.
        for (int a = gateway.value_or(0); a <= h.lastAddress.value_or(gateway.value_or(0)); ++a)
            addJob(h, gateway ? std::optional<int>(a) : std::nullopt);
    }
}

LineRun::~LineRun() = default;

void LineRun::addJob(const HostEntry& h, std::optional<int> gateway) {
    auto job = std::make_unique<DeviceJob>();
    job->host = h.host;
    job->origin = h.origin;
    job->gatewayAddress = gateway;
    job->target.port = h.port.value_or(m_settings.remotePort);
    // The label says how the device is reached: its port, and its address behind a gateway.
    job->target.label =
        endpointText(h.host, job->target.port) + (gateway ? QStringLiteral("/%1").arg(*gateway) : QString());
    job->written = h.lastAddress ? job->target.label : h.written;
    m_jobs.push_back(std::move(job));
}

QList<const DeviceJob*> LineRun::jobs() const {
    QList<const DeviceJob*> all;
    for (const auto& job : m_jobs)
        all << job.get();
    return all;
}

RunContext LineRun::runContext(int lines, const QString& sha256) const {
    const QString operation = m_settings.scan           ? QStringLiteral("scan")
                              : m_settings.verifyOnly   ? QStringLiteral("verify")
                              : m_settings.skipVerified ? QStringLiteral("check-then-flash")
                                                        : QStringLiteral("flash");
    return {m_settings.file,   lines, sha256, m_runId, operation, m_settings.expectVersion, m_settings.check,
            m_settings.station};
}

// A target's own /ADDR, else --gateway's address, else direct.
std::optional<int> LineRun::gatewayOf(const HostEntry& h) const {
    if (h.gatewayAddress)
        return h.gatewayAddress;
    return m_settings.gateway ? std::optional<int>(m_settings.gatewayAddress) : std::nullopt;
}

std::optional<int> LineRun::prepare() {
    // A store that cannot be reached ends the run before anything else: no device may start
    // without its records going where the line keeps them.
    if (const auto code = openHistory())
        return code;
    if (const auto code = loadFile())
        return code;
    if (const auto code = openOutputs())
        return code;
    return openSerialPool();
}

std::optional<int> LineRun::openHistory() {
    if (m_settings.history.isEmpty())
        return std::nullopt;
    auto history = History::open(m_settings.history);
    if (!history) {
        emit message(
            QStringLiteral("history %1: %2").arg(storeShown(m_settings.history), history.failure().detail));
        return history.failure().cause == Failure::Cause::Store ? ExitCode::NetworkError
                                                                : ExitCode::BadArguments;
    }
    m_history = std::move(*history);
    m_report.setSink([this](const QByteArray& record) { toHistory(record); });
    return std::nullopt;
}

// A history that stops answering keeps the records in the station's spool; the devices under
// way finish, no other starts.
void LineRun::toHistory(const QByteArray& record) {
    const bool wasLost = m_history->lost();
    const auto added = m_history->add(record);
    if (!added) {
        emit message(QStringLiteral("history %1: a record could not be kept: %2")
                         .arg(m_history->shown(), added.failure().detail));
        m_recordLost = true;
    } else if (*added == History::Added::Spooled && !wasLost) {
        emit message(QStringLiteral("history %1: the store does not answer: the records are kept in %2 until "
                                    "it does, and no more devices start")
                         .arg(m_history->shown(), m_history->spoolPath()));
    }
    if (m_history->lost() && m_historyFailure.isEmpty())
        m_historyFailure = QStringLiteral("the store does not answer");
}

// The pool is opened, its dead runs' values voided and enough values there for every device
// before any device hears from us: no device starts without a value.
std::optional<int> LineRun::openSerialPool() {
    const SerialSettings& s = m_settings.serial;
    if (s.source == SerialSettings::Source::None)
        return std::nullopt;
    const auto source = s.source == SerialSettings::Source::Counter
                            ? counterSerials(s.format, s.size, s.start, s.step)
                        : s.source == SerialSettings::Source::List ? listSerials(s.file, s.format, s.size)
                                                                   : sqtpSerials(s.file, s.size);
    if (!source) {
        emit message(source.failure().detail);
        return ExitCode::BadArguments;
    }
    auto pool = SerialPool::open(s.pool, *source, RunIdentity::ofThisProcess(m_runId));
    if (!pool) {
        emit message(QStringLiteral("serial pool %1: %2").arg(storeShown(s.pool), pool.failure().detail));
        return pool.failure().cause == Failure::Cause::Store ? ExitCode::NetworkError
                                                             : ExitCode::BadArguments;
    }
    m_pool = std::move(*pool);
    const auto devices = std::count_if(m_jobs.cbegin(), m_jobs.cend(), [](const auto& j) {
        return j->outcome == DeviceJob::Outcome::Waiting;
    });
    if (const auto enough = m_pool->available(devices); !enough) {
        emit message(QStringLiteral("serial pool %1: %2").arg(storeShown(s.pool), enough.failure().detail));
        return enough.failure().cause == Failure::Cause::Exhausted ? ExitCode::BadArguments
                                                                   : ExitCode::NetworkError;
    }
    return std::nullopt;
}

void LineRun::jobStarting(DeviceJob* job) {
    if (m_history && !m_historyFailure.isEmpty()) {
        job->notStarted = QStringLiteral("not started: the history %1 failed: %2")
                              .arg(m_history->shown(), m_historyFailure);
        return;
    }
    giveSerial(job);
}

// The value is committed as issued before the device's first datagram, and goes into the device's
// own image: in the records that cover its place, or in records of its own before the end.
void LineRun::giveSerial(DeviceJob* job) {
    if (!m_pool)
        return;
    if (!m_poolFailure.isEmpty()) {
        job->notStarted = QStringLiteral("not started: the serial pool failed: %1").arg(m_poolFailure);
        return;
    }
    auto value = m_pool->issue(deviceKeyOf(*job));
    if (!value) {
        if (value.failure().cause != Failure::Cause::Exhausted)
            m_poolFailure = value.failure().detail;
        job->notStarted = QStringLiteral("not started: no serial value: %1").arg(value.failure().detail);
        return;
    }
    job->serial = *value;
    const quint32 at = value->address.value_or(m_settings.serial.address.value_or(0));
    auto image = serializedImage(m_file->lines, at, value->bytes);
    if (!image) {
        job->notStarted = QStringLiteral("not started: serial %1 cannot go into the image: %2")
                              .arg(value->text, image.failure().detail);
        return;
    }
    job->image = std::move(*image);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (int n = 1; n <= job->image.count(); ++n) {
        hash.addData(job->image.line(n));
        hash.addData("\n");
    }
    job->imageSha256 = QString::fromLatin1(hash.result().toHex());
}

// Programmed once the device's verify pass ended well; void else, as it may have gone out.
void LineRun::settleSerial(DeviceJob* job) {
    if (!m_pool || !job->serial)
        return;
    const bool ok = succeeded(*job);
    const auto settled = ok ? m_pool->programmed(*job->serial, {job->written, deviceKeyOf(*job),
                                                                job->bootInfo, job->imageSha256})
                            : m_pool->voided(*job->serial, job->message);
    if (settled && *settled == SerialPool::Settled::Spooled) {
        emit message(
            QStringLiteral("serial pool %1: the store does not answer: %2 %3 is kept in the station's "
                           "spool, and no more devices start")
                .arg(storeShown(m_settings.serial.pool), job->serial->text,
                     ok ? QStringLiteral("programmed") : QStringLiteral("void")));
        if (m_poolFailure.isEmpty())
            m_poolFailure = QStringLiteral("the store does not answer");
    } else if (!settled) {
        emit message(QStringLiteral("serial pool %1: %2 could not be recorded %3: %4")
                         .arg(storeShown(m_settings.serial.pool), job->serial->text,
                              ok ? QStringLiteral("programmed") : QStringLiteral("void"),
                              settled.failure().detail));
        if (m_poolFailure.isEmpty())
            m_poolFailure = settled.failure().detail;
        return;
    }
    ++(ok ? m_programmed : m_voided);
}

void LineRun::start() {
    if (!m_interruptedBy && !m_over)
        lookUpTargets();
}

// Everything about the file is settled before any device hears from us.
std::optional<int> LineRun::loadFile() {
    if (m_settings.scan)
        return std::nullopt; // an inventory loads nothing
    auto loaded = loadFlashFile(m_settings.file, m_settings.check);
    if (const int signalNumber = TerminationSignals::seen())
        return ExitCode::Interrupted + signalNumber;
    if (loaded) {
        m_file = std::move(*loaded);
        return std::nullopt;
    }
    const QString& error = loaded.failure().detail;
    emit message(error);
    // Every device gets its record, so a line's tooling sees why nothing was loaded.
    m_report.setRun(runContext(0, QString()));
    if (!m_settings.reportFile.isEmpty()) {
        if (const auto opened = m_report.open(m_settings.reportFile, runContext(0, QString())); !opened) {
            emit message(QStringLiteral("cannot open report file %1: %2")
                             .arg(m_settings.reportFile, opened.failure().detail));
            return ExitCode::BadArguments;
        }
    }
    for (const auto& job : m_jobs)
        m_report.writeFileError(*job, error);
    const bool written = writeFailedHosts(jobs());
    const int code = m_report.failed() || !written ? ExitCode::LogError : ExitCode::BadFile;
    m_report.writeRun({{QStringLiteral("file-error"), int(m_jobs.size())}}, int(m_jobs.size()), m_started,
                      code);
    return code;
}

std::optional<int> LineRun::openOutputs() {
    const int lines = m_file ? int(m_file->lines.count()) : 0;
    m_report.setRun(runContext(lines, m_file ? m_file->sha256 : QString()));
    if (!m_settings.reportFile.isEmpty()) {
        if (const auto opened =
                m_report.open(m_settings.reportFile, runContext(lines, m_file ? m_file->sha256 : QString()));
            !opened) {
            emit message(QStringLiteral("cannot open report file %1: %2")
                             .arg(m_settings.reportFile, opened.failure().detail));
            return ExitCode::BadArguments;
        }
    }
    // The list of failed targets is written at the end: whether it can be is known before any
    // device is touched, so a line script never re-runs an old list.
    if (!m_settings.failedHostsFile.isEmpty()) {
        if (const auto savable = checkSavable(m_settings.failedHostsFile); !savable) {
            emit message(QStringLiteral("cannot write --failed-hosts %1: %2")
                             .arg(m_settings.failedHostsFile, savable.failure().detail));
            return ExitCode::BadArguments;
        }
    }
    if (!m_settings.logFile.isEmpty()) {
        if (const auto opened = m_transcript.open(m_settings.logFile); !opened) {
            emit message(QStringLiteral("cannot create log file %1: %2")
                             .arg(m_settings.logFile, opened.failure().detail));
            return ExitCode::BadArguments;
        }
    }
    return std::nullopt;
}

void LineRun::lookUpTargets() {
    m_lookup = new TargetLookup(m_hostLookup, this);
    connect(m_lookup, &TargetLookup::finished, this, &LineRun::targetsLookedUp);
    QStringList hosts;
    for (const auto& job : m_jobs)
        hosts << job->host;
    m_lookup->start(hosts);
}

void LineRun::targetsLookedUp() {
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
        emit done();
        return;
    }
    for (const auto& job : m_jobs) {
        if (job->outcome == DeviceJob::Outcome::Finished && !m_settings.scan)
            m_report.write(*job);
    }
    runDevices();
}

// Refusals that need the addresses: one device named twice, a group address.
std::optional<int> LineRun::checkTargets() {
    for (size_t i = 0; i < m_jobs.size(); ++i) {
        const DeviceJob& job = *m_jobs[i];
        if (job.target.address.isNull())
            continue;
        // A broadcast or multicast target would take any sender's answer for its device's.
        if (isGroupAddress(job.target.address)) {
            emit message(
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
                emit message(
                    QStringLiteral("%1 and %2 are the same device").arg(named(*m_jobs[j]), named(job)));
                return ExitCode::BadArguments;
            }
        }
    }
    return std::nullopt;
}

void LineRun::runDevices() {
    QList<DeviceJob*> runnable, all;
    for (const auto& job : m_jobs) {
        all << job.get();
        if (job->outcome == DeviceJob::Outcome::Waiting)
            runnable << job.get();
    }
    RunSettings settings{
        .session = {.gateway = m_settings.gateway,
                    .retries = m_settings.retries,
                    .timeoutMs = m_settings.timeoutMs,
                    .firstTimeoutMs = m_settings.firstTimeoutMs,
                    .verifyOnly = m_settings.verifyOnly,
                    .expectVersion = m_settings.expectVersion,
                    .bootInfoOnly = m_settings.scan},
        .localPort = m_settings.localPort,
        .jobs = m_settings.jobs,
        .skipVerified = m_settings.skipVerified,
        .start = m_settings.start,
    };
    // An inventory sends no record: its sessions end at the boot information.
    LineStore none;
    none.append(QByteArrayLiteral(":00000001FF"));
    m_runner = std::make_unique<Runner>(runnable, m_file ? m_file->lines : none, settings,
                                        m_transcript.isOpen() ? &m_transcript : nullptr);
    connect(m_runner.get(), &Runner::jobStarting, this, &LineRun::jobStarting);
    connect(m_runner.get(), &Runner::jobFinished, this, &LineRun::jobFinished);
    connect(m_runner.get(), &Runner::allFinished, this, &LineRun::done, Qt::QueuedConnection);
    emit runnerReady(m_runner.get(), all);
    m_runner->start();
}

// Each record goes out the moment its device is done.
// Each record goes out the moment its device is done.
void LineRun::jobFinished(DeviceJob* job) {
    settleSerial(job);
    if (!m_settings.scan)
        m_report.write(*job);
    else if (job->result == FlashResult::Success)
        m_report.writeScan(*job);
}

void LineRun::interrupt(int signalNumber) {
    if (m_interruptedBy || m_over)
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
        if (!m_settings.scan)
            m_report.write(*job);
    }
    emit done();
}

int LineRun::settle() {
    if (m_usageError)
        return *m_usageError;
    const auto logClosed = m_transcript.close();
    if (!logClosed)
        emit message(QStringLiteral("cannot write log file %1: %2")
                         .arg(m_settings.logFile, logClosed.failure().detail));
    QList<const DeviceJob*> failed;
    for (const DeviceJob* job : jobs()) {
        if (!succeeded(*job))
            failed << job;
    }
    const bool failedHostsWritten = m_settings.scan || writeFailedHosts(failed);
    int code = devicesExitCode();
    // An output that could not be written is a failure of the run, never a success; a stale list
    // of failed targets outranks the devices' results, as a script re-runs what it names.
    if (code == ExitCode::Ok && (!logClosed || m_report.failed()))
        code = ExitCode::LogError;
    if (!failedHostsWritten && !m_interruptedBy)
        code = ExitCode::LogError;
    return code;
}

int LineRun::close(int code) {
    if (m_usageError)
        return code; // refused before any device was asked: no run to record
    QMap<QString, int> counts;
    for (const DeviceJob* job : jobs()) {
        const bool silent = m_settings.scan && !succeeded(*job) && job->result != FlashResult::Interrupted;
        ++counts[!m_settings.scan  ? resultKey(*job)
                 : succeeded(*job) ? QStringLiteral("found")
                 : silent          ? QStringLiteral("silent")
                                   : resultKey(*job)];
    }
    // The run's values still issued (none, unless the pool failed meanwhile) are voided.
    if (m_pool)
        (void)m_pool->close();
    if (m_recordLost && code == ExitCode::Ok)
        code = ExitCode::LogError;
    m_report.writeRun(counts, int(m_jobs.size()), m_started, code,
                      m_pool ? std::optional(std::pair(m_programmed, m_voided)) : std::nullopt);
    if (m_history) {
        if (const int waiting = m_history->finish())
            emit message(QStringLiteral("history %1: %2 record%3 wait in %4; the next run delivers them")
                             .arg(m_history->shown())
                             .arg(waiting)
                             .arg(waiting == 1 ? "" : "s")
                             .arg(m_history->spoolPath()));
        if (m_recordLost && code == ExitCode::Ok)
            code = ExitCode::LogError;
    }
    if (m_report.failed()) {
        emit message(
            QStringLiteral("cannot write report file %1: %2").arg(m_settings.reportFile, m_report.failure()));
        code = code == ExitCode::Ok ? ExitCode::LogError : code;
    }
    return code;
}

// An interruption outranks every result; then the smallest code of a device's failure wins.
int LineRun::devicesExitCode() const {
    if (m_interruptedBy)
        return ExitCode::Interrupted + m_interruptedBy;
    if (m_settings.scan) {
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

// The targets that did not end "ok" or "skipped", as a hosts file names them: each with its
// port and, behind a gateway, its device address, so that --hosts FILE runs exactly those again.
bool LineRun::writeFailedHosts(const QList<const DeviceJob*>& failed) {
    if (m_settings.failedHostsFile.isEmpty())
        return true;
    // Named by the program that ran the line: velta-flash, or the line window.
    QByteArray text = "# " + QCoreApplication::applicationName().toUtf8() +
                      " " VELTA_VERSION ": the targets of run " + m_runId.toLatin1() +
                      " that did not end ok or skipped\n";
    for (const DeviceJob* job : failed)
        text += job->target.label.toUtf8() + '\n';
    // Through a link, as a shared list is kept.
    if (const auto saved = saveFile(m_settings.failedHostsFile, text); !saved) {
        emit message(
            QStringLiteral("cannot write %1: %2; the list there is stale: it names the targets of an "
                           "earlier run, not of this one")
                .arg(m_settings.failedHostsFile, saved.failure().detail));
        return false;
    }
    return true;
}
