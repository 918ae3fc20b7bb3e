#include "flash_options.h"

#include "decimal.h"
#include "transfer_engine.h"

#include <QCommandLineParser>
#include <QHostAddress>

namespace {
// Letters, digits and hyphens in dot-separated labels: anything else cannot be looked up, and
// refusing it here keeps a typo from turning into a name-service query.
bool isHostName(const QString& text) {
    if (text.isEmpty() || text.size() > 253)
        return false;
    const QStringList labels = text.split(QLatin1Char('.'));
    for (const QString& label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            const bool ok = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                            (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                            (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-');
            if (!ok)
                return false;
        }
    }
    return true;
}

constexpr int MaxTimeoutMs = 3600 * 1000;
constexpr int MaxRetries = 1000;
} // namespace

std::optional<int> parseTimeoutMs(const QString& text) {
    // Digits with at most one point; no sign, exponent or blanks.
    int points = 0;
    int digits = 0;
    for (const QChar c : text) {
        if (c == QLatin1Char('.'))
            ++points;
        else if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            ++digits;
        else
            return std::nullopt;
    }
    if (digits == 0 || points > 1 || text.size() > 12)
        return std::nullopt;
    const double seconds = text.toDouble();
    const auto ms = qint64(seconds * 1000.0 + 0.5);
    if (ms < 1 || ms > MaxTimeoutMs)
        return std::nullopt;
    return int(ms);
}

std::variant<HostEntry, FlashUsageError> parseHostEntry(const QString& text) {
    const auto bad = [&](const QString& why) {
        return FlashUsageError{QStringLiteral("bad host '%1': %2").arg(text, why)};
    };
    QString host = text;
    std::optional<QString> portText;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return bad(QStringLiteral("missing ']'"));
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':')))
                return bad(QStringLiteral("expected ':PORT' after ']'"));
            portText = rest.mid(1);
        }
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return bad(QStringLiteral("not an IPv6 address in brackets"));
    } else if (text.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = text.indexOf(QLatin1Char(':'));
        host = text.left(colon);
        portText = text.mid(colon + 1);
    } else if (text.contains(QLatin1Char(':'))) {
        if (QHostAddress(text).protocol() != QAbstractSocket::IPv6Protocol)
            return bad(QStringLiteral("not an IPv6 address (use [ADDR]:PORT for a port)"));
    }
    if (host.isEmpty())
        return bad(QStringLiteral("empty host name"));
    if (!host.contains(QLatin1Char(':')) && !isHostName(host))
        return bad(QStringLiteral("not a host name or IP address"));
    HostEntry entry{host, std::nullopt};
    if (portText) {
        const auto port = strictDecimal(*portText, 1, 65535);
        if (!port)
            return bad(QStringLiteral("the port must be a whole number from 1 to 65535"));
        entry.port = quint16(*port);
    }
    return entry;
}

std::variant<FlashOptions, FlashHelp, FlashUsageError> parseFlashArguments(const QStringList& args) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption localPort(QStringLiteral("local-port"), QString(), QStringLiteral("N"));
    const QCommandLineOption gateway(QStringLiteral("gateway"), QString(), QStringLiteral("ADDR"));
    const QCommandLineOption direct(QStringLiteral("direct"), QString());
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption retries(QStringLiteral("retries"), QString(), QStringLiteral("N"));
    const QCommandLineOption noCheck(QStringLiteral("no-check"), QString());
    const QCommandLineOption log(QStringLiteral("log"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")}, QString());
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

    const auto wholeNumber = [&](const QCommandLineOption& option, int min, int max) -> std::optional<int> {
        return strictDecimal(parser.value(option), min, max);
    };
    const auto needs = [&](const QCommandLineOption& option, const QString& what) {
        return FlashUsageError{QStringLiteral("--%1 needs %2, not '%3'")
                                   .arg(option.names().constLast(), what, parser.value(option))};
    };
    if (parser.isSet(port)) {
        const auto value = wholeNumber(port, 1, 65535);
        if (!value)
            return needs(port, QStringLiteral("a port from 1 to 65535"));
        o.remotePort = quint16(*value);
    }
    if (parser.isSet(localPort)) {
        const auto value = wholeNumber(localPort, 0, 65535);
        if (!value)
            return needs(localPort, QStringLiteral("a port from 0 to 65535"));
        // Each further device takes the next port up.
        if (*value != 0 && *value + o.hosts.size() - 1 > 65535)
            return FlashUsageError{QStringLiteral("--local-port %1 leaves no room for %2 devices")
                                       .arg(*value)
                                       .arg(o.hosts.size())};
        o.localPort = quint16(*value);
    }
    if (parser.isSet(direct) && parser.isSet(gateway))
        return FlashUsageError{QStringLiteral("--direct and --gateway cannot be used together")};
    o.gateway = !parser.isSet(direct);
    if (parser.isSet(gateway)) {
        const auto value = wholeNumber(gateway, 0, 255);
        if (!value)
            return needs(gateway, QStringLiteral("a device address from 0 to 255"));
        o.gatewayAddress = QString::number(*value);
    }
    if (parser.isSet(timeout)) {
        const auto value = parseTimeoutMs(parser.value(timeout));
        if (!value)
            return needs(timeout, QStringLiteral("seconds from 0.001 to 3600"));
        o.timeoutMs = *value;
    }
    if (parser.isSet(retries)) {
        const auto value = wholeNumber(retries, 0, MaxRetries);
        if (!value)
            return needs(retries, QStringLiteral("a whole number from 0 to %1").arg(MaxRetries));
        o.retries = *value;
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
    const FlashOptions defaults;
    return QStringLiteral(
        "Usage: velta-flash [options] FILE.hex HOST [HOST...]\n"
        "Loads an Intel HEX file into bootloader devices over UDP, the way the window does:\n"
        "the boot-information request (OOTi), the download pass, the device's DOWNLOAD, the\n"
        "verify pass (every ':' sent as '#') and the second DOWNLOAD. Several devices are\n"
        "loaded at the same time.\n"
        "\n"
        "HOST is a name or IP address, optionally with a port: HOST:PORT, [IPv6]:PORT.\n"
        "\n"
        "Options:\n"
        "  --port N            remote UDP port for hosts without one (default %1)\n"
        "  --local-port N      local UDP port; with several hosts each further one takes the\n"
        "                      next port up; 0 for any free port (default: drawn from\n"
        "                      5500..6499 for each device)\n"
        "  --gateway ADDR      device address behind the gateway, 0-255: every line goes as\n"
        "                      \"MDB ADDR,<line>\" (default %2)\n"
        "  --direct            send the lines as they are, without the gateway form\n"
        "  --timeout SECONDS   wait this long for each reply, decimals allowed (default %3)\n"
        "  --retries N         resend an unanswered line up to N times (default %4); after a\n"
        "                      resend the next line waits 1.5 x the timeout so that a late\n"
        "                      answer to an earlier copy is not taken for the next line's\n"
        "  --no-check          send the file as it is, without checking its records first\n"
        "  --log FILE          write every datagram sent and received, time-stamped, to FILE\n"
        "  -q, --quiet         print errors only\n"
        "  -h, --help          show this text\n"
        "\n"
        "Before anything is sent the file is checked: every record's form and checksum, and an\n"
        "end-of-file record at the end. A problem is reported with its line number.\n"
        "\n"
        "Progress goes to stderr (one live line per device on a terminal, a line per phase\n"
        "otherwise). The summary table goes to stdout: host, result, lines answered out of\n"
        "those of both passes, time, and lines answered per second.\n"
        "\n"
        "Exit codes:\n"
        "  0  every device reached the end of the verify pass\n"
        "  1  device error: a device answered ERROR (or ended a pass wrongly)\n"
        "  2  bad arguments (including a host listed twice, or a log file that cannot be\n"
        "     created, is not a regular file or is the file to load)\n"
        "  3  bad file: unreadable or not a regular file, a bad record, no end-of-file record,\n"
        "     no lines, more than %5 lines, an entry longer than 1 MiB\n"
        "  4  timeout: a device did not answer after the retries\n"
        "  5  network error: a host that cannot be looked up, a local port in use, a failed send\n"
        "  6  the log file could not be written (the devices' results are in the table)\n"
        "When devices fail in different ways the smallest code wins: 1 before 4 before 5 before 6.\n")
        .arg(defaults.remotePort)
        .arg(defaults.gatewayAddress)
        .arg(defaults.timeoutMs / 1000.0)
        .arg(defaults.retries)
        .arg(TransferState::MaxLines);
}
