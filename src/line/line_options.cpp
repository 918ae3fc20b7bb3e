#include "line/line_options.h"

#include "core/io/files.h"
#include "core/io/runtime_error.h"
#include "store/database.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {
constexpr int MaxTimeoutMs = 3600 * 1000;
constexpr int MaxRetries = 1000;
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

QList<QCommandLineOption> lineOptionTable() {
    const auto option = [](const QStringList& names, const QString& value = {}) {
        return QCommandLineOption(names, QString(), value);
    };
    return {option({"h", "help"}),
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
            option({"serial-db"}, "FILE"),
            option({"serial-at"}, "ADDR"),
            option({"serial-size"}, "N"),
            option({"serial-format"}, "FORMAT"),
            option({"serial-start"}, "VALUE"),
            option({"serial-step"}, "K"),
            option({"serial-list"}, "FILE"),
            option({"serial-sqtp"}, "FILE"),
            option({"history"}, "DB"),
            option({"station"}, "NAME")};
}

namespace {
// FILE.hex and the targets: every --hosts file in order, then those on the command line.
void readTargets(CommandLine& line, LineOptions& o, LineArguments arguments) {
    QStringList positional = line.positional();
    o.scan = line.isSet("scan");
    if (!o.scan && arguments != LineArguments::TargetsOnly) {
        if (positional.isEmpty() && arguments == LineArguments::FileAndTargets)
            return line.fail(QStringLiteral("missing FILE.hex and TARGET"));
        const bool given = !positional.isEmpty();
        o.file = given ? positional.takeFirst() : QString();
        if (given && o.file.isEmpty())
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
    if (o.hosts.isEmpty() && arguments == LineArguments::FileAndTargets)
        return line.fail(QStringLiteral("missing TARGET"));
    for (const HostEntry& h : std::as_const(o.hosts)) {
        if (h.lastAddress && !o.scan)
            return line.fail(
                QStringLiteral("%1: a range of device addresses is for --scan only").arg(h.written));
    }
}

void readNumbers(CommandLine& line, LineOptions& o) {
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

void readModes(CommandLine& line, LineOptions& o) {
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
}

void readOutputs(CommandLine& line, LineOptions& o) {
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
    o.history = line.value("history");
    if (line.isSet("history") && o.history.isEmpty())
        line.fail(QStringLiteral("--history needs an SQLite file or a postgresql:// URL"));
    o.station = line.value("station");
    // A station's name goes into every record and every table: one short line of text.
    static const QRegularExpression stationName(QStringLiteral("^[^\\x00-\\x1f\\x7f]{1,64}$"));
    if (line.isSet("station") && !stationName.match(o.station).hasMatch())
        line.fail(QStringLiteral("--station needs a name of 1 to 64 characters, without control characters"));
}

// "0x7FF0" or "7FF0": an address in the file's 32-bit address space.
std::optional<quint32> hexAddress(QString text) {
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text.remove(0, 2);
    static const QRegularExpression digits(QStringLiteral("^[0-9A-Fa-f]{1,8}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    return quint32(text.toUInt(nullptr, 16));
}

// The serialization: a pool, one source, and where and how the value goes. Each option needs
// its companions; a check of a serialized device would need its own value, so none is made.
void readSerial(CommandLine& line, LineOptions& o) {
    using Source = SerialSettings::Source;
    SerialSettings& s = o.serial;
    QStringList sources;
    for (const char* name : {"serial-start", "serial-list", "serial-sqtp"}) {
        if (line.isSet(QLatin1String(name)))
            sources << QStringLiteral("--%1").arg(QLatin1String(name));
    }
    const QStringList place{QStringLiteral("serial-at"), QStringLiteral("serial-size"),
                            QStringLiteral("serial-format")};
    const bool anyPlace =
        std::any_of(place.cbegin(), place.cend(), [&](const QString& n) { return line.isSet(n); });
    if (sources.size() > 1)
        return line.fail(
            QStringLiteral("one serial source a run, not %1").arg(sources.join(QLatin1String(" and "))));
    if (sources.isEmpty()) {
        if (line.isSet("serial-db") || anyPlace || line.isSet("serial-step"))
            line.fail(QStringLiteral(
                "the serial options need a source: --serial-start, --serial-list or --serial-sqtp"));
        return;
    }
    s.source = line.isSet("serial-start")  ? Source::Counter
               : line.isSet("serial-list") ? Source::List
                                           : Source::Sqtp;
    s.pool = line.value("serial-db");
    if (s.pool.isEmpty())
        return line.fail(QStringLiteral("%1 needs --serial-db: the pool that hands each value out once")
                             .arg(sources.first()));
    if (o.verifyOnly || o.skipVerified || o.scan)
        return line.fail(
            QStringLiteral("%1 cannot be used with --verify-only, --skip-verified or --scan: a check of a "
                           "serialized device would need its own value")
                .arg(sources.first()));
    if (line.isSet("serial-step") && s.source != Source::Counter)
        return line.fail(QStringLiteral("--serial-step is the step of --serial-start"));
    s.start = line.value("serial-start");
    s.step = line.isSet("serial-step") ? line.value("serial-step") : QStringLiteral("1");
    s.file = s.source == Source::List ? line.value("serial-list") : line.value("serial-sqtp");
    line.number("serial-size", 1, 255, QStringLiteral("a number of bytes from %1 to %2"), s.size);
    if (s.source == Source::Sqtp) {
        // Each record of an SQTP file gives its own place and bytes.
        if (line.isSet("serial-at") || line.isSet("serial-format"))
            line.fail(QStringLiteral(
                "--serial-sqtp takes each value's place and bytes from its records: no --serial-at "
                "or --serial-format"));
        return;
    }
    for (const QString& name : place) {
        if (!line.isSet(name))
            return line.fail(QStringLiteral("%1 needs --serial-at, --serial-size and --serial-format")
                                 .arg(sources.first()));
    }
    s.address = hexAddress(line.value("serial-at"));
    if (!s.address)
        line.fail(QStringLiteral("--serial-at needs an address in hexadecimal (0x7FF0), not '%1'")
                      .arg(line.value("serial-at")));
    const auto format = serialFormatNamed(line.value("serial-format"));
    if (!format)
        return line.fail(QStringLiteral("--serial-format needs be, le, ascii, hex or mac, not '%1'")
                             .arg(line.value("serial-format")));
    s.format = *format;
}
} // namespace

void readLineOptions(CommandLine& line, LineOptions& o, LineArguments arguments) {
    readTargets(line, o, arguments);
    readNumbers(line, o);
    readModes(line, o);
    readOutputs(line, o);
    readSerial(line, o);
    // A server's URL is read here, so that a mistyped one is refused before anything is opened.
    for (const QString& store : {o.serial.pool, o.history}) {
        if (const auto where = StoreLocation::parse(store); !where)
            line.fail(where.failure().detail);
    }
}

Result<void> checkFilesApart(const LineOptions& o) {
    const auto refused = [](const QString& why) { return Failure{Failure::Cause::Usage, why}; };
    QList<std::pair<QString, QString>> outputs; // option, path
    for (const auto& [option, path] :
         {std::pair(QStringLiteral("--log"), o.logFile), std::pair(QStringLiteral("--report"), o.reportFile),
          std::pair(QStringLiteral("--failed-hosts"), o.failedHostsFile),
          std::pair(QStringLiteral("--serial-db"), isDatabaseUrl(o.serial.pool) ? QString() : o.serial.pool),
          std::pair(QStringLiteral("--history"), isDatabaseUrl(o.history) ? QString() : o.history)}) {
        if (!path.isEmpty() && path != QLatin1String("-"))
            outputs.append({option, path});
    }
    QList<std::pair<QString, QString>> inputs{{QStringLiteral("the file to load"), o.file}};
    if (o.file.isEmpty())
        inputs.clear(); // an inventory loads no file
    if (!o.serial.file.isEmpty())
        inputs.append({QStringLiteral("the serial values' file"), o.serial.file});
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
            // The pool and the history are tables of one store: one file may hold both.
            const bool stores =
                option == QLatin1String("--serial-db") && outputs[j].first == QLatin1String("--history");
            if (isSameFile(path, outputs[j].second) && !stores)
                return refused(QStringLiteral("%1 %2 is the file of %3 %4")
                                   .arg(option, path, outputs[j].first, outputs[j].second));
        }
    }
    return success();
}
