#include "flash_options.h"

#include "decimal.h"
#include "platform.h"
#include "transfer_engine.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>

#include <arpa/inet.h>

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

// Why `host` cannot be a device: the name service and inet_aton take 127.000.000.010 as
// 127.0.0.8 (octal), 127.1 and 2130706433 as 127.0.0.1 and 0x7f.1 as well, so a mistyped address
// would flash another device. An IPv4 address is four decimal numbers, nothing else.
std::optional<QString> ipv4FormProblem(const QString& host) {
    static const QRegularExpression digitsAndDots(QStringLiteral("^[0-9.]+$"));
    static const QRegularExpression dottedQuad(QStringLiteral(
        "^(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})$"));
    const auto m = dottedQuad.match(host);
    if (m.hasMatch()) {
        for (int i = 1; i <= 4; ++i) {
            if (m.captured(i).toInt() > 255)
                return QStringLiteral("an IPv4 address is four numbers from 0 to 255");
        }
        return std::nullopt;
    }
    in_addr parsed{};
    if (digitsAndDots.match(host).hasMatch() || ::inet_aton(host.toLatin1().constData(), &parsed) != 0)
        return QStringLiteral("an IPv4 address is four decimal numbers from 0 to 255, without leading zeros");
    return std::nullopt;
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
    // HOST or [IPv6], then :PORT, then /ADDR, each optional; or a bare IPv6 address.
    static const QRegularExpression form(
        QStringLiteral("^(?:\\[([^\\]]*)\\]|([^:\\[\\]/]*))(?::([^:/]*))?(?:/(.*))?$"));
    const auto bad = [&](const QString& why) {
        return FlashUsageError{QStringLiteral("bad target '%1': %2").arg(text, why)};
    };
    const auto m = form.match(text);
    const bool bareV6 = !m.hasMatch() && QHostAddress(text).protocol() == QAbstractSocket::IPv6Protocol;
    if (!m.hasMatch() && !bareV6)
        return bad(QStringLiteral("not a host name or IP address (use [ADDR]:PORT for an IPv6 address)"));
    HostEntry entry{bareV6 ? text : m.captured(1) + m.captured(2), std::nullopt, std::nullopt};
    const bool bracketed = text.startsWith(QLatin1Char('['));
    if (bracketed && QHostAddress(entry.host).protocol() != QAbstractSocket::IPv6Protocol)
        return bad(QStringLiteral("not an IPv6 address in brackets"));
    if (!bracketed && !bareV6 && !isHostName(entry.host))
        return bad(QStringLiteral("not a host name or IP address"));
    if (!bracketed && !bareV6) {
        if (const auto problem = ipv4FormProblem(entry.host))
            return bad(*problem);
    }
    if (!bareV6 && m.capturedStart(3) >= 0) {
        const auto port = strictDecimal(m.captured(3), 1, 65535);
        if (!port)
            return bad(QStringLiteral("the port must be a whole number from 1 to 65535"));
        entry.port = quint16(*port);
    }
    if (!bareV6 && m.capturedStart(4) >= 0) {
        entry.gatewayAddress = strictDecimal(m.captured(4), 0, 255);
        if (!entry.gatewayAddress)
            return bad(QStringLiteral("the device address after '/' must be a whole number from 0 to 255"));
    }
    return entry;
}

std::variant<QList<HostEntry>, FlashUsageError> parseHostsFile(const QByteArray& content,
                                                               const QString& name) {
    QList<HostEntry> hosts;
    const QList<QByteArray> lines = content.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype comment = lines[i].indexOf('#');
        const QString line =
            QString::fromLocal8Bit(comment < 0 ? lines[i] : lines[i].left(comment)).trimmed();
        if (line.isEmpty())
            continue;
        auto entry = parseHostEntry(line);
        if (auto* error = std::get_if<FlashUsageError>(&entry))
            return FlashUsageError{QStringLiteral("%1:%2: %3").arg(name).arg(i + 1).arg(error->message)};
        hosts << std::get<HostEntry>(entry);
    }
    return hosts;
}

std::variant<FlashOptions, FlashHelp, FlashVersion, FlashUsageError>
parseFlashArguments(const QStringList& args) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const auto option = [](const QStringList& names, const QString& value = {}) {
        return QCommandLineOption(names, QString(), value);
    };
    const QCommandLineOption help = option({"h", "help"}), version = option({"version"}),
                             port = option({"port"}, "N"), localPort = option({"local-port"}, "N"),
                             gateway = option({"gateway"}, "ADDR"), direct = option({"direct"}),
                             timeout = option({"timeout"}, "SECONDS"),
                             firstTimeout = option({"first-timeout"}, "SECONDS"),
                             retries = option({"retries"}, "N"), jobs = option({"jobs"}, "N"),
                             hostsFile = option({"hosts"}, "FILE"), noCheck = option({"no-check"}),
                             verifyOnly = option({"verify-only"}), skipVerified = option({"skip-verified"}),
                             start = option({"start"}), expectVersion = option({"expect-version"}, "TEXT"),
                             log = option({"log"}, "FILE"), report = option({"report"}, "FILE"),
                             progress = option({"progress"}, "WHEN"), quiet = option({"q", "quiet"});
    parser.addOptions({help,         version,       port, localPort, gateway,  direct,     timeout,
                       firstTimeout, retries,       jobs, hostsFile, noCheck,  verifyOnly, skipVerified,
                       start,        expectVersion, log,  report,    progress, quiet});

    // QCommandLineParser skips the first entry as the program name.
    if (!parser.parse(QStringList{QStringLiteral("velta-flash")} + args))
        return FlashUsageError{parser.errorText()};
    if (parser.isSet(help))
        return FlashHelp{};
    if (parser.isSet(version))
        return FlashVersion{};

    FlashOptions o;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return FlashUsageError{QStringLiteral("missing FILE.hex and TARGET")};
    o.file = positional.first();
    if (o.file.isEmpty())
        return FlashUsageError{QStringLiteral("empty file name")};
    // Every hosts file given, in order, before the targets on the command line.
    for (const QString& name : parser.values(hostsFile)) {
        const auto content = readSmallFile(name, 1024 * 1024);
        if (const auto* error = std::get_if<RuntimeError>(&content))
            return FlashUsageError{QStringLiteral("cannot read %1: %2").arg(name, error->description)};
        auto hosts = parseHostsFile(std::get<QByteArray>(content), name);
        if (const auto* error = std::get_if<FlashUsageError>(&hosts))
            return *error;
        o.hosts += std::get<QList<HostEntry>>(hosts);
        o.hostsFiles << name;
    }
    for (const QString& text : positional.mid(1)) {
        auto entry = parseHostEntry(text);
        if (auto* error = std::get_if<FlashUsageError>(&entry))
            return *error;
        o.hosts << std::get<HostEntry>(entry);
    }
    if (o.hosts.isEmpty())
        return FlashUsageError{QStringLiteral("missing TARGET")};

    // A whole number for an option that is set, within [min, max]; the error says what it needs.
    std::optional<FlashUsageError> error;
    const auto number = [&](const QCommandLineOption& opt, int min, int max, const QString& what,
                            auto& target) {
        if (error || !parser.isSet(opt))
            return;
        if (const auto value = strictDecimal(parser.value(opt), min, max))
            target = std::remove_reference_t<decltype(target)>(*value);
        else
            error =
                FlashUsageError{QStringLiteral("--%1 needs %2, not '%3'")
                                    .arg(opt.names().constLast(), what.arg(min).arg(max), parser.value(opt))};
    };
    const auto seconds = [&](const QCommandLineOption& opt, int& target) {
        if (error || !parser.isSet(opt))
            return;
        if (const auto value = parseTimeoutMs(parser.value(opt)))
            target = *value;
        else
            error = FlashUsageError{QStringLiteral("--%1 needs seconds from 0.001 to 3600, not '%2'")
                                        .arg(opt.names().constLast(), parser.value(opt))};
    };
    number(port, 1, 65535, QStringLiteral("a port from %1 to %2"), o.remotePort);
    number(localPort, 0, 65535, QStringLiteral("a port from %1 to %2"), o.localPort);
    number(gateway, 0, 255, QStringLiteral("a device address from %1 to %2"), o.gatewayAddress);
    number(retries, 0, MaxRetries, QStringLiteral("a whole number from %1 to %2"), o.retries);
    number(jobs, 1, 1000, QStringLiteral("a whole number from %1 to %2"), o.jobs);
    seconds(timeout, o.timeoutMs);
    seconds(firstTimeout, o.firstTimeoutMs);
    if (error)
        return *error;
    o.firstTimeoutMs = qMax(o.firstTimeoutMs, o.timeoutMs);
    // Each further device takes the next port up.
    if (o.localPort && *o.localPort != 0 && *o.localPort + o.hosts.size() - 1 > 65535)
        return FlashUsageError{QStringLiteral("--local-port %1 leaves no room for %2 devices")
                                   .arg(*o.localPort)
                                   .arg(o.hosts.size())};
    if (parser.isSet(direct) && parser.isSet(gateway))
        return FlashUsageError{QStringLiteral("--direct and --gateway cannot be used together")};
    o.gateway = !parser.isSet(direct);
    o.check = !parser.isSet(noCheck);
    o.verifyOnly = parser.isSet(verifyOnly);
    o.skipVerified = parser.isSet(skipVerified);
    if (o.verifyOnly && o.skipVerified)
        return FlashUsageError{QStringLiteral("--verify-only and --skip-verified cannot be used together")};
    o.start = parser.isSet(start);
    o.expectVersion = parser.value(expectVersion);
    if (parser.isSet(expectVersion) && o.expectVersion.isEmpty())
        return FlashUsageError{QStringLiteral("--expect-version needs a text")};
    o.logFile = parser.value(log);
    o.reportFile = parser.value(report);
    for (const auto& [opt, value] : {std::pair(&log, o.logFile), std::pair(&report, o.reportFile)}) {
        if (parser.isSet(*opt) && value.isEmpty())
            return FlashUsageError{QStringLiteral("--%1 needs a file name").arg(opt->names().constLast())};
    }
    if (o.logFile == QLatin1String("-"))
        return FlashUsageError{QStringLiteral("--log needs a file name; '-' is for --report")};
    const QStringList whens{QStringLiteral("auto"), QStringLiteral("always"), QStringLiteral("never")};
    if (parser.isSet(progress) && !whens.contains(parser.value(progress)))
        return FlashUsageError{
            QStringLiteral("--progress needs auto, always or never, not '%1'").arg(parser.value(progress))};
    o.progress = FlashOptions::Progress(qMax(0, whens.indexOf(parser.value(progress))));
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
        .arg(defaults.firstTimeoutMs / 1000.0)
        .arg(defaults.retries)
        .arg(TransferState::MaxLines);
}

std::optional<FlashUsageError> checkFilesApart(const FlashOptions& o) {
    QList<std::pair<QString, QString>> outputs; // option, path
    for (const auto& [option, path] : {std::pair(QStringLiteral("--log"), o.logFile),
                                       std::pair(QStringLiteral("--report"), o.reportFile)}) {
        if (!path.isEmpty() && path != QLatin1String("-"))
            outputs.append({option, path});
    }
    QList<std::pair<QString, QString>> inputs{{QStringLiteral("the file to load"), o.file}};
    for (const QString& hosts : o.hostsFiles)
        inputs.append({QStringLiteral("--hosts ") + hosts, hosts});
    for (qsizetype i = 0; i < outputs.size(); ++i) {
        const auto& [option, path] = outputs[i];
        // An output replaces or grows a file: it must be one, or nothing yet.
        const QFileInfo info(path);
        if (info.exists() && !info.isFile())
            return FlashUsageError{QStringLiteral("%1 %2: not a regular file").arg(option, path)};
        for (const auto& [what, input] : inputs) {
            if (isSameFile(path, input))
                return FlashUsageError{QStringLiteral("%1 %2 is %3").arg(option, path, what)};
        }
        for (qsizetype j = i + 1; j < outputs.size(); ++j) {
            if (isSameFile(path, outputs[j].second))
                return FlashUsageError{QStringLiteral("%1 %2 is the file of %3 %4")
                                           .arg(option, path, outputs[j].first, outputs[j].second)};
        }
    }
    return std::nullopt;
}
