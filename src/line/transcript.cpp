#include "line/transcript.h"

#include "core/io/printable.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>

namespace {
// Qt says only "Unknown error" when a write fails; the system's reason, read at once, says why.
QString reasonOf(const QFile& file, int sysError) {
    return sysError != 0 ? QString::fromLocal8Bit(std::strerror(sysError)) : file.errorString();
}
} // namespace

Result<void> Transcript::open(const QString& path) {
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return Failure{Failure::Cause::DeviceIo, m_file.errorString()};
    return success();
}

void Transcript::stamp(const QString& host, char direction) {
    // Formatting a date for every datagram would cost more than the datagram: the part up to
    // the second is kept and only the milliseconds are written each time.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != m_second) {
        m_second = now / 1000;
        m_secondText = QDateTime::fromSecsSinceEpoch(m_second, Qt::UTC).toString(Qt::ISODate).toLatin1();
        m_secondText.chop(1); // the 'Z', which goes after the milliseconds
    }
    const int ms = int(now % 1000);
    m_line = m_secondText;
    m_line += '.';
    m_line += char('0' + ms / 100);
    m_line += char('0' + ms / 10 % 10);
    m_line += char('0' + ms % 10);
    m_line += "Z ";
    m_line += host.toUtf8();
    m_line += ' ';
    m_line += direction;
    m_line += ' ';
}

void Transcript::write(const QString& host, char direction, QByteArrayView bytes) {
    if (!m_file.isOpen())
        return;
    stamp(host, direction);
    // A flood of big datagrams must not fill the disk: the start of each, and its length.
    appendPrintable(m_line, bytes, LoggedBytes);
    m_line += '\n';
    put();
}

void Transcript::note(const QString& host, const QString& text) {
    if (!m_file.isOpen())
        return;
    stamp(host, '-');
    m_line += text.toUtf8();
    m_line += '\n';
    put();
}

void Transcript::put() {
    // After a failed write (a full disk) nothing more: a later line must not follow a gap.
    if (!m_failure && m_file.write(m_line) != m_line.size())
        m_failure = reasonOf(m_file, errno);
}

Result<void> Transcript::close() {
    if (m_file.isOpen() && !m_failure && !m_file.flush())
        m_failure = reasonOf(m_file, errno);
    if (m_failure)
        cutToLastLine();
    m_file.close();
    if (m_failure)
        return Failure{Failure::Cause::DiskFull, *m_failure};
    return success();
}

// A write that failed part way left half a line: the transcript ends with its last whole one.
// Lines are short (a datagram is shown up to LoggedBytes), so the last piece of the file holds
// the end of the last whole line.
void Transcript::cutToLastLine() {
    constexpr qint64 Tail = 64 * 1024;
    QFile file(m_file.fileName());
    if (!file.open(QIODevice::ReadWrite))
        return;
    const qint64 size = file.size();
    const qint64 from = std::max<qint64>(0, size - Tail);
    if (!file.seek(from))
        return;
    const qsizetype lastEnd = file.read(Tail).lastIndexOf('\n');
    if (lastEnd >= 0 || from == 0)
        (void)file.resize(lastEnd >= 0 ? from + lastEnd + 1 : 0);
}
