#include "sim_server.h"

#include "decimal.h"
#include "platform.h"
#include "printable.h"

#include <QCommandLineParser>
#include <QNetworkInterface>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int MaxDelayMs = 600000;
// Answers to unknown text per sender and second: something that keeps sending nonsense (another
// program that answers everything) soon gets silence instead of a conversation.
constexpr int UnknownAnswersPerSecond = 10;
constexpr qsizetype MaxSendersKept = 4096;

QByteArray logged(QByteArrayView bytes) {
    QByteArray out;
    appendPrintable(out, bytes, LoggedBytes);
    return out;
}

// Every address a datagram from this very socket could carry as its source.
QList<QHostAddress> ownAddresses(const QHostAddress& bound) {
    if (bound != QHostAddress::Any && bound != QHostAddress::AnyIPv4 && bound != QHostAddress::AnyIPv6)
        return {bound};
    return QNetworkInterface::allAddresses();
}
} // namespace

std::variant<SimOptions, HelpRequest, VersionRequest, UsageError>
parseSimArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption bind(QStringLiteral("bind"), QString(), QStringLiteral("ADDR"));
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption version(QStringLiteral("version"), QString());
    const QCommandLineOption address(QStringLiteral("address"), QString(), QStringLiteral("A"));
    const QCommandLineOption dropEvery(QStringLiteral("drop-every"), QString(), QStringLiteral("N"));
    const QCommandLineOption errorAtLine(QStringLiteral("error-at-line"), QString(), QStringLiteral("N"));
    const QCommandLineOption delayMs(QStringLiteral("delay-ms"), QString(), QStringLiteral("N"));
    const QCommandLineOption imageOut(QStringLiteral("image-out"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QString());
    const QCommandLineOption verbose(QStringLiteral("verbose"), QString());
    parser.addOptions(
        {help, version, bind, port, address, dropEvery, errorAtLine, delayMs, imageOut, quiet, verbose});

    // QCommandLineParser skips the first entry as the program name.
    if (!parser.parse(QStringList{QStringLiteral("velta-devsim")} + arguments))
        return UsageError{parser.errorText()};
    if (parser.isSet(help))
        return HelpRequest{};
    if (parser.isSet(version))
        return VersionRequest{};
    if (!parser.positionalArguments().isEmpty())
        return UsageError{
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first())};

    SimOptions o;
    const auto number = [&](const QCommandLineOption& option, int min, int max,
                            int& target) -> std::optional<UsageError> {
        if (!parser.isSet(option))
            return std::nullopt;
        const QString text = parser.value(option);
        const auto value = strictDecimal(text, min, max);
        if (!value)
            return UsageError{QStringLiteral("--%1 needs a whole number from %2 to %3, not '%4'")
                                  .arg(option.names().constLast())
                                  .arg(min)
                                  .arg(max)
                                  .arg(text)};
        target = *value;
        return std::nullopt;
    };

    int portValue = o.port;
    for (auto error :
         {number(port, 0, 65535, portValue), number(dropEvery, 0, 1000000000, o.dropEvery),
          number(errorAtLine, 0, 1000000000, o.errorAtLine), number(delayMs, 0, MaxDelayMs, o.delayMs)}) {
        if (error)
            return *error;
    }
    o.port = quint16(portValue);
    if (parser.isSet(address)) {
        // Several devices behind one gateway: "16,17".
        o.deviceAddresses.clear();
        for (const QString& text : parser.value(address).split(QLatin1Char(','))) {
            const auto value = strictDecimal(text, 0, 255);
            if (!value || o.deviceAddresses.contains(quint8(*value)))
                return UsageError{
                    QStringLiteral("--address needs device addresses from 0 to 255, each once, not '%1'")
                        .arg(parser.value(address))};
            o.deviceAddresses << quint8(*value);
        }
    }

    if (parser.isSet(bind)) {
        const QString text = parser.value(bind);
        const QHostAddress a(text == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : text);
        if (a.isNull())
            return UsageError{QStringLiteral("--bind needs an IP address, not '%1'").arg(text)};
        o.bindAddress = a;
    }
    if (parser.isSet(imageOut)) {
        o.imageOut = parser.value(imageOut);
        if (o.imageOut.isEmpty())
            return UsageError{QStringLiteral("--image-out needs a file name")};
        // Renaming over a device node or a FIFO would replace it; a link may lead anywhere.
        if (!isRegularFileOrAbsent(o.imageOut))
            return UsageError{QStringLiteral("--image-out %1: not a regular file").arg(o.imageOut)};
    }
    if (parser.isSet(quiet) && parser.isSet(verbose))
        return UsageError{QStringLiteral("--quiet and --verbose cannot be used together")};
    if (parser.isSet(quiet))
        o.verbosity = SimOptions::Verbosity::Quiet;
    else if (parser.isSet(verbose))
        o.verbosity = SimOptions::Verbosity::Verbose;
    return o;
}

QString simUsageText() {
    const SimOptions defaults;
    return QStringLiteral(
               "Usage: velta-devsim [options]\n"
               "Plays the bootloader device on UDP for testing the loader without hardware.\n"
               "Every datagram is one command line (CR LF, LF or no terminator); the reply goes back\n"
               "to the sender's address and port, one datagram per command.\n"
               "\n"
               "Options:\n"
               "  --bind ADDR          IP address to listen on (default %1)\n"
               "  --port N             UDP port, 0 for any free port (default %2)\n"
               "  --address A[,A...]   device address for the gateway forms, 0-255 (default %3);\n"
               "                       several play several devices behind one gateway, each with\n"
               "                       an image of its own (FILE.<address> with --image-out)\n"
               "  --image-out FILE     write the image as Intel HEX after each completed download;\n"
               "                       FILE must be a regular file or not exist yet\n"
               "  --drop-every N       ignore every Nth datagram received, as if lost (default 0: none)\n"
               "  --error-at-line N    answer \"ERROR\" to the Nth record line of each download pass\n"
               "                       and do not store it (default 0: never); a pass begins with the\n"
               "                       first OOT: record after start, OOTi or a completed download\n"
               "  --delay-ms N         send each reply N milliseconds late (default 0)\n"
               "  --quiet              print nothing but the listening line and errors\n"
               "  --verbose            log every datagram in and out on stderr\n"
               "  -h, --help           show this text\n"
               "      --version        show the version\n"
               "\n"
               "Gateway forms: \"MDB <addr>,<body>\" and \"MDC <addr>,\"<body>\"\" carry a command for\n"
               "device <addr> (decimal); forms for another address get no answer.\n"
               "\n"
               "Commands and replies (each reply ends with CR LF):\n"
               "  OOTi              VELTA BOOT VER=2.10 ADDR=<address>; an unfinished pass is abandoned\n"
               "  VER               VER=2.10\n"
               "  OOT:<record>      OK | ERROR <reason> | DOWNLOAD (end-of-file record: download done,\n"
               "                    verify records expected; the next OOT: record starts a new image)\n"
               "  OOT#<record>      OK | ERROR <reason> | ERROR VERIFY <address, 8 hex digits> |\n"
               "                    DOWNLOAD (end-of-file record)\n"
               "  OOT$xx            ADDR SET XX (BAD ADDRESS unless two hex digits); the simulator\n"
               "                    keeps answering on --address\n"
               "  OOTg              START\n"
               "  UART 2,7          UART 2,7 ON\n"
               "  STATUS            STATUS <IDLE|LOADING|LOADED|VERIFYING|VERIFIED> RECORDS=<n> BYTES=<n>\n"
               "  anything else     UNKNOWN COMMAND\n"
               "Record errors: bad start code, odd number of hex digits, bad hex digit, length mismatch,\n"
               "bad checksum, unknown record type. A device in the middle of one client's download\n"
               "pass answers another client's records \"ERROR BUSY\" until the pass ends or the\n"
               "client has been silent for 30 s; an image beyond 16 MiB is refused with\n"
               "\"ERROR IMAGE FULL\".\n"
               "\n"
               "On start one line \"velta-devsim listening on ADDR:PORT\" goes to stdout.\n"
               "Exit codes: 0 after SIGTERM or SIGINT, 2 bad arguments, 3 the socket cannot be bound.\n")
        .arg(defaults.bindAddress.toString())
        .arg(defaults.port)
        .arg(defaults.deviceAddresses.first());
}

QString bindFailureMessage(const QHostAddress& address, quint16 port, QAbstractSocket::SocketError error,
                           const QString& reason) {
    QString message =
        QStringLiteral("velta-devsim: cannot bind %1: %2").arg(endpointText(address, port), reason);
    if (port != 0 && port < 1024 && error == QAbstractSocket::SocketAccessError) {
        message += QStringLiteral("\nvelta-devsim: ports below 1024 need root or CAP_NET_BIND_SERVICE "
                                  "(setcap cap_net_bind_service=+ep /path/to/velta-devsim); "
                                  "or choose a port above 1023 with --port");
    }
    return message;
}

SimServer::SimServer(SimOptions options, QObject* parent) : QObject(parent), m_options(std::move(options)) {
    for (const quint8 address : m_options.deviceAddresses) {
        m_models.emplace_back(address);
        m_models.back().setErrorAtLine(m_options.errorAtLine);
    }
    connect(&m_socket, &QUdpSocket::readyRead, this, &SimServer::readPending);
}

std::optional<QString> SimServer::start() {
    // Another simulator (or anything else) on the port must make this one fail, not share it.
    if (!m_socket.bind(m_options.bindAddress, m_options.port, QAbstractSocket::DontShareAddress))
        return bindFailureMessage(m_options.bindAddress, m_options.port, m_socket.error(),
                                  m_socket.errorString());
    m_ownAddresses = ownAddresses(m_options.bindAddress);
    m_clock.start();
    return std::nullopt;
}

bool SimServer::isOwnEndpoint(const QHostAddress& sender, quint16 senderPort) const {
    if (senderPort != m_socket.localPort())
        return false;
    for (const QHostAddress& own : m_ownAddresses) {
        if (own.isEqual(sender, QHostAddress::TolerantConversion))
            return true;
    }
    return false;
}

void SimServer::readPending() {
    m_reader.drain(m_socket, [this](QByteArrayView data, const QHostAddress& from, quint16 fromPort) {
        receive(data.toByteArray(), from, fromPort);
        return true;
    });
}

void SimServer::receive(const QByteArray& data, const QHostAddress& sender, quint16 senderPort) {
    // A datagram that claims to come from this socket would be answered to itself for ever.
    if (isOwnEndpoint(sender, senderPort))
        return;
    const QByteArray peer = endpointText(sender, senderPort).toLatin1();
    ++m_received;
    if (m_options.dropEvery > 0 && m_received % quint64(m_options.dropEvery) == 0) {
        log("drop " + peer + " " + logged(data));
        return;
    }
    log("in   " + peer + " " + logged(data));

    // A gateway form reaches the device it names; a direct line the first device.
    std::optional<QByteArray> reply;
    const bool wrapped = data.startsWith("MDB ") || data.startsWith("MDC ");
    for (DeviceModel& model : m_models) {
        if (!reply)
            reply = model.handle(data, peer, m_clock.elapsed());
        // The image is on disk before "DOWNLOAD" leaves, so whoever waits for it may read it.
        if (model.takeDownloadCompleted())
            saveImage(model);
        if (!wrapped)
            break;
    }
    if (!reply) {
        log("none " + peer);
        return;
    }
    if (*reply == "UNKNOWN COMMAND\r\n" && !mayAnswerUnknown(peer)) {
        log("quiet " + peer);
        return;
    }
    if (m_options.delayMs > 0) {
        QTimer::singleShot(m_options.delayMs, this,
                           [this, r = *reply, sender, senderPort] { send(r, sender, senderPort); });
    } else {
        send(*reply, sender, senderPort);
    }
}

bool SimServer::mayAnswerUnknown(const QByteArray& peer) {
    const qint64 now = m_clock.elapsed();
    if (m_unknownAnswers.size() >= MaxSendersKept) {
        for (auto it = m_unknownAnswers.begin(); it != m_unknownAnswers.end();)
            it = now - it->first >= 1000 ? m_unknownAnswers.erase(it) : std::next(it);
        if (m_unknownAnswers.size() >= MaxSendersKept)
            m_unknownAnswers.clear();
    }
    auto& [since, count] = m_unknownAnswers[peer];
    if (now - since >= 1000) {
        since = now;
        count = 0;
    }
    return ++count <= UnknownAnswersPerSecond;
}

void SimServer::send(const QByteArray& reply, const QHostAddress& receiver, quint16 receiverPort) {
    log("out  " + endpointText(receiver, receiverPort).toLatin1() + " " + logged(reply));
    if (m_socket.writeDatagram(reply, receiver, receiverPort) != reply.size()) {
        std::fprintf(stderr, "velta-devsim: cannot send to %s: %s\n",
                     qPrintable(endpointText(receiver, receiverPort)), qPrintable(m_socket.errorString()));
    }
}

void SimServer::saveImage(const DeviceModel& model) {
    if (m_options.imageOut.isEmpty())
        return;
    // Several devices keep an image each: FILE.<address>.
    const QString path = m_models.size() > 1
                             ? m_options.imageOut + QLatin1Char('.') + QString::number(model.address())
                             : m_options.imageOut;
    // A rename over the path itself: a link put there since the start is replaced, not followed.
    const std::optional<RuntimeError> failure = replaceFile(path, model.image().toHexText());
    if (failure) {
        std::fprintf(stderr, "velta-devsim: cannot write image to %s: %s\n", qPrintable(path),
                     qPrintable(failure->description));
    } else if (m_options.verbosity != SimOptions::Verbosity::Quiet) {
        std::fprintf(stderr, "velta-devsim: download complete, %lld bytes written to %s\n",
                     static_cast<long long>(model.image().size()), qPrintable(path));
    }
}

void SimServer::log(const QByteArray& text) const {
    if (m_options.verbosity != SimOptions::Verbosity::Verbose)
        return;
    std::fprintf(stderr, "velta-devsim: %s\n", text.constData());
}
