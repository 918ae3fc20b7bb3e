#include "station_form.h"

#include "core/io/command_line.h"
#include "store/database.h"

#include <QFileInfo>
#include <QSettings>

QString operationKey(StationForm::Operation operation) {
    switch (operation) {
    case StationForm::Operation::Verify:
        return QStringLiteral("verify");
    case StationForm::Operation::CheckThenFlash:
        return QStringLiteral("check-then-flash");
    case StationForm::Operation::Flash:
        break;
    }
    return QStringLiteral("flash");
}

QStringList StationForm::arguments(bool inventory) const {
    QStringList a;
    for (const QString& hosts : hostsFiles)
        a << QStringLiteral("--hosts") << hosts;
    if (direct)
        a << QStringLiteral("--direct");
    // An inventory sends nothing but the boot-information request, and lists what is there.
    if (!inventory) {
        if (operation == Operation::Verify)
            a << QStringLiteral("--verify-only");
        else if (operation == Operation::CheckThenFlash)
            a << QStringLiteral("--skip-verified");
        if (start)
            a << QStringLiteral("--start");
        if (!expectVersion.isEmpty())
            a << QStringLiteral("--expect-version") << expectVersion;
        a += serialArguments();
    }
    for (const auto& [name, path] : {std::pair("--report", reportFile), std::pair("--log", logFile),
                                     std::pair("--failed-hosts", inventory ? QString() : failedHostsFile),
                                     std::pair("--history", history), std::pair("--station", station)}) {
        if (!path.isEmpty())
            a << QString::fromLatin1(name) << path;
    }
    a += options.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (inventory)
        a << QStringLiteral("--scan");
    return a + targets.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QStringList StationForm::serialArguments() const {
    if (serialSource.isEmpty())
        return {};
    QStringList a{QStringLiteral("--serial-db"), serialPool};
    if (serialSource == QLatin1String("counter")) {
        a << QStringLiteral("--serial-start") << serialStart;
        if (!serialStep.isEmpty())
            a << QStringLiteral("--serial-step") << serialStep;
    } else {
        a << (serialSource == QLatin1String("list") ? QStringLiteral("--serial-list")
                                                    : QStringLiteral("--serial-sqtp"))
          << serialFile;
    }
    // An SQTP file's records give the place and bytes themselves.
    if (serialSource != QLatin1String("sqtp"))
        a << QStringLiteral("--serial-at") << serialAt << QStringLiteral("--serial-format") << serialFormat;
    if (!serialSize.isEmpty() || serialSource != QLatin1String("sqtp"))
        a << QStringLiteral("--serial-size") << serialSize;
    return a;
}

Result<LineOptions> StationForm::lineOptions(bool inventory) const {
    CommandLine line(lineOptionTable());
    if (auto parsed = line.parse(arguments(inventory)); !parsed)
        return parsed.failure();
    if (line.isSet(QStringLiteral("help")) || line.isSet(QStringLiteral("version")))
        return Failure{Failure::Cause::Usage, QStringLiteral("--help and --version are no options of a run")};
    LineOptions o;
    readLineOptions(line, o, LineArguments::TargetsOnly);
    if (auto checked = line.result(); !checked)
        return checked.failure();
    o.file = inventory ? QString() : file;
    if (auto apart = checkFilesApart(o); !apart)
        return apart.failure();
    return o;
}

namespace {
// Kept as the folder the window was started in names them: the next start may be elsewhere. A
// database server's URL is no path.
QString kept(const QString& path) {
    return path.isEmpty() || path == QLatin1String("-") || isDatabaseUrl(path)
               ? path
               : QFileInfo(path).absoluteFilePath();
}
} // namespace

void StationForm::save(QSettings& s) const {
    QStringList hosts;
    for (const QString& path : hostsFiles)
        hosts << kept(path);
    s.setValue(QStringLiteral("line/hostsFiles"), hosts);
    s.setValue(QStringLiteral("line/targets"), targets);
    s.setValue(QStringLiteral("line/direct"), direct);
    s.setValue(QStringLiteral("firmware/folder"), firmwareFolder);
    s.setValue(QStringLiteral("run/operation"), operationKey(operation));
    s.setValue(QStringLiteral("run/start"), start);
    s.setValue(QStringLiteral("run/expectVersion"), expectVersion);
    s.setValue(QStringLiteral("outputs/report"), kept(reportFile));
    s.setValue(QStringLiteral("outputs/log"), kept(logFile));
    s.setValue(QStringLiteral("outputs/failedHosts"), kept(failedHostsFile));
    s.setValue(QStringLiteral("outputs/history"), kept(history));
    s.setValue(QStringLiteral("outputs/station"), station);
    s.setValue(QStringLiteral("options/flasher"), options);
    s.setValue(QStringLiteral("serial/source"), serialSource);
    s.setValue(QStringLiteral("serial/pool"), kept(serialPool));
    s.setValue(QStringLiteral("serial/at"), serialAt);
    s.setValue(QStringLiteral("serial/size"), serialSize);
    s.setValue(QStringLiteral("serial/format"), serialFormat);
    s.setValue(QStringLiteral("serial/start"), serialStart);
    s.setValue(QStringLiteral("serial/step"), serialStep);
    s.setValue(QStringLiteral("serial/file"), kept(serialFile));
    s.sync();
}

StationForm StationForm::load(QSettings& s) {
    StationForm f;
    f.hostsFiles = s.value(QStringLiteral("line/hostsFiles")).toStringList();
    f.targets = s.value(QStringLiteral("line/targets")).toString();
    f.direct = s.value(QStringLiteral("line/direct")).toBool();
    f.firmwareFolder = s.value(QStringLiteral("firmware/folder")).toString();
    const QString operation = s.value(QStringLiteral("run/operation")).toString();
    for (const Operation o : {Operation::Flash, Operation::Verify, Operation::CheckThenFlash}) {
        if (operation == operationKey(o))
            f.operation = o;
    }
    f.start = s.value(QStringLiteral("run/start")).toBool();
    f.expectVersion = s.value(QStringLiteral("run/expectVersion")).toString();
    f.reportFile = s.value(QStringLiteral("outputs/report")).toString();
    f.logFile = s.value(QStringLiteral("outputs/log")).toString();
    f.failedHostsFile = s.value(QStringLiteral("outputs/failedHosts")).toString();
    f.history = s.value(QStringLiteral("outputs/history")).toString();
    f.station = s.value(QStringLiteral("outputs/station")).toString();
    f.options = s.value(QStringLiteral("options/flasher")).toString();
    f.serialSource = s.value(QStringLiteral("serial/source")).toString();
    f.serialPool = s.value(QStringLiteral("serial/pool")).toString();
    f.serialAt = s.value(QStringLiteral("serial/at")).toString();
    f.serialSize = s.value(QStringLiteral("serial/size")).toString();
    f.serialFormat = s.value(QStringLiteral("serial/format"), f.serialFormat).toString();
    f.serialStart = s.value(QStringLiteral("serial/start")).toString();
    f.serialStep = s.value(QStringLiteral("serial/step")).toString();
    f.serialFile = s.value(QStringLiteral("serial/file")).toString();
    return f;
}
