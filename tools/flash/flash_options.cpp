#include "flash_options.h"

#include "core/conversation/transfer_state.h"
#include "core/io/command_line.h"

#include <QFile>

namespace {
// How this program shows the run: the progress lines, and an inventory's silent addresses.
void readShow(CommandLine& line, FlashOptions& o) {
    const QStringList whens{QStringLiteral("auto"), QStringLiteral("always"), QStringLiteral("never")};
    if (line.isSet("progress") && !whens.contains(line.value("progress")))
        line.fail(
            QStringLiteral("--progress needs auto, always or never, not '%1'").arg(line.value("progress")));
    o.progress = FlashOptions::Progress(qMax(0, whens.indexOf(line.value("progress"))));
    o.quiet = line.isSet("quiet");
    o.listSilent = line.isSet("list-silent");
    if (o.listSilent && !o.scan)
        line.fail(QStringLiteral("--list-silent lists the silent addresses of a --scan"));
}
} // namespace

Result<FlashCommand> parseFlashArguments(const QStringList& args) {
    const auto option = [](const QStringList& names, const QString& value = {}) {
        return QCommandLineOption(names, QString(), value);
    };
    CommandLine line(lineOptionTable() + QList{option({"list-silent"}), option({"progress"}, "WHEN"),
                                               option({"q", "quiet"}), option({"serials"}),
                                               option({"find"}, "VALUE")});
    if (auto parsed = line.parse(args); !parsed)
        return parsed.failure();
    if (line.isSet("help"))
        return FlashCommand(FlashHelp{});
    if (line.isSet("version"))
        return FlashCommand(FlashVersion{});
    if (line.isSet("serials")) {
        // A listing sends nothing: only the pool, and where its records go.
        const QStringList others = line.positional();
        if (line.value("serial-db").isEmpty() || !others.isEmpty())
            return Failure{Failure::Cause::Usage,
                           QStringLiteral("--serials lists the pool of --serial-db, and nothing else")};
        const QString report = line.value("report");
        if (line.isSet("report") && report != QLatin1String("-"))
            return Failure{
                Failure::Cause::Usage,
                QStringLiteral("--serials writes its records to standard output only (--report -)")};
        return FlashCommand(FlashSerials{line.value("serial-db"), report == QLatin1String("-")});
    }
    if (line.isSet("find")) {
        // A question to the history sends nothing.
        if (line.value("history").isEmpty() || !line.positional().isEmpty() || line.value("find").isEmpty())
            return Failure{
                Failure::Cause::Usage,
                QStringLiteral("--find VALUE asks the --history for a serial, a target or a SHA-256, "
                               "and nothing else")};
        const QString report = line.value("report");
        if (line.isSet("report") && report != QLatin1String("-"))
            return Failure{Failure::Cause::Usage,
                           QStringLiteral("--find writes its records to standard output only (--report -)")};
        return FlashCommand(
            FlashFind{line.value("history"), line.value("find"), report == QLatin1String("-")});
    }
    FlashOptions o;
    readLineOptions(line, o, LineArguments::FileAndTargets);
    readShow(line, o);
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
