#include "line/host_entry.h"

#include "core/io/decimal.h"

#include <QHostAddress>
#include <QRegularExpression>

#include <arpa/inet.h>

namespace {
// Letters, digits and hyphens in dot-separated labels: anything else cannot be looked up, and
// refusing it here keeps a typo from turning into a name-service query.
bool isHostName(const QString& text) {
    static const QRegularExpression name(
        QStringLiteral("^(?=.{1,253}$)[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                       "(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    return name.match(text).hasMatch();
}

// Why `host` cannot be a device: the name service and inet_aton take 127.000.000.010 as
// 127.0.0.8 (octal), 127.1 and 2130706433 as 127.0.0.1 and 0x7f.1 as well, so a mistyped address
// would flash another device. An IPv4 address is four decimal numbers, nothing else.
Result<void> checkIpv4Form(const QString& host) {
    const auto refused = [](const QString& why) { return Failure{Failure::Cause::Usage, why}; };
    static const QRegularExpression digitsAndDots(QStringLiteral("^[0-9.]+$"));
    static const QRegularExpression dottedQuad(QStringLiteral(
        "^(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})$"));
    const auto m = dottedQuad.match(host);
    if (m.hasMatch()) {
        for (int i = 1; i <= 4; ++i) {
            if (m.captured(i).toInt() > 255)
                return refused(QStringLiteral("an IPv4 address is four numbers from 0 to 255"));
        }
        return success();
    }
    in_addr parsed{};
    if (digitsAndDots.match(host).hasMatch() || ::inet_aton(host.toLatin1().constData(), &parsed) != 0)
        return refused(
            QStringLiteral("an IPv4 address is four decimal numbers from 0 to 255, without leading zeros"));
    return success();
}
} // namespace

Result<HostEntry> parseHostEntry(const QString& text) {
    // HOST or [IPv6], then :PORT, then /ADDR, each optional; or a bare IPv6 address.
    static const QRegularExpression form(
        QStringLiteral("^(?:\\[([^\\]]*)\\]|([^:\\[\\]/]*))(?::([^:/]*))?(?:/(.*))?$"));
    const auto bad = [&](const QString& why) {
        return Failure{Failure::Cause::Usage, QStringLiteral("bad target '%1': %2").arg(text, why)};
    };
    const auto m = form.match(text);
    const bool bareV6 = !m.hasMatch() && QHostAddress(text).protocol() == QAbstractSocket::IPv6Protocol;
    if (!m.hasMatch() && !bareV6)
        return bad(QStringLiteral("not a host name or IP address (use [ADDR]:PORT for an IPv6 address)"));
    HostEntry entry{
        bareV6 ? text : m.captured(1) + m.captured(2), std::nullopt, std::nullopt, std::nullopt, text, {}};
    if (bareV6)
        return entry;
    const bool bracketed = text.startsWith(QLatin1Char('['));
    if (bracketed && QHostAddress(entry.host).protocol() != QAbstractSocket::IPv6Protocol)
        return bad(QStringLiteral("not an IPv6 address in brackets"));
    if (!bracketed && !isHostName(entry.host))
        return bad(QStringLiteral("not a host name or IP address"));
    if (const auto form = bracketed ? success() : checkIpv4Form(entry.host); !form)
        return bad(form.failure().detail);
    if (m.capturedStart(3) >= 0) {
        const auto port = strictDecimal(m.captured(3), 1, 65535);
        if (!port)
            return bad(QStringLiteral("the port must be a whole number from 1 to 65535"));
        entry.port = quint16(*port);
    }
    if (m.capturedStart(4) >= 0) {
        // "/16" or, for an inventory, "/16-31".
        const QStringList range = m.captured(4).split(QLatin1Char('-'));
        entry.gatewayAddress = strictDecimal(range.first(), 0, 255);
        if (range.size() == 2)
            entry.lastAddress = strictDecimal(range.last(), 0, 255);
        if (!entry.gatewayAddress || range.size() > 2 || (range.size() == 2 && !entry.lastAddress))
            return bad(QStringLiteral("the device address after '/' must be a whole number from 0 to 255"));
        if (entry.lastAddress && *entry.lastAddress < *entry.gatewayAddress)
            return bad(QStringLiteral("the range of device addresses ends before it begins"));
    }
    return entry;
}

Result<QList<HostEntry>> parseHostsFile(const QByteArray& content, const QString& name) {
    QList<HostEntry> hosts;
    const QList<QByteArray> lines = content.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype comment = lines[i].indexOf('#');
        const QString line =
            QString::fromLocal8Bit(comment < 0 ? lines[i] : lines[i].left(comment)).trimmed();
        if (line.isEmpty())
            continue;
        auto entry = parseHostEntry(line);
        if (!entry)
            return Failure{Failure::Cause::Usage,
                           QStringLiteral("%1:%2: %3").arg(name).arg(i + 1).arg(entry.failure().detail)};
        entry->origin = QStringLiteral("%1 line %2").arg(name).arg(i + 1);
        hosts << *entry;
    }
    return hosts;
}
