#include "progress_view.h"

#include "core/io/printable.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {
constexpr int RepaintMs = 100;

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
    }
    return p;
}

QString resultName(const DeviceProgress& p) {
    static const char* const names[] = {"running",       "ok",         "device error", "timeout",
                                        "network error", "interrupted"};
    return p.skipped ? QStringLiteral("skipped") : QString::fromLatin1(names[int(p.result)]);
}

double linesPerSecond(const DeviceProgress& p) {
    return p.elapsedUs > 0 ? double(p.acknowledged) * 1e6 / double(p.elapsedUs) : 0.0;
}

QString progressLine(const DeviceProgress& p, int labelWidth, int width) {
    QString text = p.label.leftJustified(labelWidth) + QLatin1String("  ");
    const double rate = linesPerSecond(p);
    if (p.result == FlashResult::Success) {
        text += QStringLiteral("%1  %2 lines answered in %3, %4 lines/s")
                    .arg(p.skipped ? QStringLiteral("skipped ") : QStringLiteral("done    "))
                    .arg(p.acknowledged)
                    .arg(secondsText(p.elapsedUs))
                    .arg(qRound(rate));
    } else if (p.result != FlashResult::Running) {
        text += QStringLiteral("FAILED    %1: %2").arg(resultName(p), p.message);
    } else if (p.waiting) {
        text += QStringLiteral("waiting for its turn");
    } else if (p.pass == FlashPass::BootInfo) {
        text += QStringLiteral("boot info waiting for VER=");
    } else {
        const bool verify = p.pass == FlashPass::Verify;
        text += QStringLiteral("%1  %2/%3  %4 lines/s")
                    .arg(verify ? QStringLiteral("verify  ") : QStringLiteral("download"))
                    .arg(p.line, QString::number(p.lineCount).size())
                    .arg(p.lineCount)
                    .arg(qRound(rate), 5);
        if (rate > 0.0) {
            const auto left = qint64((p.linesToAnswer - p.acknowledged) / rate + 0.5);
            text += QStringLiteral("  %1:%2 left").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
        }
    }
    return text.left(width);
}

QString summaryTable(const QList<DeviceProgress>& devices) {
    QList<QStringList> rows{{"TARGET", "ADDRESS", "RESULT", "LINES", "TIME", "RATE", "BOOT INFO"}};
    for (const DeviceProgress& d : devices)
        rows << QStringList{d.label,
                            d.address.isEmpty() ? QStringLiteral("-") : d.address,
                            resultName(d),
                            QStringLiteral("%1/%2").arg(d.acknowledged).arg(d.linesToAnswer),
                            secondsText(d.elapsedUs),
                            QStringLiteral("%1 lines/s").arg(qRound(linesPerSecond(d))),
                            escapedText(d.bootInfo)};
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths[c], row[c].size());
    QString out;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            // Numbers line up on the right, words on the left.
            const bool right = c >= 3 && c <= 5 && &row != &rows.first();
            line += (right ? row[c].rightJustified(widths[c]) : row[c].leftJustified(widths[c])) +
                    QLatin1String("  ");
        }
        out += line.trimmed() + QLatin1Char('\n');
    }
    return out;
}

ProgressView::ProgressView(Mode mode, QList<DeviceJob*> jobs, Runner* runner, QObject* parent)
    : QObject(parent), m_mode(mode), m_jobs(std::move(jobs)), m_tenths(m_jobs.size(), 0) {
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
    if (m_mode == Mode::Live || m_mode == Mode::Percent)
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
    if (m_mode == Mode::Phases || m_mode == Mode::Percent)
        print(QStringLiteral("%1: boot-information request\n").arg(job->target.label));
}

void ProgressView::onPassChanged(DeviceJob* job) {
    if ((m_mode == Mode::Phases || m_mode == Mode::Percent) && job->link)
        print(QStringLiteral("%1: %2, %3 lines\n")
                  .arg(job->target.label, FlasherConversation::passName(job->link->session().pass()))
                  .arg(job->link->session().lineCount()));
}

void ProgressView::onFinished(DeviceJob* job) {
    const DeviceProgress p = progressOf(*job);
    // Live lines are not broken up by messages: they follow the last redraw.
    if (p.result != FlashResult::Success && m_mode != Mode::Live)
        print(QStringLiteral("velta-flash: %1: %2\n").arg(p.label, p.message));
    else if (p.result == FlashResult::Success && (m_mode == Mode::Phases || m_mode == Mode::Percent))
        print(QStringLiteral("%1: %2, %3 lines answered in %4 (%5 lines/s)\n")
                  .arg(p.label, p.skipped ? QStringLiteral("skipped: the device holds the image")
                                          : QStringLiteral("done"))
                  .arg(p.acknowledged)
                  .arg(secondsText(p.elapsedUs))
                  .arg(qRound(linesPerSecond(p))));
}

void ProgressView::paint() {
    if (m_mode == Mode::Percent) {
        // A line for every tenth of a device's work, for logs that are read later.
        for (qsizetype i = 0; i < m_jobs.size(); ++i) {
            const DeviceProgress p = progressOf(*m_jobs[i]);
            const int tenth = p.linesToAnswer > 0 ? 10 * p.acknowledged / p.linesToAnswer : 0;
            if (p.result == FlashResult::Running && tenth > m_tenths[i] && tenth < 10)
                print(QStringLiteral("%1: %2%\n").arg(p.label).arg(10 * (m_tenths[i] = tenth)));
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
