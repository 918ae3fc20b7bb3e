#include "device_simulator.h"

#include <utility>

namespace {
QByteArray line(QByteArrayView text) {
    QByteArray out = text.toByteArray();
    out += "\r\n";
    return out;
}

// A gateway address as the tool types it: decimal, blanks around it allowed.
std::optional<int> gatewayAddress(QByteArrayView text) {
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 3)
        return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
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
} // namespace

std::optional<QByteArray> DeviceModel::handle(const QByteArray& datagram, const QByteArray& client,
                                              qint64 nowMs) {
    QByteArrayView text(datagram);
    while (!text.isEmpty() && (text.back() == '\n' || text.back() == '\r'))
        text.chop(1);
    const auto body = bodyFor(text);
    if (!body || isReply(*body))
        return std::nullopt;
    return command(*body, client, nowMs);
}

bool DeviceModel::isReply(QByteArrayView body) {
    while (!body.isEmpty() && (body.back() == '\n' || body.back() == '\r'))
        body.chop(1);
    static constexpr QByteArrayView Replies[] = {
        "OK",          "DOWNLOAD", "ERROR",           "VER=",        "VELTA BOOT", "ADDR SET",
        "BAD ADDRESS", "START",    "UNKNOWN COMMAND", "UART 2,7 ON", "STATUS "};
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

std::optional<QByteArray> DeviceModel::bodyFor(QByteArrayView text) const {
    const bool bootForm = text.startsWith("MDB ");
    const bool consoleForm = text.startsWith("MDC ");
    if (!bootForm && !consoleForm)
        return text.toByteArray();

    const QByteArrayView rest = text.sliced(4);
    const qsizetype comma = rest.indexOf(',');
    if (comma < 0)
        return std::nullopt;
    const auto address = gatewayAddress(rest.first(comma));
    if (!address || *address != m_address)
        return std::nullopt;
    const QByteArrayView wrapped = rest.sliced(comma + 1);
    if (bootForm)
        return wrapped.toByteArray();

    // The console form quotes the body without escaping quotes inside it.
    const qsizetype open = wrapped.indexOf('"');
    const qsizetype close = wrapped.lastIndexOf('"');
    if (open < 0 || close <= open)
        return std::nullopt;
    return wrapped.sliced(open + 1, close - open - 1).toByteArray();
}

QByteArray DeviceModel::command(const QByteArray& body, const QByteArray& client, qint64 nowMs) {
    const bool record = body.startsWith("OOT:") || body.startsWith("OOT#");
    // One conversation at a time: records of two clients would mix into one image.
    if (record && busyFor(client, nowMs))
        return line("ERROR BUSY");
    if (record) {
        // A client taking over from a silent one starts afresh rather than add to its pass.
        if (client != m_owner && m_phase == Phase::Loading)
            m_phase = Phase::Idle;
        else if (client != m_owner && m_phase == Phase::Verifying)
            m_phase = Phase::Loaded;
        m_owner = client;
        m_ownerSeenMs = nowMs;
    }
    if (record) {
        const QByteArray reply = body.startsWith("OOT:") ? downloadRecord(QByteArrayView(body).sliced(3))
                                                         : verifyRecord(QByteArrayView(body).sliced(3));
        // A client told ERROR may give up: it no longer holds the device against others.
        m_ownerHolds = !reply.startsWith("ERROR");
        return reply;
    }
    if (body == "OOTi") {
        // A boot-information request opens a new transfer: the client's unfinished pass is
        // abandoned (another client's is left alone).
        if (m_phase == Phase::Loading && !busyFor(client, nowMs))
            m_phase = Phase::Idle;
        else if (m_phase == Phase::Verifying && !busyFor(client, nowMs))
            m_phase = Phase::Loaded;
        return line("VELTA BOOT VER=" + Version.toByteArray() + " ADDR=" + QByteArray::number(m_address));
    }
    if (body == "VER")
        return line("VER=" + Version.toByteArray());
    if (body.startsWith("OOT$")) {
        const auto address = twoHexDigits(QByteArrayView(body).sliced(4));
        if (!address)
            return line("BAD ADDRESS");
        m_requestedAddress = *address;
        return line("ADDR SET " + QByteArray::number(*address, 16).rightJustified(2, '0').toUpper());
    }
    if (body == "OOTg")
        return line("START");
    if (body == "UART 2,7")
        return line("UART 2,7 ON");
    if (body == "STATUS")
        return status();
    return line("UNKNOWN COMMAND");
}

void DeviceModel::startDownloadPass() {
    m_lastRecord.clear();
    // Rewriting flash begins by erasing it: from here on there is no image to verify against.
    m_phase = Phase::Loading;
    m_image.clear();
    m_loading.clear();
    m_loadCursor.reset();
    m_passLine = 0;
    m_recordsStored = 0;
}

QByteArray DeviceModel::downloadRecord(QByteArrayView record) {
    // A copy of the record just taken, resent because its answer was slow or lost: answered
    // again, not stored or counted again.
    if (record == m_lastRecord && (m_phase == Phase::Loading || m_phase == Phase::Loaded))
        return line(m_phase == Phase::Loaded ? "DOWNLOAD" : "OK");
    const HexParseResult parsed = parseHexRecord(record, ':');
    const auto* error = std::get_if<HexParseError>(&parsed);
    // A bad line is no start of a download: the kept image stays.
    if (m_phase != Phase::Loading) {
        if (error)
            return line("ERROR " + error->reason.toLatin1());
        startDownloadPass();
    }
    ++m_passLine;
    if (m_passLine == m_errorAtLine)
        return line("ERROR");
    if (error)
        return line("ERROR " + error->reason.toLatin1());
    m_lastRecord = record.toByteArray();
    const auto& r = std::get<HexRecord>(parsed);
    if (r.type == quint8(HexRecordType::EndOfFile)) {
        m_phase = Phase::Loaded;
        m_image = std::exchange(m_loading, HexImage());
        m_completed = true;
        return line("DOWNLOAD");
    }
    if (m_loading.size() + r.data.size() > MaxImageBytes ||
        (m_loading.runCount() >= MaxImageRuns && r.type == quint8(HexRecordType::Data) &&
         m_loading.wouldAddRun(m_loadCursor.absolute(r.address), r.data.size())))
        return line("ERROR IMAGE FULL");
    m_loading.apply(r, m_loadCursor);
    ++m_recordsStored;
    return line("OK");
}

QByteArray DeviceModel::verifyRecord(QByteArrayView record) {
    if (m_phase != Phase::Verifying) {
        m_phase = Phase::Verifying;
        m_verifyCursor.reset();
    }
    const HexParseResult parsed = parseHexRecord(record, '#');
    if (const auto* error = std::get_if<HexParseError>(&parsed))
        return line("ERROR " + error->reason.toLatin1());
    const auto& r = std::get<HexRecord>(parsed);
    if (r.type == quint8(HexRecordType::EndOfFile)) {
        m_phase = Phase::Verified;
        return line("DOWNLOAD");
    }
    if (m_verifyCursor.follow(r) || r.type != quint8(HexRecordType::Data))
        return line("OK");
    if (const auto at = m_image.firstDifference(m_verifyCursor.absolute(r.address), r.data))
        return line("ERROR VERIFY " + QByteArray::number(*at, 16).rightJustified(8, '0').toUpper());
    return line("OK");
}

QByteArray DeviceModel::status() const {
    const HexImage& shown = m_phase == Phase::Loading ? m_loading : m_image;
    return line(QByteArray("STATUS ") + phaseName(m_phase) + " RECORDS=" +
                QByteArray::number(m_recordsStored) + " BYTES=" + QByteArray::number(shown.size()));
}
