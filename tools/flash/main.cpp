// velta-flash: loads a HEX file into one or more bootloader devices over UDP.
#include "endpoint.h"
#include "flash_options.h"
#include "hex_input.h"
#include "platform.h"
#include "progress_view.h"
#include "report.h"
#include "runner.h"
#include "transcript.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHostInfo>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {
void printError(const QString& text) {
    std::fprintf(stderr, "velta-flash: %s\n", text.toLocal8Bit().constData());
}

// A device's address once its name has been looked up; the message when it cannot be.
std::variant<QHostAddress, QString> resolve(const QString& host) {
    const QHostAddress literal(host);
    if (!literal.isNull())
        return literal;
    const QHostInfo info = QHostInfo::fromName(host);
    if (info.addresses().isEmpty())
        return QStringLiteral("cannot look up host '%1': %2")
            .arg(host, info.errorString().isEmpty() ? QStringLiteral("no address") : info.errorString());
    return preferredAddress(info.addresses());
}

// An output file (the log, the report) must not be the firmware it describes, nor anything
// but a regular file.
std::optional<QString> refusedOutput(const QString& option, const QString& path, const QString& input) {
    if (path == QLatin1String("-"))
        return std::nullopt;
    if (isSameFile(path, input))
        return QStringLiteral("--%1 %2 is the file to load").arg(option, path);
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return QStringLiteral("--%1 %2: not a regular file").arg(option, path);
    return std::nullopt;
}

ProgressView::Mode viewMode(const FlashOptions& o) {
    const QByteArray term = qgetenv("TERM");
    const bool terminal = ::isatty(STDERR_FILENO) && term != "dumb" && !term.isEmpty();
    if (o.quiet)
        return ProgressView::Mode::Quiet;
    switch (o.progress) {
    case FlashOptions::Progress::Never:
        return ProgressView::Mode::None;
    case FlashOptions::Progress::Always:
        return terminal ? ProgressView::Mode::Live : ProgressView::Mode::Percent;
    case FlashOptions::Progress::Auto:
        break;
    }
    return terminal ? ProgressView::Mode::Live : ProgressView::Mode::Phases;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velta-flash"));
    // A second Ctrl-C ends it at once; the first stops sending and writes what it has.
    TerminationSignals termination(true);

    const auto parsed = parseFlashArguments(app.arguments().mid(1));
    if (std::holds_alternative<FlashHelp>(parsed) || std::holds_alternative<FlashVersion>(parsed)) {
        std::fputs(std::holds_alternative<FlashHelp>(parsed) ? flashUsageText().toLocal8Bit().constData()
                                                             : "velta-flash " VELTA_VERSION "\n",
                   stdout);
        return ExitCode::Ok;
    }
    if (const auto* error = std::get_if<FlashUsageError>(&parsed)) {
        printError(error->message + QStringLiteral("\nTry 'velta-flash --help' for the options."));
        return ExitCode::BadArguments;
    }
    const auto& options = std::get<FlashOptions>(parsed);
    for (const auto& [option, path] : {std::pair(QStringLiteral("log"), options.logFile),
                                       std::pair(QStringLiteral("report"), options.reportFile)}) {
        if (const auto refused = path.isEmpty() ? std::nullopt : refusedOutput(option, path, options.file)) {
            printError(*refused);
            return ExitCode::BadArguments;
        }
    }
    // A target's own /ADDR, else --gateway's address, else direct.
    const auto gatewayOf = [&](const HostEntry& h) {
        return h.gatewayAddress  ? h.gatewayAddress
               : options.gateway ? std::optional<int>(options.gatewayAddress)
                                 : std::nullopt;
    };

    // Everything about the file is settled before any device hears from us.
    const auto loaded = loadFlashLines(options.file, options.check);
    Report report;
    if (!options.reportFile.isEmpty()) {
        const int lines = std::holds_alternative<LineStore>(loaded) ? std::get<LineStore>(loaded).count() : 0;
        if (const auto failure = report.open(options.reportFile, options.file, lines)) {
            printError(QStringLiteral("cannot open report file %1: %2").arg(options.reportFile, *failure));
            return ExitCode::BadArguments;
        }
    }
    if (const auto* error = std::get_if<QString>(&loaded)) {
        printError(*error);
        for (const HostEntry& h : options.hosts)
            report.writeFileError(h, h.port.value_or(options.remotePort), gatewayOf(h), *error);
        return report.failed() ? ExitCode::LogError : ExitCode::BadFile;
    }

    QList<DeviceJob*> jobs;
    std::vector<std::unique_ptr<DeviceJob>> owned;
    for (const HostEntry& h : options.hosts) {
        auto job = std::make_unique<DeviceJob>();
        job->host = h.host;
        job->gatewayAddress = gatewayOf(h);
        const quint16 port = h.port.value_or(options.remotePort);
        const auto address = resolve(h.host);
        if (const auto* error = std::get_if<QString>(&address)) {
            printError(*error);
            return ExitCode::NetworkError;
        }
        job->target = {endpointText(h.host, port) +
                           (h.gatewayAddress ? QStringLiteral("/%1").arg(*h.gatewayAddress) : QString()),
                       std::get<QHostAddress>(address), port};
        for (const DeviceJob* other : jobs) {
            if (other->target.port == port && other->gatewayAddress == job->gatewayAddress &&
                other->target.address.isEqual(job->target.address, QHostAddress::TolerantConversion)) {
                printError(QStringLiteral("%1 and %2 are the same device")
                               .arg(other->target.label, job->target.label));
                return ExitCode::BadArguments;
            }
        }
        jobs << job.get();
        owned.push_back(std::move(job));
    }

    Transcript transcript;
    if (!options.logFile.isEmpty()) {
        if (const auto failure = transcript.open(options.logFile)) {
            printError(QStringLiteral("cannot create log file %1: %2").arg(options.logFile, *failure));
            return ExitCode::BadArguments;
        }
    }
    RunSettings settings{{options.gateway, QString(), options.retries, options.timeoutMs,
                          options.firstTimeoutMs, options.verifyOnly, options.expectVersion},
                         options.localPort,
                         options.jobs,
                         options.skipVerified,
                         options.start};
    Runner runner(jobs, std::get<LineStore>(loaded), settings, transcript.isOpen() ? &transcript : nullptr);
    ProgressView view(viewMode(options), jobs, &runner);
    int interruptedBy = 0;
    QObject::connect(&termination, &TerminationSignals::received, &runner, [&](int signalNumber) {
        interruptedBy = signalNumber;
        report.setInterruptedBy(signalNumber);
        runner.interrupt();
    });
    // Each record goes out the moment its device is done.
    QObject::connect(&runner, &Runner::jobFinished, &runner, [&](DeviceJob* job) { report.write(*job); });
    QObject::connect(&runner, &Runner::allFinished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    // Started inside the event loop, so a device that fails at once still ends it.
    QTimer::singleShot(0, &runner, [&] {
        view.begin();
        runner.start();
    });
    app.exec();
    view.end();

    const auto logFailure = transcript.close();
    if (logFailure)
        printError(QStringLiteral("cannot write log file %1: %2").arg(options.logFile, *logFailure));
    if (report.failed())
        printError(QStringLiteral("cannot write report file %1").arg(options.reportFile));

    QList<DeviceProgress> progress;
    int code = ExitCode::Ok;
    for (const DeviceJob* job : jobs) {
        progress << progressOf(*job);
        // When devices fail in different ways the smallest code wins.
        const int c = exitCodeOf(job->skipped ? FlashResult::Success : job->result);
        if (c != ExitCode::Ok && (code == ExitCode::Ok || c < code))
            code = c;
    }
    // With the records on standard output, the table would only be in their way.
    if (!options.quiet && options.reportFile != QLatin1String("-")) {
        std::fputs(summaryTable(progress).toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    }
    if (interruptedBy)
        return ExitCode::Interrupted + interruptedBy;
    // An output that could not be written is a failure of the run, never a success.
    return code == ExitCode::Ok && (logFailure || report.failed()) ? ExitCode::LogError : code;
}
