#include "report.h"

#include <QJsonDocument>

namespace {
QString isoUtc(const QDateTime& t) {
    return t.toString(Qt::ISODateWithMs);
}
} // namespace

int exitCodeOf(FlashResult result, int interruptedBy) {
    switch (result) {
    case FlashResult::Success:
        return ExitCode::Ok;
    case FlashResult::DeviceError:
        return ExitCode::DeviceError;
    case FlashResult::Running: // never left running at the end; counted as no answer
    case FlashResult::Timeout:
        return ExitCode::Timeout;
    case FlashResult::NetworkError:
        return ExitCode::NetworkError;
    case FlashResult::Interrupted:
        return ExitCode::Interrupted + interruptedBy;
    }
    return ExitCode::NetworkError;
}

QString reportResult(const DeviceJob& job) {
    static const char* const names[] = {"timeout",       "ok",         "device-error", "timeout",
                                        "network-error", "interrupted"};
    return job.skipped ? QStringLiteral("skipped") : QString::fromLatin1(names[int(job.result)]);
}

Result<void> Report::open(const QString& path, const QString& file, int lines, const QString& sha256) {
    if (auto opened = m_out.open(path); !opened)
        return opened;
    m_file = file;
    m_lines = lines;
    m_sha256 = sha256;
    return success();
}

void Report::put(QJsonObject record) {
    record[QStringLiteral("file")] = m_file;
    record[QStringLiteral("sha256")] = m_sha256.isEmpty() ? QJsonValue() : QJsonValue(m_sha256);
    record[QStringLiteral("lines")] = m_lines;
    record[QStringLiteral("tool_version")] = QStringLiteral(VELTA_VERSION);
    if (!m_out.append(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n'))
        m_failed = true;
}

void Report::write(const DeviceJob& job) {
    if (!isOpen())
        return;
    put({{"host", job.host},
         {"address", job.target.address.isNull() ? QJsonValue() : QJsonValue(job.target.address.toString())},
         {"port", job.target.port},
         {"gateway", job.gatewayAddress ? QJsonValue(*job.gatewayAddress) : QJsonValue()},
         {"boot_info", job.bootInfo},
         {"start", isoUtc(job.startUtc)},
         {"end", isoUtc(job.endUtc)},
         {"duration_s", double(job.startUtc.msecsTo(job.endUtc)) / 1000.0},
         {"result", reportResult(job)},
         {"exit_code", exitCodeOf(job.skipped ? FlashResult::Success : job.result, m_interruptedBy)},
         {"resends", job.resends},
         {"late_replies", job.lateReplies},
         {"start_sent", job.startSent},
         {"message", job.message}});
}

void Report::writeFileError(const DeviceJob& job, const QString& message) {
    if (!isOpen())
        return;
    const QString now = isoUtc(QDateTime::currentDateTimeUtc());
    put({{"host", job.host},
         {"address", QJsonValue()},
         {"port", job.target.port},
         {"gateway", job.gatewayAddress ? QJsonValue(*job.gatewayAddress) : QJsonValue()},
         {"boot_info", QString()},
         {"start", now},
         {"end", now},
         {"duration_s", 0.0},
         {"result", QStringLiteral("file-error")},
         {"exit_code", ExitCode::BadFile},
         {"resends", 0},
         {"late_replies", 0},
         {"start_sent", false},
         {"message", message}});
}
