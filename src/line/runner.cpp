#include "line/runner.h"

#include "core/io/files.h"
#include "core/io/printable.h"
#include "core/io/signals.h"
#include "core/link/local_port.h"
#include "net/endpoint.h"

namespace {
// A drawn port that is taken is drawn again, up to this many times; then the system chooses.
constexpr int DrawAttempts = 50;
// Descriptors kept free for the files and the event loop when many devices run at once.
constexpr int SpareDescriptors = 64;

bool sameEndpoint(const DeviceJob& a, const DeviceJob& b) {
    return a.target.port == b.target.port &&
           a.target.address.isEqual(b.target.address, QHostAddress::TolerantConversion);
}
} // namespace

QString resultKey(const DeviceJob& job) {
    if (job.skipped)
        return QStringLiteral("skipped");
    switch (job.result) {
    case FlashResult::Running:
        return QStringLiteral("running");
    case FlashResult::Success:
        return QStringLiteral("ok");
    case FlashResult::DeviceError:
        return job.refusal == DeviceRefusal::VerifyMismatch    ? QStringLiteral("verify-mismatch")
               : job.refusal == DeviceRefusal::VersionMismatch ? QStringLiteral("version-mismatch")
                                                               : QStringLiteral("device-error");
    case FlashResult::Timeout:
        return QStringLiteral("timeout");
    case FlashResult::NetworkError:
        return QStringLiteral("network-error");
    case FlashResult::Interrupted:
        return QStringLiteral("interrupted");
    }
    return {};
}

QString deviceKeyOf(const DeviceJob& job) {
    if (job.target.address.isNull())
        return {};
    const QString gateway = job.gatewayAddress ? QStringLiteral("/%1").arg(*job.gatewayAddress) : QString();
    return endpointText(job.target.address, job.target.port) + gateway;
}

bool succeeded(const DeviceJob& job) {
    return job.result == FlashResult::Success;
}

bool sameDevice(const DeviceJob& a, const DeviceJob& b) {
    return sameEndpoint(a, b) && a.gatewayAddress == b.gatewayAddress;
}

bool sameGateway(const DeviceJob& a, const DeviceJob& b) {
    return a.gatewayAddress && b.gatewayAddress && sameEndpoint(a, b);
}

Runner::Runner(QList<DeviceJob*> jobs, const LineStore& lines, RunSettings settings, Transcript* transcript,
               QObject* parent)
    : QObject(parent), m_jobs(std::move(jobs)), m_unfinished(int(m_jobs.size())), m_lines(lines),
      m_settings(std::move(settings)), m_transcript(transcript) {
    for (DeviceJob* job : m_jobs) {
        auto group = std::find_if(m_groups.begin(), m_groups.end(),
                                  [&](const QList<DeviceJob*>& g) { return sameGateway(*g.first(), *job); });
        if (group == m_groups.end())
            m_groups.append({job});
        else
            group->append(job);
    }
}

void Runner::start() {
    if (m_jobs.isEmpty())
        emit allFinished();
    startNextGroups();
}

void Runner::startNextGroups() {
    // Each session holds a socket: never more at once than the process may open.
    const int descriptors = openFileLimit() - SpareDescriptors;
    int most = m_settings.jobs == 0 ? int(m_groups.size()) : m_settings.jobs;
    if (descriptors > 0)
        most = std::min(most, descriptors);
    while (!stopping() && m_nextGroup < m_groups.size() && m_running < std::max(most, 1)) {
        ++m_running;
        startJob(m_groups[m_nextGroup++].first());
    }
}

quint16 Runner::localPortFor(const DeviceJob* job, bool afterCheck) const {
    if (!m_settings.localPort)
        return 0; // drawn
    if (*m_settings.localPort == 0)
        return 0;
    // Each device the next port up; a download after a failed check a second block of them, so
    // nothing late from the check reaches it.
    return quint16(*m_settings.localPort + m_jobs.indexOf(job) + (afterCheck ? m_jobs.size() : 0));
}

void Runner::startJob(DeviceJob* job) {
    job->outcome = DeviceJob::Outcome::Running;
    job->startUtc = QDateTime::currentDateTimeUtc();
    emit jobStarting(job);
    emit jobStarted(job);
    startSession(job, m_settings.skipVerified, localPortFor(job, false));
}

void Runner::startSession(DeviceJob* job, bool check, quint16 localPort) {
    FlashSettings settings = m_settings.session;
    settings.gateway = job->gatewayAddress.has_value();
    settings.gatewayAddress = QString::number(job->gatewayAddress.value_or(0));
    settings.verifyOnly = settings.verifyOnly || check;
    job->link = std::make_unique<DeviceLink>(job->target, job->image.count() > 0 ? job->image : m_lines,
                                             settings, m_transcript);
    DeviceLink* link = job->link.get();
    link->setWaitInPlace(m_groups.size() == 1 || m_settings.jobs == 1); // never two links at once
    // Drawn ports as the window draws them; where the range is taken (thousands of devices), a
    // port the system chooses: devices answer any port.
    const int attempts = m_settings.localPort ? 1 : DrawAttempts + 1;
    Result<void> bound = success();
    quint16 port = 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        port = m_settings.localPort     ? localPort
               : attempt < DrawAttempts ? quint16(LocalPort::draw())
                                        : quint16(0);
        bound = link->bind(port);
        if (bound || bound.failure().cause != Failure::Cause::AddressInUse)
            break;
    }
    connect(link, &DeviceLink::passChanged, this, [this, job] { emit passChanged(job); });
    connect(
        link, &DeviceLink::finished, this, [this, job, check] { sessionEnded(job, check); },
        Qt::QueuedConnection);
    if (!job->notStarted.isEmpty())
        link->abandon(job->notStarted);
    else if (!bound)
        link->abandon(QStringLiteral("cannot bind local port %1: %2").arg(port).arg(bound.failure().detail));
    else
        link->start();
}

void Runner::sessionEnded(DeviceJob* job, bool check) {
    if (job->outcome != DeviceJob::Outcome::Running)
        return;
    const FlasherConversation& s = job->link->session();
    job->bootInfo = s.bootInfo().isEmpty() ? job->bootInfo : cutText(s.bootInfo(), RecordedBootInfo);
    job->resends += s.resends();
    job->lateReplies += s.lateReplies();
    job->passes += s.passes();
    job->elapsedUs += job->link->elapsedUs();
    job->acknowledged = s.acknowledged();
    job->linesToAnswer = s.linesToAnswer();
    job->result = s.result();
    job->refusal = s.refusal();
    job->message = s.message();
    // A device that heard nothing from us never began, whatever was made ready for it (a port
    // that could not be bound, a Ctrl-C that came before its first send).
    const bool began = job->localPort != 0 || job->link->sentAny();
    job->localPort = job->link->sentAny() ? job->link->localPort() : job->localPort;
    job->phase = !began                               ? QString()
                 : s.result() == FlashResult::Success ? QStringLiteral("done")
                 : s.pass() == FlashPass::BootInfo    ? QStringLiteral("boot-info")
                 : check                              ? QStringLiteral("check")
                 : s.pass() == FlashPass::Download    ? QStringLiteral("download")
                                                      : QStringLiteral("verify");
    if (!began)
        job->startUtc = {};
    if (check && !m_interrupted && s.result() != FlashResult::Interrupted) {
        if (s.result() != FlashResult::Success) {
            // The device does not hold the image (or could not say so): download it, as a new
            // session on a new socket.
            job->link.reset();
            startSession(job, false, localPortFor(job, true));
            return;
        }
        job->skipped = true;
    }
    finishJob(job);
}

void Runner::finishJob(DeviceJob* job) {
    if (job->result == FlashResult::Success && m_settings.start && !m_interrupted)
        job->startSent = job->link->sendStart();
    job->link.reset();
    job->image = LineStore(); // a device's own image is held only while it runs
    job->outcome = DeviceJob::Outcome::Finished;
    job->endUtc = job->startUtc.isValid() ? QDateTime::currentDateTimeUtc() : QDateTime();
    --m_unfinished;
    emit jobFinished(job);
    // The next device behind the same gateway, or another gateway.
    const auto group =
        std::find_if(m_groups.cbegin(), m_groups.cend(), [&](const auto& g) { return g.contains(job); });
    const qsizetype next = group->indexOf(job) + 1;
    if (!stopping() && next < group->size()) {
        startJob(group->at(next));
        return;
    }
    --m_running;
    startNextGroups();
    if (m_unfinished == 0)
        emit allFinished();
}

// A signal that has come stops the starts at once, before the event loop hands it on as interrupt().
bool Runner::stopping() const {
    return m_interrupted || TerminationSignals::seen() != 0;
}

void Runner::interrupt() {
    if (std::exchange(m_interrupted, true))
        return;
    for (DeviceJob* job : m_jobs) {
        if (job->outcome == DeviceJob::Outcome::Running && job->link) {
            job->link->interrupt();
        } else if (job->outcome == DeviceJob::Outcome::Waiting) {
            job->outcome = DeviceJob::Outcome::Finished;
            job->result = FlashResult::Interrupted;
            job->message = QStringLiteral("interrupted before it began");
            --m_unfinished;
            emit jobFinished(job);
        }
    }
    if (m_unfinished == 0)
        emit allFinished();
}
