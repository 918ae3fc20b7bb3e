#include "core/conversation/device_model.h"

#include "core/conversation/framing.h"
#include "core/conversation/vocabulary.h"

#include <utility>

namespace {
QByteArray line(QByteArrayView text) {
    QByteArray out = text.toByteArray();
    out += Protocol::LineEnd;
    return out;
}

QByteArray error(QByteArrayView reason) {
    return line(QByteArray(Protocol::Reply::Error) + ' ' + reason.toByteArray());
}

std::optional<quint8> twoHexDigits(QByteArrayView text) {
    if (text.size() != 2)
        return std::nullopt;
    const int high = hexDigitValue(text[0]);
    const int low = hexDigitValue(text[1]);
    if (high < 0 || low < 0)
        return std::nullopt;
    return quint8((high << 4) | low);
}

const char* phaseName(DeviceModel::Phase phase) {
    switch (phase) {
    case DeviceModel::Phase::Idle:
        return "IDLE";
    case DeviceModel::Phase::Loading:
        return "LOADING";
    case DeviceModel::Phase::Loaded:
        return "LOADED";
    case DeviceModel::Phase::Verifying:
        return "VERIFYING";
    case DeviceModel::Phase::Verified:
        return "VERIFIED";
    }
    return "IDLE";
}

QByteArrayView withoutLineEnd(QByteArrayView text) {
    while (!text.isEmpty() && (text.back() == '\n' || text.back() == '\r'))
        text.chop(1);
    return text;
}
} // namespace

std::optional<QByteArray> DeviceModel::handle(QByteArrayView datagram, const QByteArray& client,
                                              qint64 nowMs) {
    bool wrapped = false;
    const auto body = commandFor(withoutLineEnd(datagram), m_settings.address, &wrapped);
    m_lastWork = Work::None;
    if (!body || isReply(*body) || (wrapped && m_settings.directOnly))
        return std::nullopt;
    return command(*body, client, nowMs);
}

bool DeviceModel::isReply(QByteArrayView body) {
    body = withoutLineEnd(body);
    // Not constexpr: built with the sanitizers, GCC cannot take a view of an array as constant.
    static const QByteArrayView Replies[] = {
        Protocol::Reply::Ok,           Protocol::Reply::Download, Protocol::Reply::Error,
        Protocol::Reply::VersionField, Protocol::Reply::BootInfo, Protocol::Reply::AddressSet,
        Protocol::Reply::BadAddress,   Protocol::Reply::Started,  Protocol::Reply::Unknown,
        Protocol::Reply::UartOn,       Protocol::Reply::Status};
    for (const QByteArrayView reply : Replies) {
        if (body.startsWith(reply))
            return true;
    }
    return false;
}

bool DeviceModel::busyFor(const QByteArray& client, qint64 nowMs) const {
    const bool midPass = m_phase == Phase::Loading || m_phase == Phase::Verifying;
    return midPass && m_ownerHolds && client != m_owner && nowMs - m_ownerSeenMs < OwnerTimeoutMs;
}

bool DeviceModel::takeDownloadCompleted() {
    return std::exchange(m_completed, false);
}

QByteArray DeviceModel::command(QByteArrayView body, const QByteArray& client, qint64 nowMs) {
    const QByteArrayView recordPrefix(Protocol::Command::Record);
    if (body.startsWith(recordPrefix) && body.size() > recordPrefix.size() &&
        (body[recordPrefix.size()] == Protocol::DownloadMark ||
         body[recordPrefix.size()] == Protocol::VerifyMark))
        return record(body, client, nowMs);
    if (body == Protocol::Command::BootInfo)
        return bootInformation(client, nowMs);
    if (body == Protocol::Command::Version)
        return line(Protocol::Reply::VersionField + Version.toByteArray());
    if (body.startsWith(Protocol::Command::SetAddress)) {
        const auto address = twoHexDigits(body.sliced(QByteArrayView(Protocol::Command::SetAddress).size()));
        if (!address)
            return line(Protocol::Reply::BadAddress);
        return line(Protocol::Reply::AddressSet + QByteArray(" ") +
                    QByteArray::number(*address, 16).rightJustified(2, '0').toUpper());
    }
    if (body == Protocol::Command::Start)
        return line(Protocol::Reply::Started);
    if (body == Protocol::Command::UartOn)
        return line(Protocol::Reply::UartOn);
    if (body == Protocol::Command::Status)
        return status();
    return line(Protocol::Reply::Unknown);
}

QByteArray DeviceModel::record(QByteArrayView body, const QByteArray& client, qint64 nowMs) {
    m_lastWork = Work::Record;
    // One conversation at a time: records of two clients would mix into one image.
    if (busyFor(client, nowMs))
        return error("BUSY");
    // A client taking over from a silent one starts afresh rather than add to its pass.
    if (client != m_owner)
        abandonPass();
    m_owner = client;
    m_ownerSeenMs = nowMs;
    const QByteArrayView text = body.sliced(QByteArrayView(Protocol::Command::Record).size());
    const QByteArray reply =
        text.startsWith(Protocol::DownloadMark) ? downloadRecord(text) : verifyRecord(text);
    // A client told ERROR may give up: it no longer holds the device against others.
    m_ownerHolds = !reply.startsWith(Protocol::Reply::Error);
    return reply;
}

QByteArray DeviceModel::bootInformation(const QByteArray& client, qint64 nowMs) {
    // A boot-information request opens a new transfer: the client's unfinished pass is abandoned,
    // and its last record is no copy it may resend (another client's pass is left alone).
    const bool midPass = m_phase == Phase::Loading || m_phase == Phase::Verifying;
    if ((midPass || client == m_owner) && !busyFor(client, nowMs))
        abandonPass();
    if (!m_settings.bootText.isEmpty())
        return line(m_settings.bootText);
    return line(Protocol::Reply::BootInfo + QByteArray(" ") + Protocol::Reply::VersionField +
                Version.toByteArray() + " ADDR=" + QByteArray::number(m_settings.address));
}

void DeviceModel::abandonPass() {
    // An unfinished download leaves no image (its flash was erased); a verify pass leaves the image
    // it checked, if a download was completed since the last erase.
    if (m_phase == Phase::Loading)
        m_phase = Phase::Idle;
    else if (m_phase == Phase::Verifying)
        m_phase = m_imageKept ? Phase::Loaded : Phase::Idle;
    m_lastRecord.clear();
}

void DeviceModel::startDownloadPass() {
    m_lastRecord.clear();
    m_imageKept = false;
    m_imageRecords = 0;
    // Rewriting flash begins by erasing it: from here on there is no image to verify against.
    m_phase = Phase::Loading;
    m_image.clear();
    m_loading.clear();
    m_loadCursor.reset();
    m_passLine = 0;
    m_recordsStored = 0;
}

bool DeviceModel::imageFull(const HexRecord& r) const {
    if (m_loading.size() + r.data.size() > MaxImageBytes)
        return true;
    return r.type == quint8(HexRecordType::Data) &&
           m_loading.runCount() + m_loading.runsAdded(r, m_loadCursor) > MaxImageRuns;
}

QByteArray DeviceModel::downloadRecord(QByteArrayView record) {
    // A copy of the record just taken, resent because its answer was slow or lost: answered
    // again, not stored or counted again.
    if (record == m_lastRecord && (m_phase == Phase::Loading || m_phase == Phase::Loaded))
        return line(m_phase == Phase::Loaded ? Protocol::Reply::Download : Protocol::Reply::Ok);
    const HexParseResult parsed = parseHexRecord(record, Protocol::DownloadMark);
    const auto* bad = std::get_if<HexParseError>(&parsed);
    // A bad line is no start of a download: the kept image stays.
    if (m_phase != Phase::Loading) {
        if (bad)
            return error(bad->reason.toLatin1());
        startDownloadPass();
    }
    ++m_passLine;
    if (m_passLine == m_settings.errorAtLine)
        return line(Protocol::Reply::Error);
    if (bad)
        return error(bad->reason.toLatin1());
    m_lastRecord = record.toByteArray();
    const auto& r = std::get<HexRecord>(parsed);
    if (r.type == quint8(HexRecordType::EndOfFile)) {
        m_phase = Phase::Loaded;
        m_image = std::exchange(m_loading, HexImage());
        m_imageKept = m_completed = true;
        m_imageRecords = m_recordsStored;
        return line(Protocol::Reply::Download);
    }
    if (imageFull(r))
        return error("IMAGE FULL");
    m_loading.apply(r, m_loadCursor);
    ++m_recordsStored;
    if (m_settings.rowEvery > 0 && m_recordsStored % m_settings.rowEvery == 0)
        m_lastWork = Work::RowWrite;
    return line(Protocol::Reply::Ok);
}

QByteArray DeviceModel::verifyRecord(QByteArrayView record) {
    if (m_phase != Phase::Verifying) {
        m_phase = Phase::Verifying;
        m_verifyCursor.reset();
    }
    const HexParseResult parsed = parseHexRecord(record, Protocol::VerifyMark);
    if (const auto* bad = std::get_if<HexParseError>(&parsed))
        return error(bad->reason.toLatin1());
    const auto& r = std::get<HexRecord>(parsed);
    if (r.type == quint8(HexRecordType::EndOfFile)) {
        m_phase = Phase::Verified;
        return line(Protocol::Reply::Download);
    }
    if (m_verifyCursor.follow(r) || r.type != quint8(HexRecordType::Data))
        return line(Protocol::Reply::Ok);
    if (const auto at = m_image.firstDifference(r, m_verifyCursor))
        return error("VERIFY " + QByteArray::number(*at, 16).rightJustified(8, '0').toUpper());
    return line(Protocol::Reply::Ok);
}

QByteArray DeviceModel::status() const {
    const bool loading = m_phase == Phase::Loading;
    return line(Protocol::Reply::Status + QByteArray(phaseName(m_phase)) +
                " RECORDS=" + QByteArray::number(loading ? m_recordsStored : m_imageRecords) +
                " BYTES=" + QByteArray::number((loading ? m_loading : m_image).size()));
}
