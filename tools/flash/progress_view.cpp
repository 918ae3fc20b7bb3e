#include "progress_view.h"

#include "device_link.h"
#include "flash_options.h"

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

DeviceProgress progressOf(const DeviceLink& link) {
    const FlashSession& s = link.session();
    return {link.target().label, s.pass(),         s.result(),       s.line(),
            s.lineCount(),       s.acknowledged(), link.elapsedUs(), s.message()};
}

QString resultName(FlashResult result) {
    static const char* const names[] = {"running", "ok", "device error", "timeout", "network error"};
    return QString::fromLatin1(names[int(result)]);
}

int exitCodeFor(const QList<FlashResult>& results) {
    static const int codes[] = {ExitCode::Timeout, ExitCode::Ok, ExitCode::DeviceError, ExitCode::Timeout,
                                ExitCode::NetworkError};
    int code = ExitCode::Ok;
    for (const FlashResult r : results) {
        const int c = codes[int(r)]; // one left running counts as no answer
        if (c != ExitCode::Ok && (code == ExitCode::Ok || c < code))
            code = c;
    }
    return code;
}

double linesPerSecond(const DeviceProgress& p) {
    return p.elapsedUs > 0 ? double(p.acknowledged) * 1e6 / double(p.elapsedUs) : 0.0;
}

QString progressLine(const DeviceProgress& p, int labelWidth, int width) {
    QString text = p.label.leftJustified(labelWidth) + QLatin1String("  ");
    const double rate = linesPerSecond(p);
    if (p.result == FlashResult::Success) {
        text += QStringLiteral("done      %1 lines, both passes in %2, %3 lines/s")
                    .arg(p.lineCount)
                    .arg(secondsText(p.elapsedUs))
                    .arg(qRound(rate));
    } else if (p.result != FlashResult::Running) {
        text += QStringLiteral("FAILED    %1: %2").arg(resultName(p.result), p.message);
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
            const auto left = qint64((p.lineCount - p.line + (verify ? 0 : p.lineCount)) / rate + 0.5);
            text += QStringLiteral("  %1:%2 left").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
        }
    }
    return text.left(width);
}

QString summaryTable(const QList<DeviceProgress>& devices) {
    QList<QStringList> rows{{"HOST", "RESULT", "LINES", "TIME", "RATE"}};
    for (const DeviceProgress& d : devices)
        rows << QStringList{d.label, resultName(d.result),
                            QStringLiteral("%1/%2").arg(d.acknowledged).arg(2 * d.lineCount),
                            secondsText(d.elapsedUs), QStringLiteral("%1 lines/s").arg(qRound(linesPerSecond(d)))};
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths[c], row[c].size());
    QString out;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype c = 0; c < row.size(); ++c) {
            // Numbers line up on the right, words on the left.
            const bool right = c >= 2 && &row != &rows.first();
            line += (right ? row[c].rightJustified(widths[c]) : row[c].leftJustified(widths[c])) + QLatin1String("  ");
        }
        out += line.trimmed() + QLatin1Char('\n');
    }
    return out;
}

ProgressView::ProgressView(Mode mode, QList<DeviceLink*> links, QObject* parent)
    : QObject(parent), m_mode(mode), m_links(std::move(links)) {
    for (DeviceLink* link : m_links) {
        m_labelWidth = qMax(m_labelWidth, int(link->target().label.size()));
        connect(link, &DeviceLink::passChanged, this, &ProgressView::onPassChanged);
        connect(link, &DeviceLink::finished, this, &ProgressView::onFinished);
    }
    m_repaint.setInterval(RepaintMs);
    connect(&m_repaint, &QTimer::timeout, this, &ProgressView::paint);
}

void ProgressView::print(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void ProgressView::begin() {
    if (m_mode == Mode::Live) {
        m_width = terminalWidth() - 1;
        paint();
        m_repaint.start();
    } else if (m_mode == Mode::Plain) {
        for (DeviceLink* link : m_links)
            print(QStringLiteral("%1: boot-information request\n").arg(link->target().label));
    }
}

void ProgressView::end() {
    m_repaint.stop();
    if (m_mode != Mode::Live)
        return;
    paint();
    for (DeviceLink* link : m_links) {
        if (link->session().finished() && link->session().result() != FlashResult::Success)
            print(QStringLiteral("velta-flash: %1: %2\n").arg(link->target().label, link->session().message()));
    }
}

void ProgressView::onPassChanged(DeviceLink* link) {
    if (m_mode == Mode::Plain)
        print(QStringLiteral("%1: %2, %3 lines\n")
                  .arg(link->target().label, FlashSession::passName(link->session().pass()))
                  .arg(link->session().lineCount()));
}

void ProgressView::onFinished(DeviceLink* link) {
    const DeviceProgress p = progressOf(*link);
    // Live lines are not broken up by messages: they follow the last redraw.
    if (p.result != FlashResult::Success && m_mode != Mode::Live)
        print(QStringLiteral("velta-flash: %1: %2\n").arg(p.label, p.message));
    else if (p.result == FlashResult::Success && m_mode == Mode::Plain)
        print(QStringLiteral("%1: done, %2 lines downloaded and verified in %3 (%4 lines/s)\n")
                  .arg(p.label)
                  .arg(p.lineCount)
                  .arg(secondsText(p.elapsedUs))
                  .arg(qRound(linesPerSecond(p))));
}

void ProgressView::paint() {
    // Back to the first device's line, then every line rewritten in place.
    QString out = m_painted ? QStringLiteral("\x1b[%1A").arg(m_links.size()) : QString();
    for (DeviceLink* link : m_links)
        out += QLatin1String("\r\x1b[2K") + progressLine(progressOf(*link), m_labelWidth, m_width) + QLatin1Char('\n');
    m_painted = true;
    print(out);
}
