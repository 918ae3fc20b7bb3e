// velta-flash: loads a HEX file into one or more bootloader devices over UDP.
#include "device_link.h"
#include "flash_options.h"
#include "endpoint.h"
#include "hex_input.h"
#include "local_port.h"
#include "progress_view.h"
#include "text_file.h"
#include "transcript.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHostInfo>
#include <QTimer>

#include <cstdio>
#include <memory>

#include <unistd.h>

namespace {
void printError(const QString& text) {
    std::fprintf(stderr, "velta-flash: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

// A drawn port that is taken is drawn again, up to this many times.
constexpr int DrawAttempts = 50;

struct Resolved {
    std::optional<DeviceTarget> target;
    QString error;
};

Resolved resolve(const HostEntry& entry, quint16 defaultPort) {
    const quint16 port = entry.port.value_or(defaultPort);
    QHostAddress address(entry.host);
    if (address.isNull()) {
        const QHostInfo info = QHostInfo::fromName(entry.host);
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
            return {std::nullopt, QStringLiteral("cannot look up host '%1': %2")
                                      .arg(entry.host, info.errorString().isEmpty() ? QStringLiteral("no address")
                                                                                    : info.errorString())};
        address = preferredAddress(info.addresses());
    }
    return {DeviceTarget{endpointText(entry.host, port), address, port}, {}};
}

// Binds every link: the given port (each further device the next one up), or one drawn from the
// window's range, drawn again while taken. The message for the user when one cannot be bound.
std::optional<QString> bindAll(const QList<DeviceLink*>& links, std::optional<quint16> localPort) {
    for (qsizetype i = 0; i < links.size(); ++i) {
        std::optional<BindFailure> failure;
        int port = 0;
        for (int attempt = 0; attempt < (localPort ? 1 : DrawAttempts); ++attempt) {
            port = localPort ? (*localPort == 0 ? 0 : *localPort + int(i)) : LocalPort::draw();
            failure = links[i]->bind(quint16(port));
            if (!failure || failure->error != QAbstractSocket::AddressInUseError)
                break;
        }
        if (failure)
            return QStringLiteral("%1: cannot bind local port %2: %3").arg(links[i]->target().label).arg(port).arg(failure->reason);
    }
    return std::nullopt;
}

ProgressView::Mode viewMode(bool quiet) {
    if (quiet)
        return ProgressView::Mode::Quiet;
    const QByteArray term = qgetenv("TERM");
    if (::isatty(STDERR_FILENO) && term != "dumb" && !term.isEmpty())
        return ProgressView::Mode::Live;
    return ProgressView::Mode::Plain;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velta-flash"));

    const auto parsed = parseFlashArguments(app.arguments().mid(1));
    if (std::holds_alternative<FlashHelp>(parsed)) {
        std::fputs(flashUsageText().toLocal8Bit().constData(), stdout);
        return ExitCode::Ok;
    }
    if (const auto* error = std::get_if<FlashUsageError>(&parsed)) {
        printError(error->message + QStringLiteral("\nTry 'velta-flash --help' for the options."));
        return ExitCode::BadArguments;
    }
    const auto& options = std::get<FlashOptions>(parsed);

    // Everything about the file is settled before any device hears from us.
    const auto loaded = loadFlashLines(options.file, options.check);
    if (const auto* error = std::get_if<QString>(&loaded)) {
        printError(*error);
        return ExitCode::BadFile;
    }
    const LineStore& lines = std::get<LineStore>(loaded);

    QList<DeviceTarget> targets;
    for (const HostEntry& entry : options.hosts) {
        const Resolved r = resolve(entry, options.remotePort);
        if (!r.target) {
            printError(r.error);
            return ExitCode::NetworkError;
        }
        for (const DeviceTarget& t : targets) {
            if (t.port == r.target->port &&
                t.address.isEqual(r.target->address, QHostAddress::ConvertV4MappedToIPv4)) {
                printError(QStringLiteral("%1 and %2 are the same device").arg(t.label, r.target->label));
                return ExitCode::BadArguments;
            }
        }
        targets << *r.target;
    }

    Transcript transcript;
    if (!options.logFile.isEmpty()) {
        // The transcript must never overwrite the firmware, nor open something that never ends.
        if (isSameFile(options.logFile, options.file)) {
            printError(QStringLiteral("--log %1 is the file to load").arg(options.logFile));
            return ExitCode::BadArguments;
        }
        const QFileInfo info(options.logFile);
        if (info.exists() && !info.isFile()) {
            printError(QStringLiteral("--log %1: not a regular file").arg(options.logFile));
            return ExitCode::BadArguments;
        }
        if (const auto failure = transcript.open(options.logFile)) {
            printError(QStringLiteral("cannot create log file %1: %2").arg(options.logFile, *failure));
            return ExitCode::BadArguments;
        }
    }

    FlashSettings settings;
    settings.gateway = options.gateway;
    settings.gatewayAddress = options.gatewayAddress;
    settings.retries = options.retries;
    settings.timeoutMs = options.timeoutMs;

    QObject owner;
    QList<DeviceLink*> links;
    for (const DeviceTarget& t : targets)
        links << new DeviceLink(t, lines, settings, transcript.isOpen() ? &transcript : nullptr, &owner);
    if (const auto failure = bindAll(links, options.localPort)) {
        printError(*failure);
        (void)transcript.close();
        return ExitCode::NetworkError;
    }

    ProgressView view(viewMode(options.quiet), links);
    qsizetype running = links.size();
    for (DeviceLink* link : links) {
        QObject::connect(link, &DeviceLink::finished, &app, [&running] {
            if (--running == 0)
                QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                          Qt::QueuedConnection);
        });
    }
    // Started inside the event loop, so a device that fails at once still ends it.
    QTimer::singleShot(0, &app, [&] {
        view.begin();
        for (DeviceLink* link : links)
            link->start();
    });
    app.exec();
    view.end();

    const auto logFailure = transcript.close();
    if (logFailure)
        printError(QStringLiteral("cannot write log file %1: %2").arg(options.logFile, *logFailure));

    QList<FlashResult> results;
    QList<DeviceProgress> progress;
    for (const DeviceLink* link : links) {
        results << link->session().result();
        progress << progressOf(*link);
    }
    if (!options.quiet) {
        std::fputs(summaryTable(progress).toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    }
    // A transcript that could not be written is a failure of the run, never a success.
    const int code = exitCodeFor(results);
    return code == ExitCode::Ok && logFailure ? ExitCode::LogError : code;
}
