#include "line/report.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {
QJsonValue isoUtc(const QDateTime& t) {
    return t.isValid() ? QJsonValue(t.toString(Qt::ISODateWithMs)) : QJsonValue();
}
QJsonValue textOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}
// Stands for the duration until the record is text: JSON numbers lose their decimals (2.0 is
// written 2), and a line's tooling may read the field with a type of its own.
const QByteArray DurationMark = "\"@duration_s@\"";

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

Result<void> Report::open(const QString& path, RunContext run) {
    if (auto opened = m_out.open(path); !opened)
        return opened;
    m_run = std::move(run);
    return success();
}

void Report::put(QJsonObject record, double durationS) {
    record[QStringLiteral("schema_version")] = SchemaVersion;
    record[QStringLiteral("run_id")] = m_run.runId;
    record[QStringLiteral("file")] = textOrNull(m_run.file);
    record[QStringLiteral("sha256")] = textOrNull(m_run.sha256);
    record[QStringLiteral("lines")] = m_run.lines;
    record[QStringLiteral("operation")] = m_run.operation;
    record[QStringLiteral("expect_version")] = textOrNull(m_run.expectVersion);
    record[QStringLiteral("file_checked")] = m_run.fileChecked;
    record[QStringLiteral("station")] = textOrNull(m_run.station);
    record[QStringLiteral("tool_version")] = QStringLiteral(VELTA_VERSION);
    record[QStringLiteral("duration_s")] = QString::fromLatin1(DurationMark.mid(1, DurationMark.size() - 2));
    QByteArray text = QJsonDocument(record).toJson(QJsonDocument::Compact);
    text.replace(DurationMark, QByteArray::number(durationS, 'f', 3));
    if (m_sink)
        m_sink(text);
    if (!isOpen())
        return;
    if (const auto written = m_out.append(text + '\n'); !written && m_failure.isEmpty())
        m_failure = written.failure().detail;
}

QJsonObject Report::deviceFields(const DeviceJob& job, const QString& type) const {
    const bool gateway = job.gatewayAddress.has_value();
    return {
        {"type", type},
        {"target", job.written},
        {"device_key", textOrNull(deviceKeyOf(job))},
        {"host", job.host},
        {"address", job.target.address.isNull() ? QJsonValue() : QJsonValue(job.target.address.toString())},
        {"port", job.target.port},
        {"mode", gateway ? QStringLiteral("gateway") : QStringLiteral("direct")},
        {"device_address", gateway ? QJsonValue(*job.gatewayAddress) : QJsonValue()},
        {"local_port", job.localPort ? QJsonValue(job.localPort) : QJsonValue()},
        {"boot_info", textOrNull(job.bootInfo)},
        {"start", isoUtc(job.startUtc)},
        {"end", isoUtc(job.endUtc)}};
}

void Report::write(const DeviceJob& job) {
    if (!writes())
        return;
    QJsonObject record = deviceFields(job, QStringLiteral("device"));
    record.insert(QStringLiteral("result"), resultKey(job));
    record.insert(QStringLiteral("exit_code"),
                  exitCodeOf(job.skipped ? FlashResult::Success : job.result, m_interruptedBy));
    record.insert(QStringLiteral("phase"), textOrNull(job.phase));
    record.insert(QStringLiteral("lines_answered"), job.acknowledged);
    record.insert(QStringLiteral("passes"), job.passes);
    record.insert(QStringLiteral("resends"), job.resends);
    record.insert(QStringLiteral("late_replies"), job.lateReplies);
    record.insert(QStringLiteral("start_sent"), job.startSent);
    record.insert(QStringLiteral("message"), textOrNull(job.message));
    record.insert(QStringLiteral("serial"), job.serial ? QJsonValue(job.serial->text) : QJsonValue());
    record.insert(QStringLiteral("image_sha256"), textOrNull(job.imageSha256));
    const bool began = job.startUtc.isValid() && job.endUtc.isValid();
    put(record, began ? double(job.startUtc.msecsTo(job.endUtc)) / 1000.0 : 0.0);
}

void Report::writeFileError(const DeviceJob& job, const QString& message) {
    if (!writes())
        return;
    QJsonObject record = deviceFields(job, QStringLiteral("device"));
    record.insert(QStringLiteral("result"), QStringLiteral("file-error"));
    record.insert(QStringLiteral("exit_code"), ExitCode::BadFile);
    record.insert(QStringLiteral("phase"), QJsonValue());
    record.insert(QStringLiteral("lines_answered"), 0);
    record.insert(QStringLiteral("passes"), 0);
    record.insert(QStringLiteral("resends"), 0);
    record.insert(QStringLiteral("late_replies"), 0);
    record.insert(QStringLiteral("start_sent"), false);
    record.insert(QStringLiteral("message"), message);
    record.insert(QStringLiteral("serial"), QJsonValue());
    record.insert(QStringLiteral("image_sha256"), QJsonValue());
    put(record, 0.0);
}

void Report::writeScan(const DeviceJob& job) {
    if (!writes())
        return;
    put(deviceFields(job, QStringLiteral("scan")), double(job.startUtc.msecsTo(job.endUtc)) / 1000.0);
}

void Report::writeRun(const QMap<QString, int>& results, int devices, const QDateTime& start, int exitCode,
                      std::optional<std::pair<int, int>> serials) {
    if (!writes())
        return;
    QJsonObject counts;
    for (auto r = results.cbegin(); r != results.cend(); ++r)
        counts[r.key()] = r.value();
    const QDateTime end = QDateTime::currentDateTimeUtc();
    put({{"type", "run"},
         {"devices", devices},
         {"results", counts},
         {"start", isoUtc(start)},
         {"end", isoUtc(end)},
         {"exit_code", exitCode},
         {"serials_programmed", serials ? QJsonValue(serials->first) : QJsonValue()},
         {"serials_voided", serials ? QJsonValue(serials->second) : QJsonValue()}},
        double(start.msecsTo(end)) / 1000.0);
}

void Report::writeSerial(const SerialEntry& e) {
    if (!isOpen())
        return;
    const QJsonObject record{{"schema_version", SchemaVersion},
                             {"type", "serial"},
                             {"tool_version", QStringLiteral(VELTA_VERSION)},
                             {"serial", e.value},
                             {"state", serialStateName(e.state)},
                             {"device_key", textOrNull(e.device)},
                             {"run_id", e.runId},
                             {"issued", isoUtc(e.issuedAt)},
                             {"settled", isoUtc(e.settledAt)},
                             {"target", textOrNull(e.target)},
                             {"boot_info", textOrNull(e.bootInfo)},
                             {"image_sha256", textOrNull(e.imageSha256)},
                             {"message", textOrNull(e.voidReason)}};
    if (const auto written = m_out.append(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
        !written && m_failure.isEmpty())
        m_failure = written.failure().detail;
}
