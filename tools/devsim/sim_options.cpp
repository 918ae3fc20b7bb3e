#include "sim_options.h"

#include "sim_server.h"

#include "core/conversation/device_model.h"
#include "core/io/command_line.h"
#include "core/io/decimal.h"
#include "core/io/files.h"

#include <QFile>
#include <QRegularExpression>

namespace {
constexpr int MaxDelayMs = 600000;

// "16,17": several devices behind one gateway, each once.
void readDeviceAddresses(CommandLine& line, SimOptions& o) {
    if (!line.isSet("address"))
        return;
    o.deviceAddresses.clear();
    for (const QString& text : line.value("address").split(QLatin1Char(','))) {
        const auto value = strictDecimal(text, 0, 255);
        if (!value || o.deviceAddresses.contains(*value))
            return line.fail(
                QStringLiteral("--address needs device addresses from 0 to 255, each once, not '%1'")
                    .arg(line.value("address")));
        o.deviceAddresses << *value;
    }
}

// "N" for every device, "A:N" for device A.
void readErrorLines(CommandLine& line, SimOptions& o) {
    for (const QString& text : line.values("error-at-line")) {
        const QString address = text.section(QLatin1Char(':'), 0, -2),
                      number = text.section(QLatin1Char(':'), -1);
        const auto device = address.isEmpty() ? std::optional<int>(-1) : strictDecimal(address, 0, 255);
        const auto at = strictDecimal(number, 0, 1000000000);
        if (!device || !at || o.errorAtLine.contains(*device))
            return line.fail(
                QStringLiteral("--error-at-line needs a record line, or ADDR:LINE, once per device, not '%1'")
                    .arg(text));
        o.errorAtLine.insert(*device, *at);
    }
}

void readFiles(CommandLine& line, SimOptions& o) {
    if (line.isSet("bind")) {
        const QString text = line.value("bind");
        const QHostAddress a(text == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : text);
        if (a.isNull())
            return line.fail(QStringLiteral("--bind needs an IP address, not '%1'").arg(text));
        o.bindAddress = a;
    }
    if (line.isSet("image-out")) {
        o.imageOut = line.value("image-out");
        if (o.imageOut.isEmpty())
            return line.fail(QStringLiteral("--image-out needs a file name"));
        // Renaming over a device node or a FIFO would replace it; a link may lead anywhere.
        if (!isRegularFileOrAbsent(o.imageOut))
            return line.fail(QStringLiteral("--image-out %1: not a regular file").arg(o.imageOut));
    }
}

// A percentage: "2", "0.5", "14". Digits and a point only: QString::toDouble alone takes "nan"
// (which no range check refuses and no draw ever hits), "inf", blanks, signs and exponents.
void readPercent(CommandLine& line, const QString& name, double& target) {
    if (!line.isSet(name))
        return;
    const QString text = line.value(name);
    static const QRegularExpression Form(QStringLiteral("^(\\d+\\.?\\d*|\\.\\d+)$"));
    const double value = text.toDouble();
    if (!Form.match(text).hasMatch() || value > 100)
        return line.fail(QStringLiteral("--%1 needs a percentage from 0 to 100, not '%2'").arg(name, text));
    target = value;
}

// "N" or "N-M" microseconds.
void readDuplicateLag(CommandLine& line, SimOptions& o) {
    if (!line.isSet("duplicate-lag-us"))
        return;
    const QString text = line.value("duplicate-lag-us");
    const QStringList ends = text.split(QLatin1Char('-'));
    const auto least = strictDecimal(ends.first(), 0, MaxDelayMs * 1000);
    const auto most = ends.size() == 2 ? strictDecimal(ends.last(), 0, MaxDelayMs * 1000) : least;
    if (ends.size() > 2 || !least || !most || *most < *least)
        return line.fail(
            QStringLiteral("--duplicate-lag-us needs microseconds N or a range N-M, not '%1'").arg(text));
    o.duplicateLagMinUs = *least;
    o.duplicateLagMaxUs = *most;
}

void readBadLine(CommandLine& line, SimOptions& o) {
    double both = 0;
    readPercent(line, QStringLiteral("loss"), both);
    o.lossRequests = o.lossReplies = both;
    readPercent(line, QStringLiteral("loss-requests"), o.lossRequests);
    readPercent(line, QStringLiteral("loss-replies"), o.lossReplies);
    readPercent(line, QStringLiteral("duplicate"), o.duplicates);
    line.number("jitter-ms", 0, MaxDelayMs, QStringLiteral("a whole number from %1 to %2"), o.jitterMs);
    readDuplicateLag(line, o);
    qint64 seed = o.seed;
    line.number("seed", 0, 2147483647, QStringLiteral("a whole number from %1 to %2"), seed);
    o.seed = quint32(seed);
}

void readDeviceTime(CommandLine& line, SimOptions& o) {
    const QString wholeNumber = QStringLiteral("a whole number from %1 to %2");
    line.number("record-us", 0, 1000000, wholeNumber, o.recordUs);
    line.number("row-ms", 0, 60000, wholeNumber, o.rowMs);
    line.number("row-every", 1, 1000000, wholeNumber, o.rowEvery);
}

void readVerbosity(CommandLine& line, SimOptions& o) {
    if (line.isSet("quiet") && line.isSet("verbose"))
        return line.fail(QStringLiteral("--quiet and --verbose cannot be used together"));
    if (line.isSet("quiet"))
        o.verbosity = SimOptions::Verbosity::Quiet;
    else if (line.isSet("verbose"))
        o.verbosity = SimOptions::Verbosity::Verbose;
}
} // namespace

Result<SimCommand> parseSimArguments(const QStringList& arguments) {
    const auto option = [](const QStringList& names, const QString& value = {}) {
        return QCommandLineOption(names, QString(), value);
    };
    const QList<QCommandLineOption> deviceTime{option({"record-us"}, "N"), option({"row-ms"}, "N"),
                                               option({"row-every"}, "N")};
    const QList<QCommandLineOption> badLine{option({"loss"}, "PERCENT"),
                                            option({"loss-requests"}, "PERCENT"),
                                            option({"loss-replies"}, "PERCENT"),
                                            option({"duplicate"}, "PERCENT"),
                                            option({"duplicate-lag-us"}, "N"),
                                            option({"jitter-ms"}, "N"),
                                            option({"seed"}, "N")};
    CommandLine line(
        QList<QCommandLineOption>{option({"h", "help"}), option({"version"}), option({"bind"}, "ADDR"),
                                  option({"port"}, "N"), option({"address"}, "A"), option({"direct-only"}),
                                  option({"boot-text"}, "TEXT"), option({"drop-every"}, "N"),
                                  option({"error-at-line"}, "N"), option({"delay-ms"}, "N"),
                                  option({"image-out"}, "FILE"), option({"quiet"}), option({"verbose"})} +
        badLine + deviceTime);
    if (auto parsed = line.parse(arguments); !parsed)
        return parsed.failure();
    if (line.isSet("help"))
        return SimCommand(HelpRequest{});
    if (line.isSet("version"))
        return SimCommand(VersionRequest{});
    if (!line.positional().isEmpty())
        line.fail(QStringLiteral("unexpected argument '%1'").arg(line.positional().first()));

    SimOptions o;
    const QString wholeNumber = QStringLiteral("a whole number from %1 to %2");
    line.number("port", 0, 65535, wholeNumber, o.port);
    line.number("drop-every", 0, 1000000000, wholeNumber, o.dropEvery);
    line.number("delay-ms", 0, MaxDelayMs, wholeNumber, o.delayMs);
    readDeviceAddresses(line, o);
    readErrorLines(line, o);
    readFiles(line, o);
    readVerbosity(line, o);
    readBadLine(line, o);
    readDeviceTime(line, o);
    o.directOnly = line.isSet("direct-only");
    o.bootText = line.value("boot-text").toLatin1();
    if (line.isSet("boot-text") && o.bootText.isEmpty())
        line.fail(QStringLiteral("--boot-text needs a text"));
    if (auto checked = line.result(); !checked)
        return checked.failure();
    return SimCommand(o);
}

QString simUsageText() {
    QFile text(QStringLiteral(":/velta-devsim/usage.txt"));
    const SimOptions defaults;
    return QString::fromUtf8(text.open(QIODevice::ReadOnly) ? text.readAll() : QByteArray())
        .arg(defaults.bindAddress.toString())
        .arg(defaults.port)
        .arg(defaults.deviceAddresses.first())
        .arg(QString::fromLatin1(DeviceModel::Version))
        .arg(DeviceModel::OwnerTimeoutMs / 1000)
        .arg(DeviceModel::MaxImageBytes / (1024 * 1024))
        .arg(DeviceModel::MaxImageRuns)
        .arg(SimServer::UnknownAnswersPerSecond)
        .arg(ReplyQueue::MaxWaiting);
}
