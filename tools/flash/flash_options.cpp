#include "flash_options.h"

#include "core/conversation/transfer_state.h"
#include "core/io/command_line.h"
#include "core/io/decimal.h"
#include "core/io/files.h"
#include "core/io/runtime_error.h"

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

namespace {
// FILE.hex and the targets: every --hosts file in order, then those on the command line.
void readTargets(CommandLine& line, FlashOptions& o) {
    QStringList positional = line.positional();
    o.scan = line.isSet("scan");
    if (!o.scan) {
        if (positional.isEmpty())
            return line.fail(QStringLiteral("missing FILE.hex and TARGET"));
        o.file = positional.takeFirst();
        if (o.file.isEmpty())
            return line.fail(QStringLiteral("empty file name"));
    }
    for (const QString& name : line.values("hosts")) {
        const auto content = readSmallFile(name, 1024 * 1024);
        if (!content)
            return line.fail(QStringLiteral("cannot read %1: %2")
                                 .arg(name, RuntimeError::of(content.failure()).description));
        auto hosts = parseHostsFile(*content, name);
        if (!hosts)
            return line.fail(hosts.failure().detail);
        o.hosts += *hosts;
        o.hostsFiles << name;
    }
    for (const QString& text : std::as_const(positional)) {
        auto entry = parseHostEntry(text);
        if (!entry)
            return line.fail(entry.failure().detail);
        o.hosts << *entry;
    }
    if (o.hosts.isEmpty())
        return line.fail(QStringLiteral("missing TARGET"));
    for (const HostEntry& h : std::as_const(o.hosts)) {
        if (h.lastAddress && !o.scan)
            return line.fail(
                QStringLiteral("%1: a range of device addresses is for --scan only").arg(h.written));
    }
}

void readNumbers(CommandLine& line, FlashOptions& o) {
    if (o.scan) {
        // An inventory asks many addresses where nothing answers: each gets a short wait.
        o.timeoutMs = o.firstTimeoutMs = ScanTimeoutMs;
        o.retries = ScanRetries;
    }
    const QString port = QStringLiteral("a port from %1 to %2"),
                  whole = QStringLiteral("a whole number from %1 to %2");
    line.number("port", 1, 65535, port, o.remotePort);
    line.number("local-port", 0, 65535, port, o.localPort);
    line.number("gateway", 0, 255, QStringLiteral("a device address from %1 to %2"), o.gatewayAddress);
    line.number("retries", 0, MaxRetries, whole, o.retries);
    line.number("jobs", 1, 1000, whole, o.jobs);
    for (const auto& [name, target] : {std::pair(QStringLiteral("timeout"), &o.timeoutMs),
                                       std::pair(QStringLiteral("first-timeout"), &o.firstTimeoutMs)}) {
        if (!line.isSet(name))
            continue;
        if (const auto value = parseTimeoutMs(line.value(name)))
            *target = *value;
        else
            line.fail(QStringLiteral("--%1 needs seconds from 0.001 to 3600, not '%2'")
                          .arg(name, line.value(name)));
    }
    o.firstTimeoutMs = qMax(o.firstTimeoutMs, o.timeoutMs);
    // Each further device takes the next port up.
    if (o.localPort && *o.localPort != 0 && *o.localPort + o.hosts.size() - 1 > 65535)
        line.fail(QStringLiteral("--local-port %1 leaves no room for %2 devices")
                      .arg(*o.localPort)
                      .arg(o.hosts.size()));
}

void readModes(CommandLine& line, FlashOptions& o) {
    if (line.isSet("direct") && line.isSet("gateway"))
        line.fail(QStringLiteral("--direct and --gateway cannot be used together"));
    o.gateway = !line.isSet("direct");
    o.check = !line.isSet("no-check");
    o.verifyOnly = line.isSet("verify-only");
    o.skipVerified = line.isSet("skip-verified");
    if (o.verifyOnly && o.skipVerified)
        line.fail(QStringLiteral("--verify-only and --skip-verified cannot be used together"));
    o.start = line.isSet("start");
    o.expectVersion = line.value("expect-version");
    if (line.isSet("expect-version") && o.expectVersion.isEmpty())
        line.fail(QStringLiteral("--expect-version needs a text"));
    const QStringList whens{QStringLiteral("auto"), QStringLiteral("always"), QStringLiteral("never")};
    if (line.isSet("progress") && !whens.contains(line.value("progress")))
        line.fail(
            QStringLiteral("--progress needs auto, always or never, not '%1'").arg(line.value("progress")));
    o.progress = FlashOptions::Progress(qMax(0, whens.indexOf(line.value("progress"))));
    o.quiet = line.isSet("quiet");
}

void readOutputs(CommandLine& line, FlashOptions& o) {
    o.logFile = line.value("log");
    o.reportFile = line.value("report");
    o.failedHostsFile = line.value("failed-hosts");
    for (const QString& name :
         {QStringLiteral("log"), QStringLiteral("report"), QStringLiteral("failed-hosts")}) {
        if (line.isSet(name) && line.value(name).isEmpty())
            line.fail(QStringLiteral("--%1 needs a file name").arg(name));
    }
    if (o.scan && (!o.failedHostsFile.isEmpty() || o.verifyOnly || o.skipVerified || o.start))
        line.fail(QStringLiteral("--scan sends nothing but the boot-information request: no --failed-hosts, "
                                 "--verify-only, --skip-verified or --start"));
    if (o.logFile == QLatin1String("-") || o.failedHostsFile == QLatin1String("-"))
        line.fail(QStringLiteral("--log and --failed-hosts need a file name; '-' is for --report"));
}
} // namespace

Result<FlashCommand> parseFlashArguments(const QStringList& args) {
    const auto option = [](const QStringList& names, const QString& value = {}) {
        return QCommandLineOption(names, QString(), value);
    };
    CommandLine line({option({"h", "help"}),
                      option({"version"}),
                      option({"port"}, "N"),
                      option({"local-port"}, "N"),
                      option({"gateway"}, "ADDR"),
                      option({"direct"}),
                      option({"timeout"}, "SECONDS"),
                      option({"first-timeout"}, "SECONDS"),
                      option({"retries"}, "N"),
                      option({"jobs"}, "N"),
                      option({"hosts"}, "FILE"),
                      option({"no-check"}),
                      option({"verify-only"}),
                      option({"skip-verified"}),
                      option({"start"}),
                      option({"expect-version"}, "TEXT"),
                      option({"log"}, "FILE"),
                      option({"report"}, "FILE"),
                      option({"failed-hosts"}, "FILE"),
                      option({"scan"}),
                      option({"progress"}, "WHEN"),
                      option({"q", "quiet"})});
    if (auto parsed = line.parse(args); !parsed)
        return parsed.failure();
    if (line.isSet("help"))
        return FlashCommand(FlashHelp{});
    if (line.isSet("version"))
        return FlashCommand(FlashVersion{});
    FlashOptions o;
    readTargets(line, o);
    readNumbers(line, o);
    readModes(line, o);
    readOutputs(line, o);
    if (auto checked = line.result(); !checked)
        return checked.failure();
    return FlashCommand(o);
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

Result<void> checkFilesApart(const FlashOptions& o) {
    const auto refused = [](const QString& why) { return Failure{Failure::Cause::Usage, why}; };
    QList<std::pair<QString, QString>> outputs; // option, path
    for (const auto& [option, path] :
         {std::pair(QStringLiteral("--log"), o.logFile), std::pair(QStringLiteral("--report"), o.reportFile),
          std::pair(QStringLiteral("--failed-hosts"), o.failedHostsFile)}) {
        if (!path.isEmpty() && path != QLatin1String("-"))
            outputs.append({option, path});
    }
    QList<std::pair<QString, QString>> inputs{{QStringLiteral("the file to load"), o.file}};
    if (o.file.isEmpty())
        inputs.clear(); // an inventory loads no file
    for (const QString& hosts : o.hostsFiles)
        inputs.append({QStringLiteral("--hosts ") + hosts, hosts});
    for (qsizetype i = 0; i < outputs.size(); ++i) {
        const auto& [option, path] = outputs[i];
        // An output replaces or grows a file: it must be one, or nothing yet.
        const QFileInfo info(path);
        if (info.exists() && !info.isFile())
            return refused(QStringLiteral("%1 %2: not a regular file").arg(option, path));
        for (const auto& [what, input] : inputs) {
            // Writing the failed targets over the hosts file they came from is how a line
            // re-runs what failed until nothing does: the file has been read by then.
            const bool hostsFile = what.startsWith(QLatin1String("--hosts "));
            if (isSameFile(path, input) && !(option == QLatin1String("--failed-hosts") && hostsFile))
                return refused(QStringLiteral("%1 %2 is %3").arg(option, path, what));
        }
        for (qsizetype j = i + 1; j < outputs.size(); ++j) {
            if (isSameFile(path, outputs[j].second))
                return refused(QStringLiteral("%1 %2 is the file of %3 %4")
                                   .arg(option, path, outputs[j].first, outputs[j].second));
        }
    }
    return success();
}
