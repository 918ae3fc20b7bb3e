#include "line_command.h"

#include "core/conversation/transfer_state.h"
#include "core/io/command_line.h"

#include <QFile>

namespace {
// The form as the command line fills it: what has a control of its own goes there, the rest of
// the flasher's options as they were typed.
StationForm formOf(const CommandLine& line, const LineOptions& o) {
    StationForm f;
    f.hostsFiles = line.values(QStringLiteral("hosts"));
    QStringList targets = line.positional();
    if (!o.file.isEmpty())
        targets.removeFirst();
    f.targets = targets.join(QLatin1Char(' '));
    f.direct = line.isSet(QStringLiteral("direct"));
    f.file = o.file;
    f.operation = o.verifyOnly     ? StationForm::Operation::Verify
                  : o.skipVerified ? StationForm::Operation::CheckThenFlash
                                   : StationForm::Operation::Flash;
    f.start = o.start;
    f.expectVersion = o.expectVersion;
    f.reportFile = o.reportFile;
    f.logFile = o.logFile;
    f.failedHostsFile = o.failedHostsFile;
    f.history = o.history;
    f.station = line.value(QStringLiteral("station"));
    QStringList options;
    for (const char* name :
         {"port", "local-port", "gateway", "timeout", "first-timeout", "retries", "jobs"}) {
        for (const QString& value : line.values(QString::fromLatin1(name)))
            options << QStringLiteral("--") + QString::fromLatin1(name) << value;
    }
    if (!o.check)
        options << QStringLiteral("--no-check");
    const auto value = [&](const char* name) { return line.value(QString::fromLatin1(name)); };
    f.serialSource = line.isSet(QStringLiteral("serial-start"))  ? QStringLiteral("counter")
                     : line.isSet(QStringLiteral("serial-list")) ? QStringLiteral("list")
                     : line.isSet(QStringLiteral("serial-sqtp")) ? QStringLiteral("sqtp")
                                                                 : QString();
    f.serialPool = value("serial-db");
    f.serialAt = value("serial-at");
    f.serialSize = value("serial-size");
    if (line.isSet(QStringLiteral("serial-format")))
        f.serialFormat = value("serial-format");
    f.serialStart = value("serial-start");
    f.serialStep = value("serial-step");
    f.serialFile = f.serialSource == QLatin1String("list") ? value("serial-list") : value("serial-sqtp");
    f.options = options.join(QLatin1Char(' '));
    return f;
}
} // namespace

Result<LineCommand> parseLineArguments(const QStringList& args) {
    const auto option = [](const QStringList& names, const QString& value = {}) {
        return QCommandLineOption(names, QString(), value);
    };
    const QList<QCommandLineOption> own = lineOptionTable();
    CommandLine line(own +
                     QList{option({"run"}), option({"platform"}, "NAME"), option({"display"}, "DISPLAY")});
    if (auto parsed = line.parse(args); !parsed)
        return parsed.failure();
    if (line.isSet(QStringLiteral("help")))
        return LineCommand(LineHelp{});
    if (line.isSet(QStringLiteral("version")))
        return LineCommand(LineVersion{});
    LineOptions o;
    readLineOptions(line, o, LineArguments::FileOptional);
    const bool run = line.isSet(QStringLiteral("run"));
    if (run && (o.file.isEmpty() || o.hosts.isEmpty()))
        line.fail(QStringLiteral("--run needs FILE.hex and a TARGET"));
    if (auto checked = line.result(); !checked)
        return checked.failure();
    if (auto apart = checkFilesApart(o); !apart)
        return apart.failure();
    LineStart start{formOf(line, o), !line.positional().isEmpty() || run, run, o.scan};
    for (const QCommandLineOption& given : own)
        start.given = start.given || line.isSet(given.names().constLast());
    return LineCommand(start);
}

QString lineUsageText() {
    QFile text(QStringLiteral(":/velta-line/usage.txt"));
    const LineSettings defaults;
    return QString::fromUtf8(text.open(QIODevice::ReadOnly) ? text.readAll() : QByteArray())
        .arg(defaults.remotePort)
        .arg(defaults.gatewayAddress)
        .arg(defaults.timeoutMs / 1000.0)
        .arg(defaults.firstTimeoutMs / 1000.0)
        .arg(defaults.retries)
        .arg(TransferState::MaxLines);
}
