#include "flash_options.h"

#include "decimal.h"
#include "transfer_engine.h"

#include <QCommandLineParser>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>

namespace {
constexpr int MaxTimeoutMs = 3600 * 1000;
constexpr int MaxRetries = 1000;

// Letters, digits and hyphens in dot-separated labels: anything else cannot be looked up, and
// refusing it here keeps a typo from turning into a name-service query.
bool isHostName(const QString& text) {
    static const QRegularExpression name(
        QStringLiteral("^(?=.{1,253}$)[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                       "(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
    return name.match(text).hasMatch();
}
} // namespace

std::optional<int> parseTimeoutMs(const QString& text) {
    // Digits with at most one point; no sign, exponent or blanks.
    static const QRegularExpression seconds(QStringLiteral("^(\\d+\\.?\\d*|\\.\\d+)$"));
    if (text.size() > 12 || !seconds.match(text).hasMatch())
        return std::nullopt;
    const auto ms = qint64(text.toDouble() * 1000.0 + 0.5);
    if (ms < 1 || ms > MaxTimeoutMs)
        return std::nullopt;
    return int(ms);
}

std::variant<HostEntry, FlashUsageError> parseHostEntry(const QString& text) {
    // HOST, HOST:PORT, a bare IPv6 address, or one in brackets with or without :PORT.
    static const QRegularExpression form(QStringLiteral("^(?:\\[([^\\]]*)\\]|([^:\\[\\]]*))(?::([^:]*))?$"));
    const auto bad = [&](const QString& why) {
        return FlashUsageError{QStringLiteral("bad host '%1': %2").arg(text, why)};
    };
    const auto m = form.match(text);
    const bool bareV6 = !m.hasMatch() && QHostAddress(text).protocol() == QAbstractSocket::IPv6Protocol;
    if (!m.hasMatch() && !bareV6)
        return bad(QStringLiteral("not a host name or IP address (use [ADDR]:PORT for an IPv6 address)"));
    HostEntry entry{bareV6 ? text : m.captured(1) + m.captured(2), std::nullopt};
    const bool bracketed = m.capturedLength(1) > 0 || text.startsWith(QLatin1Char('['));
    if (bracketed && QHostAddress(entry.host).protocol() != QAbstractSocket::IPv6Protocol)
        return bad(QStringLiteral("not an IPv6 address in brackets"));
    if (!bracketed && !bareV6 && !isHostName(entry.host))
        return bad(QStringLiteral("not a host name or IP address"));
    if (!bareV6 && m.capturedStart(3) >= 0) {
        const auto port = strictDecimal(m.captured(3), 1, 65535);
        if (!port)
            return bad(QStringLiteral("the port must be a whole number from 1 to 65535"));
        entry.port = quint16(*port);
    }
    return entry;
}

std::variant<FlashOptions, FlashHelp, FlashUsageError> parseFlashArguments(const QStringList& args) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const auto option = [](const QStringList& names, const QString& value = {}) {
        return QCommandLineOption(names, QString(), value);
    };
    const QCommandLineOption help = option({"h", "help"}), port = option({"port"}, "N"),
                             localPort = option({"local-port"}, "N"), gateway = option({"gateway"}, "ADDR"),
                             direct = option({"direct"}), timeout = option({"timeout"}, "SECONDS"),
                             retries = option({"retries"}, "N"), noCheck = option({"no-check"}),
                             log = option({"log"}, "FILE"), quiet = option({"q", "quiet"});
    parser.addOptions({help, port, localPort, gateway, direct, timeout, retries, noCheck, log, quiet});

    // QCommandLineParser skips the first entry as the program name.
    if (!parser.parse(QStringList{QStringLiteral("velta-flash")} + args))
        return FlashUsageError{parser.errorText()};
    if (parser.isSet(help))
        return FlashHelp{};

    FlashOptions o;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() < 2)
        return FlashUsageError{positional.isEmpty() ? QStringLiteral("missing FILE.hex and HOST")
                                                    : QStringLiteral("missing HOST")};
    o.file = positional.first();
    if (o.file.isEmpty())
        return FlashUsageError{QStringLiteral("empty file name")};
    for (const QString& text : positional.mid(1)) {
        auto entry = parseHostEntry(text);
        if (auto* error = std::get_if<FlashUsageError>(&entry))
            return *error;
        o.hosts << std::get<HostEntry>(entry);
    }

    // A whole number for an option that is set, within [min, max]; the error says what it needs.
    std::optional<FlashUsageError> error;
    const auto number = [&](const QCommandLineOption& opt, int min, int max, const QString& what, auto& target) {
        if (error || !parser.isSet(opt))
            return;
        if (const auto value = strictDecimal(parser.value(opt), min, max))
            target = std::remove_reference_t<decltype(target)>(*value);
        else
            error = FlashUsageError{QStringLiteral("--%1 needs %2, not '%3'")
                                        .arg(opt.names().constLast(), what.arg(min).arg(max), parser.value(opt))};
    };
    int gatewayNumber = -1;
    number(port, 1, 65535, QStringLiteral("a port from %1 to %2"), o.remotePort);
    number(localPort, 0, 65535, QStringLiteral("a port from %1 to %2"), o.localPort);
    number(gateway, 0, 255, QStringLiteral("a device address from %1 to %2"), gatewayNumber);
    number(retries, 0, MaxRetries, QStringLiteral("a whole number from %1 to %2"), o.retries);
    if (error)
        return *error;
    // Each further device takes the next port up.
    if (o.localPort && *o.localPort != 0 && *o.localPort + o.hosts.size() - 1 > 65535)
        return FlashUsageError{
            QStringLiteral("--local-port %1 leaves no room for %2 devices").arg(*o.localPort).arg(o.hosts.size())};
    if (parser.isSet(direct) && parser.isSet(gateway))
        return FlashUsageError{QStringLiteral("--direct and --gateway cannot be used together")};
    o.gateway = !parser.isSet(direct);
    if (gatewayNumber >= 0)
        o.gatewayAddress = QString::number(gatewayNumber);
    if (parser.isSet(timeout)) {
        const auto value = parseTimeoutMs(parser.value(timeout));
        if (!value)
            return FlashUsageError{QStringLiteral("--timeout needs seconds from 0.001 to 3600, not '%1'")
                                       .arg(parser.value(timeout))};
        o.timeoutMs = *value;
    }
    o.check = !parser.isSet(noCheck);
    if (parser.isSet(log)) {
        o.logFile = parser.value(log);
        if (o.logFile.isEmpty())
            return FlashUsageError{QStringLiteral("--log needs a file name")};
    }
    o.quiet = parser.isSet(quiet);
    return o;
}

QString flashUsageText() {
    QFile text(QStringLiteral(":/velta-flash/usage.txt"));
    const FlashOptions defaults;
    return QString::fromUtf8(text.open(QIODevice::ReadOnly) ? text.readAll() : QByteArray())
        .arg(defaults.remotePort)
        .arg(defaults.gatewayAddress)
        .arg(defaults.timeoutMs / 1000.0)
        .arg(defaults.retries)
        .arg(TransferState::MaxLines);
}
