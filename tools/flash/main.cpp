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
#include <QSet>
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
    const QString label = endpointText(entry.host, port);
    QHostAddress address(entry.host);
    if (address.isNull()) {
        const QHostInfo info = QHostInfo::fromName(entry.host);
        const QList<QHostAddress> found = info.addresses();
        if (info.error() != QHostInfo::NoError || found.isEmpty()) {
            const QString reason =
                info.errorString().isEmpty() ? QStringLiteral("no address") : info.errorString();
            return {std::nullopt, QStringLiteral("cannot look up host '%1': %2").arg(entry.host, reason)};
        }
        // IPv4 first: the devices speak it, and the window binds IPv4 only.
        address = found.first();
        for (const QHostAddress& a : found) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                address = a;
                break;
            }
        }
    }
    return {DeviceTarget{label, address, port}, {}};
}

// Binds every link; the message for the user when one cannot be bound.
std::optional<QString> bindAll(const QList<DeviceLink*>& links, std::optional<quint16> localPort) {
    QSet<int> drawn;
    for (qsizetype i = 0; i < links.size(); ++i) {
        DeviceLink* link = links[i];
        if (localPort) {
            const auto port = quint16(*localPort == 0 ? 0 : *localPort + i);
            if (const auto failure = link->bind(port))
                return QStringLiteral("%1: cannot bind local port %2: %3")
                    .arg(link->target().label)
                    .arg(port)
                    .arg(failure->reason);
            continue;
        }
        std::optional<BindFailure> last;
        int port = 0;
        for (int attempt = 0; attempt < DrawAttempts; ++attempt) {
            port = LocalPort::draw();
            if (drawn.contains(port))
                continue;
            drawn.insert(port);
            last = link->bind(quint16(port));
            if (!last || last->error != QAbstractSocket::AddressInUseError)
                break;
        }
        if (last)
            return QStringLiteral("%1: cannot bind a local port in %2..%3 (last tried %4): %5")
                .arg(link->target().label)
                .arg(LocalPort::First)
                .arg(LocalPort::First + LocalPort::Count - 1)
                .arg(port)
                .arg(last->reason);
        if (link->localPort() == 0)
            return QStringLiteral("%1: no free local port in %2..%3")
                .arg(link->target().label)
                .arg(LocalPort::First)
                .arg(LocalPort::First + LocalPort::Count - 1);
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
