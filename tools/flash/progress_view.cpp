#include "progress_view.h"

#include "core/io/printable.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {
constexpr int RepaintMs = 100;
// How much of a device's text a table shows.
constexpr qsizetype ShownDeviceText = 80;
// A device's line in a log at least this often, so a long transfer shows it is alive.
constexpr qint64 LogLineMs = 30000;

QString stamped(const QString& text) {
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ ")) + text;
}

QString resendsText(int resends) {
    return resends == 0 ? QString() : QStringLiteral(", %1 resent").arg(resends);
}

QString secondsText(qint64 us) {
    return QString::number(double(us) / 1e6, 'f', 3) + QStringLiteral(" s");
}

int terminalWidth() {
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
}
} // namespace

DeviceProgress progressOf(const DeviceJob& job) {
    DeviceProgress p{job.target.label,
                     job.target.address.isNull() ? QString() : job.target.address.toString(),
                     FlashPass::BootInfo,
                     job.result,
                     job.outcome == DeviceJob::Outcome::Waiting,
                     job.skipped,
                     0,
                     0,
                     job.acknowledged,
                     job.linesToAnswer,
                     job.elapsedUs,
                     job.resends,
                     resultKey(job),
                     job.message,
                     job.bootInfo};
    if (job.link) {
        const FlasherConversation& s = job.link->session();
        p.pass = s.pass();
        p.line = s.line();
        p.lineCount = s.lineCount();
        p.acknowledged = s.acknowledged();
        p.linesToAnswer = s.linesToAnswer();
        p.elapsedUs = job.elapsedUs + job.link->elapsedUs();
        p.resends = job.resends + s.resends();
        p.wait = s.waitInForce();
        p.waitedUs = job.link->now() - p.wait.since;
    }
    return p;
}

QString waitText(const DeviceProgress& p) {
    const auto seconds = [](qint64 us) { return QString::number(us / 1000000); };
    const QString resent = p.wait.resends > 0 ? QStringLiteral(", %1 resent").arg(p.wait.resends) : QString();
    const QString waited = QStringLiteral("%1 of %2 s")
                               .arg(seconds(p.waitedUs), QString::number(double(p.wait.wait) / 1e6, 'g', 3));
    switch (p.wait.what) {
    case FlashWait::For::BootInfo:
        return QStringLiteral("boot information: no answer yet%1, %2").arg(resent, waited);
    case FlashWait::For::FirstRecord:
        return QStringLiteral("first record: waiting for the device's answer, it may be erasing%1, %2")
            .arg(resent, waited);
    case FlashWait::For::Record:
        if (p.waitedUs >= 1000000)
            return QStringLiteral("line %1: no answer yet%2, %3").arg(p.line).arg(resent, waited);
        break;
    case FlashWait::For::Nothing:
    case FlashWait::For::Settling:
        break;
    }
    return {};
}

QString resultName(const DeviceProgress& p) {
    return QString(p.outcome).replace(QLatin1Char('-'), QLatin1Char(' '));
}

double linesPerSecond(const DeviceProgress& p) {
    return p.elapsedUs > 0 ? double(p.acknowledged) * 1e6 / double(p.elapsedUs) : 0.0;
}

QString progressLine(const DeviceProgress& p, int labelWidth, int width) {
    QString text = p.label.leftJustified(labelWidth) + QLatin1String("  ");
    const double rate = linesPerSecond(p);
    if (p.result == FlashResult::Success) {
        text += QStringLiteral("%1  %2 lines answered in %3, %4 lines/s%5")
                    .arg(p.skipped ? QStringLiteral("skipped ") : QStringLiteral("done    "))
                    .arg(p.acknowledged)
                    .arg(secondsText(p.elapsedUs))
                    .arg(qRound(rate))
                    .arg(resendsText(p.resends));
    } else if (p.result != FlashResult::Running) {
        text += QStringLiteral("FAILED    %1: %2").arg(resultName(p), p.message);
    } else if (p.waiting) {
        text += QStringLiteral("waiting for its turn");
    } else if (p.pass == FlashPass::BootInfo) {
        text += waitText(p);
    } else if (p.wait.what == FlashWait::For::FirstRecord) {
        text += QStringLiteral("download  ") + waitText(p);
    } else {
        const bool verify = p.pass == FlashPass::Verify;
        text += QStringLiteral("%1  %2/%3  %4 lines/s")
                    .arg(verify ? QStringLiteral("verify  ") : QStringLiteral("download"))
                    .arg(p.line, QString::number(p.lineCount).size())
                    .arg(p.lineCount)
                    .arg(qRound(rate), 5);
        if (p.resends > 0)
            text += QStringLiteral("  %1 resent").arg(p.resends);
        if (rate > 0.0) {
            const auto left = qint64((p.linesToAnswer - p.acknowledged) / rate + 0.5);
            text += QStringLiteral("  %1:%2 left").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
        }
        if (const QString waiting = waitText(p); !waiting.isEmpty())
            text += QStringLiteral("  ") + waiting;
    }
    return text.left(width);
}

namespace {
// Columns as wide as their widest cell; numbers (the columns in `right`) line up on the right.
QString alignedTable(const QList<QStringList>& rows, const QList<qsizetype>& right) {
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths[c], row[c].size());
    QString out;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            const bool alignRight = right.contains(c) && &row != &rows.first();
            line += (alignRight ? row[c].rightJustified(widths[c]) : row[c].leftJustified(widths[c])) +
                    QLatin1String("  ");
        }
        out += line.trimmed() + QLatin1Char('\n');
    }
    return out;
}
} // namespace

QString summaryTable(const QList<DeviceProgress>& devices) {
    QList<QStringList> rows{{"TARGET", "ADDRESS", "RESULT", "LINES", "RESENT", "TIME", "RATE", "BOOT INFO"}};
    for (const DeviceProgress& d : devices)
        rows << QStringList{d.label,
                            d.address.isEmpty() ? QStringLiteral("-") : d.address,
                            resultName(d),
                            QStringLiteral("%1/%2").arg(d.acknowledged).arg(d.linesToAnswer),
                            QString::number(d.resends),
                            secondsText(d.elapsedUs),
                            QStringLiteral("%1 lines/s").arg(qRound(linesPerSecond(d))),
                            escapedText(cutText(d.bootInfo, ShownDeviceText))};
    return alignedTable(rows, {3, 4, 5, 6});
}

namespace {
bool sameHost(const DeviceJob& a, const DeviceJob& b) {
    return a.host == b.host && a.target.port == b.target.port;
}
QString endpointOf(const DeviceJob& job) {
    return job.target.label.section(QLatin1Char('/'), 0, 0);
}
// Device addresses as ranges: "/0-15", "/17", "/19-31".
QStringList addressRanges(QList<int> addresses) {
    std::sort(addresses.begin(), addresses.end());
    QStringList ranges;
    for (qsizetype i = 0; i < addresses.size();) {
        qsizetype j = i;
        while (j + 1 < addresses.size() && addresses[j + 1] == addresses[j] + 1)
            ++j;
        ranges << (j == i ? QStringLiteral("/%1").arg(addresses[i])
                          : QStringLiteral("/%1-%2").arg(addresses[i]).arg(addresses[j]));
        i = j + 1;
    }
    return ranges;
}
bool silent(const DeviceJob& job) {
    return job.outcome == DeviceJob::Outcome::Finished && !succeeded(job) &&
           job.result != FlashResult::Interrupted;
}
} // namespace

QString inventoryTable(const QList<const DeviceJob*>& jobs, bool listSilent) {
    QList<QStringList> rows{{"TARGET", "ADDRESS", "DEVICE", "BOOT INFO"}};
    int quiet = 0, notAsked = 0;
    for (const DeviceJob* job : jobs) {
        quiet += silent(*job);
        notAsked += job->result == FlashResult::Interrupted;
        if (succeeded(*job))
            rows << QStringList{job->target.label, job->target.address.toString(),
                                job->gatewayAddress ? QString::number(*job->gatewayAddress)
                                                    : QStringLiteral("direct"),
                                escapedText(cutText(job->bootInfo, ShownDeviceText))};
    }
    QString text =
        alignedTable(rows, {}) + QStringLiteral("%1 answered, %2 silent").arg(rows.size() - 1).arg(quiet);
    if (notAsked > 0)
        text += QStringLiteral(", %1 not asked: interrupted").arg(notAsked);
    text += QLatin1Char('\n');
    if (!listSilent || quiet == 0)
        return text;
    text += QStringLiteral("SILENT\n");
    QList<const DeviceJob*> seen;
    for (const DeviceJob* job : jobs) {
        if (!silent(*job) ||
            std::any_of(seen.cbegin(), seen.cend(), [&](auto* s) { return sameHost(*s, *job); }))
            continue;
        seen << job;
        QList<int> addresses;
        for (const DeviceJob* other : jobs) {
            if (silent(*other) && sameHost(*other, *job))
                addresses << other->gatewayAddress.value_or(-1);
        }
        if (addresses.contains(-1)) // direct
            text += endpointOf(*job) + QLatin1Char('\n');
        addresses.removeAll(-1);
        for (const QString& range : addressRanges(addresses))
            text += endpointOf(*job) + range + QLatin1Char('\n');
    }
    return text;
}

QStringList silentGateways(const QList<const DeviceJob*>& jobs) {
    QStringList hosts;
    QList<const DeviceJob*> seen;
    for (const DeviceJob* job : jobs) {
        if (!job->gatewayAddress ||
            std::any_of(seen.cbegin(), seen.cend(), [&](auto* s) { return sameHost(*s, *job); }))
            continue;
        seen << job;
        QList<int> addresses;
        bool allSilent = true;
        for (const DeviceJob* other : jobs) {
            if (sameHost(*other, *job) && other->gatewayAddress) {
                allSilent = allSilent && silent(*other);
                addresses << *other->gatewayAddress;
            }
        }
        if (allSilent)
            hosts << QStringLiteral("%1 (%2)").arg(endpointOf(*job),
                                                   addressRanges(addresses).join(QLatin1String(", ")));
    }
    return hosts;
}

ScanView::ScanView(bool live, QList<DeviceJob*> jobs, Runner* runner, QObject* parent)
    : QObject(parent), m_live(live) {
    for (DeviceJob* job : jobs) {
        auto host = std::find_if(m_hosts.begin(), m_hosts.end(),
                                 [&](const Host& h) { return sameHost(*h.jobs.first(), *job); });
        if (host == m_hosts.end())
            m_hosts.append({endpointOf(*job), {job}, 0, QDateTime::currentMSecsSinceEpoch()});
        else
            host->jobs << job;
    }
    connect(runner, &Runner::jobFinished, this, &ScanView::onFinished);
    m_repaint.setInterval(RepaintMs);
    connect(&m_repaint, &QTimer::timeout, this, &ScanView::paint);
}

QString ScanView::hostLine(const Host& host) {
    int asked = 0, answered = 0;
    for (const DeviceJob* job : host.jobs) {
        asked += job->outcome == DeviceJob::Outcome::Finished && job->result != FlashResult::Interrupted;
        answered += succeeded(*job);
    }
    return QStringLiteral("%1  %2 of %3 asked, %4 answered")
        .arg(host.label)
        .arg(asked)
        .arg(host.jobs.size())
        .arg(answered);
}

void ScanView::begin() {
    if (m_live) {
        paint();
        m_repaint.start();
    }
}

void ScanView::end() {
    m_repaint.stop();
    if (m_live)
        paint();
}

// In a log: a line at each tenth of a host's addresses, at least every 30 s, and at its last.
void ScanView::onFinished(DeviceJob* job) {
    // Addresses a Ctrl-C kept from being asked are counted in the table's last line.
    if (m_live || job->result == FlashResult::Interrupted)
        return;
    for (Host& host : m_hosts) {
        if (!host.jobs.contains(job))
            continue;
        const int done = int(std::count_if(host.jobs.cbegin(), host.jobs.cend(), [](const DeviceJob* j) {
            return j->outcome == DeviceJob::Outcome::Finished && j->result != FlashResult::Interrupted;
        }));
        const int tenths = 10 * done / int(host.jobs.size());
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (tenths > host.tenths || now - host.reportedAt >= LogLineMs) {
            host.tenths = tenths;
            host.reportedAt = now;
            std::fputs(stamped(hostLine(host) + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
        }
    }
}

void ScanView::paint() {
    QString out = m_painted ? QStringLiteral("\x1b[%1A").arg(m_hosts.size()) : QString();
    for (const Host& host : std::as_const(m_hosts))
        out += QLatin1String("\r\x1b[2K") + hostLine(host) + QLatin1Char('\n');
    m_painted = true;
    std::fputs(out.toLocal8Bit().constData(), stderr);
}

QString serialTable(const QList<SerialEntry>& entries) {
    QList<QStringList> rows{{"VALUE", "STATE", "DEVICE", "TIME", "RUN ID"}};
    QMap<QString, int> counts;
    for (const SerialEntry& e : entries) {
        const QDateTime when = e.settledAt.isValid() ? e.settledAt : e.issuedAt;
        rows << QStringList{e.value, serialStateName(e.state),
                            e.device.isEmpty() ? QStringLiteral("-") : e.device, when.toString(Qt::ISODate),
                            e.runId};
        ++counts[serialStateName(e.state)];
    }
    QStringList totals;
    for (const QString& state :
         {QStringLiteral("programmed"), QStringLiteral("issued"), QStringLiteral("void")})
        totals << QStringLiteral("%1 %2").arg(counts.value(state)).arg(state);
    return alignedTable(rows, {}) + totals.join(QLatin1String(", ")) + QLatin1Char('\n');
}

QString historyTable(const QList<QByteArray>& records) {
    QList<QStringList> rows{{"END", "STATION", "TARGET", "SERIAL", "RESULT", "FIRMWARE", "RUN ID"}};
    for (const QByteArray& text : records) {
        const QJsonObject r = QJsonDocument::fromJson(text).object();
        const auto field = [&](const char* name, int width = 0) {
            const QString value = r.value(QLatin1String(name)).toString();
            return value.isEmpty() ? QStringLiteral("-")
                                   : escapedText(width ? value.left(width) : cutText(value, 40));
        };
        rows << QStringList{field("end"),    field("station"),    field("target"),   field("serial"),
                            field("result"), field("sha256", 12), field("run_id", 8)};
    }
    const qsizetype n = records.size();
    return alignedTable(rows, {}) + QStringLiteral("%1 record%2\n").arg(n).arg(n == 1 ? "" : "s");
}

QString totalsLine(const QList<DeviceProgress>& devices) {
    int ok = 0, skipped = 0, failed = 0;
    QMap<QString, int> failures;
    for (const DeviceProgress& d : devices) {
        if (d.outcome == QLatin1String("ok"))
            ++ok;
        else if (d.outcome == QLatin1String("skipped"))
            ++skipped;
        else
            ++failures[d.outcome], ++failed;
    }
    QString line = QStringLiteral("%1 ok").arg(ok);
    if (skipped > 0)
        line += QStringLiteral(", %1 skipped").arg(skipped);
    if (failed > 0) {
        QStringList kinds;
        for (auto f = failures.cbegin(); f != failures.cend(); ++f)
            kinds << QStringLiteral("%1 %2").arg(f.value()).arg(f.key());
        line += QStringLiteral(", %1 failed: %2").arg(failed).arg(kinds.join(QLatin1String(", ")));
    }
    return line + QLatin1Char('\n');
}

ProgressView::ProgressView(Mode mode, QList<DeviceJob*> jobs, Runner* runner, QObject* parent)
    : QObject(parent), m_mode(mode), m_jobs(std::move(jobs)), m_tenths(m_jobs.size(), 0),
      m_reportedAt(m_jobs.size(), QDateTime::currentMSecsSinceEpoch()), m_waitShown(m_jobs.size(), -1) {
    for (const DeviceJob* job : m_jobs)
        m_labelWidth = qMax(m_labelWidth, int(job->target.label.size()));
    connect(runner, &Runner::jobStarted, this, &ProgressView::onStarted);
    connect(runner, &Runner::passChanged, this, &ProgressView::onPassChanged);
    connect(runner, &Runner::jobFinished, this, &ProgressView::onFinished);
    m_repaint.setInterval(RepaintMs);
    connect(&m_repaint, &QTimer::timeout, this, &ProgressView::paint);
}

void ProgressView::print(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stderr);
}

void ProgressView::begin() {
    for (DeviceJob* job : std::as_const(m_jobs)) {
        if (job->outcome == DeviceJob::Outcome::Finished)
            onFinished(job);
    }
    m_width = terminalWidth() - 1;
    if (m_mode == Mode::Live)
        paint();
    if (m_mode == Mode::Live || m_mode == Mode::Lines)
        m_repaint.start();
}

void ProgressView::end() {
    m_repaint.stop();
    if (m_mode != Mode::Live)
        return;
    paint();
    for (const DeviceJob* job : m_jobs) {
        if (job->result != FlashResult::Success)
            print(QStringLiteral("velta-flash: %1: %2\n").arg(job->target.label, job->message));
    }
}

void ProgressView::onStarted(DeviceJob* job) {
    if (m_mode == Mode::Lines)
        print(stamped(QStringLiteral("%1: boot-information request\n").arg(job->target.label)));
}

void ProgressView::onPassChanged(DeviceJob* job) {
    if (m_mode != Mode::Lines || !job->link)
        return;
    const DeviceProgress p = progressOf(*job);
    print(stamped(QStringLiteral("%1: %2, %3 lines%4\n")
                      .arg(job->target.label, FlasherConversation::passName(p.pass))
                      .arg(p.lineCount)
                      .arg(resendsText(p.resends))));
    m_reportedAt[m_jobs.indexOf(job)] = QDateTime::currentMSecsSinceEpoch();
}

void ProgressView::onFinished(DeviceJob* job) {
    const DeviceProgress p = progressOf(*job);
    // Live lines are not broken up by messages: they follow the last redraw.
    if (p.result != FlashResult::Success && m_mode != Mode::Live)
        print(QStringLiteral("velta-flash: %1: %2\n").arg(p.label, p.message));
    else if (p.result == FlashResult::Success && m_mode == Mode::Lines)
        print(stamped(QStringLiteral("%1: %2, %3 lines answered in %4 (%5 lines/s%6)\n")
                          .arg(p.label, p.skipped ? QStringLiteral("skipped: the device holds the image")
                                                  : QStringLiteral("done"))
                          .arg(p.acknowledged)
                          .arg(secondsText(p.elapsedUs))
                          .arg(qRound(linesPerSecond(p)))
                          .arg(resendsText(p.resends))));
}

void ProgressView::paint() {
    if (m_mode == Mode::Lines) {
        // A line for every tenth of a device's work, and one every 30 s while it is slower.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (qsizetype i = 0; i < m_jobs.size(); ++i) {
            // Only devices under way: a line of thousands of targets is looked at ten times a second.
            if (m_jobs[i]->outcome != DeviceJob::Outcome::Running || !m_jobs[i]->link)
                continue;
            const DeviceProgress p = progressOf(*m_jobs[i]);
            // A long wait gets a line of its own, once per copy sent, once it has lasted a second.
            if (const QString waiting = waitText(p);
                !waiting.isEmpty() && p.waitedUs >= 1000000 && m_waitShown[i] != p.wait.since) {
                m_waitShown[i] = p.wait.since;
                print(stamped(QStringLiteral("%1: %2\n").arg(p.label, waiting)));
            }
            const int tenth = p.linesToAnswer > 0 ? 10 * p.acknowledged / p.linesToAnswer : 0;
            const bool nextTenth = tenth > m_tenths[i] && tenth < 10;
            if (nextTenth || now - m_reportedAt[i] >= LogLineMs) {
                m_tenths[i] = std::max(m_tenths[i], std::min(tenth, 9));
                m_reportedAt[i] = now;
                const int percent =
                    nextTenth ? 10 * tenth : 100 * p.acknowledged / std::max(p.linesToAnswer, 1);
                print(stamped(QStringLiteral("%1: %2%, %3 of %4 lines answered%5\n")
                                  .arg(p.label)
                                  .arg(percent)
                                  .arg(p.acknowledged)
                                  .arg(p.linesToAnswer)
                                  .arg(resendsText(p.resends))));
            }
        }
        return;
    }
    // Back to the first device's line, then every line rewritten in place.
    QString out = m_painted ? QStringLiteral("\x1b[%1A").arg(m_jobs.size()) : QString();
    for (const DeviceJob* job : m_jobs)
        out += QLatin1String("\r\x1b[2K") + progressLine(progressOf(*job), m_labelWidth, m_width) +
               QLatin1Char('\n');
    m_painted = true;
    print(out);
}
