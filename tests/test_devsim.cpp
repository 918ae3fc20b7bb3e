#include "device_simulator.h"
#include "sim_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

namespace {
constexpr int WaitMs = 5000;

// A small file: linear base 0x0800, two data records, a start address, end of file.
const QList<QByteArray> SmallFile = {":020000040800F2", ":0300300002337A1E", ":02003300BEEF1E",
                                     ":04000005000000CD2A", ":00000001FF"};

QByteArray downloadLine(const QByteArray& record) {
    return "OOT" + record + "\r\n";
}
QByteArray verifyLine(QByteArray record) {
    return "OOT" + record.replace(':', '#') + "\r\n";
}

// The simulator program on loopback; killed when the test leaves, whatever happened.
class SimProcess {
public:
    ~SimProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(WaitMs);
        }
    }

    // Starts it with `arguments` (after "--bind 127.0.0.1") and returns the port its first line
    // names; 0 when it does not come up.
    quint16 start(const QStringList& arguments) {
        m_process.start(QStringLiteral(VELTA_BUILD_DIR "/velta-devsim"),
                        QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.1")} + arguments);
        if (!QTest::qWaitFor(
                [&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, WaitMs))
            return 0;
        static const QRegularExpression listening(
            QStringLiteral("^velta-devsim listening on 127\\.0\\.0\\.1:(\\d+)\n$"));
        const auto match = listening.match(QString::fromLatin1(m_process.readLine()));
        return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
    }

    QProcess& process() { return m_process; }

private:
    QProcess m_process;
};

// A loopback peer that sends datagrams and collects the replies in arrival order.
class Peer {
public:
    explicit Peer(quint16 port) : m_port(port) { m_bound = m_socket.bind(QHostAddress::LocalHost, 0); }
    [[nodiscard]] bool bound() const { return m_bound; }
    [[nodiscard]] quint16 localPort() const { return m_socket.localPort(); }
    void send(const QByteArray& data) { m_socket.writeDatagram(data, QHostAddress::LocalHost, m_port); }

    // The first `count` replies, with their arrival times on `clock`; fewer if they do not come.
    QList<QByteArray> receive(int count, const QElapsedTimer* clock = nullptr,
                              QList<qint64>* times = nullptr) {
        QList<QByteArray> replies;
        (void)QTest::qWaitFor(
            [&] {
                while (replies.size() < count && m_socket.hasPendingDatagrams()) {
                    replies << m_socket.receiveDatagram().data();
                    if (clock && times)
                        *times << clock->elapsed();
                }
                return replies.size() >= count;
            },
            WaitMs);
        return replies;
    }

    QByteArray exchange(const QByteArray& data) {
        send(data);
        return receive(1).value(0);
    }

private:
    QUdpSocket m_socket;
    quint16 m_port;
    bool m_bound = false;
};

struct Finished {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Finished runToEnd(const QStringList& arguments) {
    QProcess p;
    p.start(QStringLiteral(VELTA_BUILD_DIR "/velta-devsim"), arguments);
    if (!p.waitForFinished(WaitMs)) {
        p.kill();
        p.waitForFinished(WaitMs);
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}
} // namespace

class TestDevsim : public QObject {
    Q_OBJECT
private slots:
    void replies_data();
    void replies();
    void otherRepliesAvoidTransferKeywords();
    void downloadThenVerify();
    void verifyMismatchNamesAddress();
    void newDownloadStartsFreshImage();
    void errorAtLine_data();
    void errorAtLine();
    void hostileDatagrams();
    void arguments();
    void usageErrors_data();
    void usageErrors();
    void bindFailure_data();
    void bindFailure();

    void programAnswersOnLoopback();
    void programDropsEveryNth();
    void programDelaysWithoutBlocking();
    void programWritesImage();
    void programPortTaken();
    void programHelp();
    void programSignals_data();
    void programSignals();
};

void TestDevsim::replies_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("reply"); // null: no reply at all

    const QByteArray none;
    const QByteArray boot = "VELTA BOOT VER=2.10 ADDR=16\r\n";
    QTest::newRow("boot info") << QByteArray("OOTi\r\n") << boot;
    QTest::newRow("LF only") << QByteArray("OOTi\n") << boot;
    QTest::newRow("no terminator") << QByteArray("OOTi") << boot;
    QTest::newRow("version") << QByteArray("VER\r\n") << QByteArray("VER=2.10\r\n");
    QTest::newRow("status") << QByteArray("STATUS\r\n") << QByteArray("STATUS IDLE RECORDS=0 BYTES=0\r\n");
    QTest::newRow("set address") << QByteArray("OOT$0A\r\n") << QByteArray("ADDR SET 0A\r\n");
    QTest::newRow("set address lower case") << QByteArray("OOT$fe\r\n") << QByteArray("ADDR SET FE\r\n");
    QTest::newRow("set address one digit") << QByteArray("OOT$A\r\n") << QByteArray("BAD ADDRESS\r\n");
    QTest::newRow("set address not hex") << QByteArray("OOT$0G\r\n") << QByteArray("BAD ADDRESS\r\n");
    QTest::newRow("start") << QByteArray("OOTg\r\n") << QByteArray("START\r\n");
    QTest::newRow("uart") << QByteArray("UART 2,7\r\n") << QByteArray("UART 2,7 ON\r\n");
    QTest::newRow("unknown") << QByteArray("HELLO\r\n") << QByteArray("UNKNOWN COMMAND\r\n");
    QTest::newRow("case matters") << QByteArray("ooti\r\n") << QByteArray("UNKNOWN COMMAND\r\n");
    QTest::newRow("empty") << QByteArray() << QByteArray("UNKNOWN COMMAND\r\n");
    QTest::newRow("data record") << downloadLine(":0300300002337A1E") << QByteArray("OK\r\n");
    QTest::newRow("bad checksum") << downloadLine(":0300300002337A1F")
                                  << QByteArray("ERROR bad checksum\r\n");
    QTest::newRow("short record") << downloadLine(":0300300002337A")
                                  << QByteArray("ERROR length mismatch\r\n");
    QTest::newRow("unknown type") << downloadLine(":00000006FA")
                                  << QByteArray("ERROR unknown record type\r\n");
    QTest::newRow("end of file") << downloadLine(":00000001FF") << QByteArray("DOWNLOAD\r\n");
    QTest::newRow("verify with colon")
        << QByteArray("OOT#:00000001FF\r\n") << QByteArray("ERROR bad hex digit\r\n");
    QTest::newRow("verify end of file") << verifyLine(":00000001FF") << QByteArray("DOWNLOAD\r\n");
    QTest::newRow("verify on empty image")
        << verifyLine(":0300300002337A1E") << QByteArray("ERROR VERIFY 00000030\r\n");
    QTest::newRow("MDB own address") << QByteArray("MDB 16,VER\r\n") << QByteArray("VER=2.10\r\n");
    QTest::newRow("MDB record") << QByteArray("MDB 16,OOT:0300300002337A1E\r\n") << QByteArray("OK\r\n");
    QTest::newRow("MDB other address") << QByteArray("MDB 17,VER\r\n") << none;
    QTest::newRow("MDB no comma") << QByteArray("MDB 16VER\r\n") << none;
    QTest::newRow("MDB address not a number") << QByteArray("MDB x,VER\r\n") << none;
    QTest::newRow("MDB not unwrapped twice")
        << QByteArray("MDB 16,MDB 16,VER\r\n") << QByteArray("UNKNOWN COMMAND\r\n");
    QTest::newRow("MDB without blank is direct")
        << QByteArray("MDB16,VER\r\n") << QByteArray("UNKNOWN COMMAND\r\n");
    QTest::newRow("MDC own address") << QByteArray("MDC 16,\"STATUS\"\r\n")
                                     << QByteArray("STATUS IDLE RECORDS=0 BYTES=0\r\n");
    QTest::newRow("MDC comma in body")
        << QByteArray("MDC 16,\"UART 2,7\"\r\n") << QByteArray("UART 2,7 ON\r\n");
    QTest::newRow("MDC up to last quote")
        << QByteArray("MDC 16,\"VER\" \"\r\n") << QByteArray("UNKNOWN COMMAND\r\n");
    QTest::newRow("MDC one quote") << QByteArray("MDC 16,\"VER\r\n") << none;
    QTest::newRow("MDC other address") << QByteArray("MDC 17,\"VER\"\r\n") << none;
}

void TestDevsim::replies() {
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, reply);
    DeviceModel device;
    const std::optional<QByteArray> got = device.handle(datagram);
    QCOMPARE(got.has_value(), !reply.isNull());
    if (got)
        QCOMPARE(*got, reply);
}

void TestDevsim::otherRepliesAvoidTransferKeywords() {
    // The tool acts on these words anywhere in a reply, so no console reply may carry them, in
    // any phase.
    DeviceModel device;
    const QList<QByteArray> commands = {"STATUS\r\n", "OOT$0A\r\n",   "OOT$\r\n",
                                        "OOTg\r\n",   "UART 2,7\r\n", "X\r\n"};
    for (int pass = 0; pass < 3; ++pass) {
        for (const QByteArray& c : commands) {
            const QByteArray reply = device.handle(c).value();
            for (const char* word : {"OK", "ERROR", "DOWNLOAD", "VER="})
                QVERIFY2(!reply.contains(word), reply.constData());
        }
        for (const QByteArray& record : SmallFile)
            (void)device.handle(pass == 0 ? downloadLine(record) : verifyLine(record));
    }
}

void TestDevsim::downloadThenVerify() {
    DeviceModel device;
    QCOMPARE(device.handle("OOTi\r\n").value(), QByteArray("VELTA BOOT VER=2.10 ADDR=16\r\n"));
    for (qsizetype i = 0; i < SmallFile.size(); ++i) {
        const QByteArray expected = i + 1 < SmallFile.size() ? "OK\r\n" : "DOWNLOAD\r\n";
        QCOMPARE(device.handle(downloadLine(SmallFile[i])).value(), expected);
        QCOMPARE(device.takeDownloadCompleted(), i + 1 == SmallFile.size());
    }
    QCOMPARE(device.phase(), DeviceModel::Phase::Loaded);
    QCOMPARE(device.handle("STATUS\r\n").value(), QByteArray("STATUS LOADED RECORDS=4 BYTES=5\r\n"));
    const auto expected = loadHexFile(SmallFile.join("\r\n") + "\r\n");
    QVERIFY(device.image() == std::get<HexImage>(expected));
    QCOMPARE(device.image().byteAt(0x08000034), std::optional<quint8>(0xEF));

    for (qsizetype i = 0; i < SmallFile.size(); ++i) {
        const QByteArray expectedReply = i + 1 < SmallFile.size() ? "OK\r\n" : "DOWNLOAD\r\n";
        QCOMPARE(device.handle(verifyLine(SmallFile[i])).value(), expectedReply);
    }
    QCOMPARE(device.phase(), DeviceModel::Phase::Verified);
    QVERIFY(!device.takeDownloadCompleted()); // verifying does not rewrite the image
}

void TestDevsim::verifyMismatchNamesAddress() {
    DeviceModel device;
    for (const QByteArray& record : SmallFile)
        (void)device.handle(downloadLine(record));
    QCOMPARE(device.handle(verifyLine(":020000040800F2")).value(), QByteArray("OK\r\n"));
    // 02 33 7B at 0x0030: the third byte differs; checksum recomputed so the record itself is good.
    QCOMPARE(device.handle(verifyLine(":0300300002337B1D")).value(), QByteArray("ERROR VERIFY 08000032\r\n"));
    // Bytes never loaded do not verify either.
    QCOMPARE(device.handle(verifyLine(":0100400011AE")).value(), QByteArray("ERROR VERIFY 08000040\r\n"));
    QCOMPARE(device.handle(verifyLine(":0300300002337A1E")).value(), QByteArray("OK\r\n"));
}

void TestDevsim::newDownloadStartsFreshImage() {
    DeviceModel device;
    for (const QByteArray& record : SmallFile)
        (void)device.handle(downloadLine(record));
    QVERIFY(device.takeDownloadCompleted());
    QCOMPARE(device.handle(downloadLine(":0100400011AE")).value(), QByteArray("OK\r\n"));
    QCOMPARE(device.phase(), DeviceModel::Phase::Loading);
    QCOMPARE(device.image().size(), 1);
    QCOMPARE(device.image().byteAt(0x0040), std::optional<quint8>(0x11)); // the old 04 base is gone too
    QCOMPARE(device.handle("STATUS\r\n").value(), QByteArray("STATUS LOADING RECORDS=1 BYTES=1\r\n"));
}

void TestDevsim::errorAtLine_data() {
    QTest::addColumn<int>("errorAt");
    QTest::addColumn<QByteArrayList>("datagrams");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<int>("bytesStored");

    const QByteArray a = downloadLine(":0300300002337A1E");
    const QByteArray b = downloadLine(":0100400011AE");
    const QByteArray eof = downloadLine(":00000001FF");
    QTest::newRow("second line") << 2 << QByteArrayList{a, b, eof}
                                 << QByteArrayList{"OK", "ERROR", "DOWNLOAD"} << 3;
    QTest::newRow("again after OOTi")
        << 2 << QByteArrayList{a, b, "OOTi", a, b}
        << QByteArrayList{"OK", "ERROR", "VELTA BOOT VER=2.10 ADDR=16", "OK", "ERROR"} << 3;
    QTest::newRow("again in the next download")
        << 1 << QByteArrayList{a, b, eof, b, a} << QByteArrayList{"ERROR", "OK", "DOWNLOAD", "ERROR", "OK"}
        << 3;
    QTest::newRow("end of file line")
        << 2 << QByteArrayList{a, eof, b} << QByteArrayList{"OK", "ERROR", "OK"} << 4;
}

void TestDevsim::errorAtLine() {
    QFETCH(int, errorAt);
    QFETCH(QByteArrayList, datagrams);
    QFETCH(QByteArrayList, replies);
    QFETCH(int, bytesStored);

    DeviceModel device;
    device.setErrorAtLine(errorAt);
    for (qsizetype i = 0; i < datagrams.size(); ++i)
        QCOMPARE(device.handle(datagrams[i]).value(), replies[i] + "\r\n");
    QCOMPARE(device.image().size(), bytesStored);
}

void TestDevsim::hostileDatagrams() {
    DeviceModel device;
    const QList<QByteArray> datagrams = {
        QByteArray(65507, 'A'),
        "OOT:" + QByteArray(65503, 'F'),
        "OOT#" + QByteArray(65503, '0'),
        "MDB 16," + QByteArray(65500, '\0'),
        "MDC 16,\"" + QByteArray(65499, '"'),
        "MDB " + QByteArray(65503, '1') + ",VER",
        QByteArray("\0\0\0\r\n", 5),
        QByteArray("OOT:\xff\xfe\x80", 7),
    };
    for (const QByteArray& d : datagrams) {
        const auto reply = device.handle(d);
        if (reply)
            QVERIFY2(reply->size() <= 40 && reply->endsWith("\r\n"), reply->left(60).constData());
    }
    QCOMPARE(device.handle("VER\r\n").value(), QByteArray("VER=2.10\r\n"));
}

void TestDevsim::arguments() {
    const auto defaults = parseSimArguments({});
    QVERIFY(std::holds_alternative<SimOptions>(defaults));
    const SimOptions& d = std::get<SimOptions>(defaults);
    QCOMPARE(d.bindAddress, QHostAddress(QStringLiteral("127.0.0.1")));
    QCOMPARE(d.port, quint16(111));
    QCOMPARE(d.deviceAddress, quint8(16));
    QCOMPARE(d.dropEvery + d.errorAtLine + d.delayMs, 0);

    const auto parsed =
        parseSimArguments({"--bind", "0.0.0.0", "--port", "0", "--address", "247", "--drop-every", "3",
                           "--error-at-line", "5", "--delay-ms", "20", "--image-out", "x.hex", "--verbose"});
    QVERIFY(std::holds_alternative<SimOptions>(parsed));
    const SimOptions& o = std::get<SimOptions>(parsed);
    QCOMPARE(o.bindAddress, QHostAddress(QHostAddress::AnyIPv4));
    QCOMPARE(o.port, quint16(0));
    QCOMPARE(o.deviceAddress, quint8(247));
    QCOMPARE(o.dropEvery, 3);
    QCOMPARE(o.errorAtLine, 5);
    QCOMPARE(o.delayMs, 20);
    QCOMPARE(o.imageOut, QStringLiteral("x.hex"));
    QCOMPARE(o.verbosity, SimOptions::Verbosity::Verbose);
    QVERIFY(std::holds_alternative<HelpRequest>(parseSimArguments({"--port", "5", "-h"})));
}

void TestDevsim::usageErrors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("port too big") << QStringList{"--port", "65536"}
                                  << QStringLiteral(
                                         "--port needs a whole number from 0 to 65535, not '65536'");
    QTest::newRow("negative delay") << QStringList{"--delay-ms", "-1"}
                                    << QStringLiteral(
                                           "--delay-ms needs a whole number from 0 to 600000, not '-1'");
    QTest::newRow("address not a number")
        << QStringList{"--address", "1x"}
        << QStringLiteral("--address needs a whole number from 0 to 255, not '1x'");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QStringLiteral("Unknown option 'bogus'.");
    QTest::newRow("missing value") << QStringList{"--port"}
                                   << QStringLiteral("Missing value after '--port'.");
    QTest::newRow("positional") << QStringList{"extra"} << QStringLiteral("unexpected argument 'extra'");
    QTest::newRow("bad bind") << QStringList{"--bind", "nowhere"}
                              << QStringLiteral("--bind needs an IP address, not 'nowhere'");
    QTest::newRow("quiet and verbose") << QStringList{"--quiet", "--verbose"}
                                       << QStringLiteral("--quiet and --verbose cannot be used together");
}

void TestDevsim::usageErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const auto parsed = parseSimArguments(arguments);
    QVERIFY(std::holds_alternative<UsageError>(parsed));
    QCOMPARE(std::get<UsageError>(parsed).message, message);

    const Finished run = runToEnd(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith("velta-devsim: " + message.toLatin1() + "\n"), run.err.constData());
    QVERIFY(run.out.isEmpty());
}

void TestDevsim::bindFailure_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("hint");
    QTest::newRow("privileged port refused") << 111 << int(QAbstractSocket::SocketAccessError) << true;
    QTest::newRow("privileged port in use") << 111 << int(QAbstractSocket::AddressInUseError) << false;
    QTest::newRow("high port refused") << 5000 << int(QAbstractSocket::SocketAccessError) << false;
}

void TestDevsim::bindFailure() {
    QFETCH(int, port);
    QFETCH(int, error);
    QFETCH(bool, hint);
    const QString message = bindFailureMessage(QHostAddress(QHostAddress::LocalHost), quint16(port),
                                               QAbstractSocket::SocketError(error), QStringLiteral("why"));
    QCOMPARE(message.section(QLatin1Char('\n'), 0, 0),
             QStringLiteral("velta-devsim: cannot bind 127.0.0.1:%1: why").arg(port));
    QCOMPARE(message.contains(QLatin1String("CAP_NET_BIND_SERVICE")), hint);
    QCOMPARE(message.contains(QLatin1String("setcap cap_net_bind_service=+ep")), hint);
    QCOMPARE(message.contains(QLatin1String("--port")), hint);
}

void TestDevsim::programAnswersOnLoopback() {
    SimProcess sim;
    const quint16 port = sim.start({"--port", "0"});
    QVERIFY(port != 0);
    Peer peer(port);
    QVERIFY(peer.bound());
    QCOMPARE(peer.exchange("OOTi\r\n"), QByteArray("VELTA BOOT VER=2.10 ADDR=16\r\n"));
    QCOMPARE(peer.exchange("MDC 16,\"OOT:0300300002337A1E\"\r\n"), QByteArray("OK\r\n"));
    // Silence for another address, an empty and a maximal datagram answered briefly: the next
    // reply in line must be the one for the probe.
    peer.send("MDB 17,VER\r\n");
    peer.send(QByteArray());
    peer.send(QByteArray(65507, '\0'));
    peer.send("STATUS\r\n");
    QCOMPARE(peer.receive(3), (QList<QByteArray>{"UNKNOWN COMMAND\r\n", "UNKNOWN COMMAND\r\n",
                                                 "STATUS LOADING RECORDS=1 BYTES=3\r\n"}));
}

void TestDevsim::programDropsEveryNth() {
    SimProcess sim;
    const quint16 port = sim.start({"--port", "0", "--drop-every", "2", "--quiet"});
    QVERIFY(port != 0);
    Peer peer(port);
    QCOMPARE(peer.exchange("VER\r\n"), QByteArray("VER=2.10\r\n"));
    // Had the 2nd been answered, its reply would arrive ahead of the 3rd's.
    peer.send("STATUS\r\n");
    peer.send("UART 2,7\r\n");
    QCOMPARE(peer.receive(1), QList<QByteArray>{"UART 2,7 ON\r\n"});
    peer.send("OOTg\r\n");
    QCOMPARE(peer.exchange("OOTi\r\n"), QByteArray("VELTA BOOT VER=2.10 ADDR=16\r\n"));
    // A dropped datagram never reached the device: no record was counted.
    peer.send("OOT:0100400011AE\r\n"); // 6th: dropped
    QCOMPARE(peer.exchange("STATUS\r\n"), QByteArray("STATUS IDLE RECORDS=0 BYTES=0\r\n"));
}

void TestDevsim::programDelaysWithoutBlocking() {
    SimProcess sim;
    const quint16 port = sim.start({"--port", "0", "--delay-ms", "400", "--verbose"});
    QVERIFY(port != 0);
    Peer peer(port);
    QElapsedTimer clock;
    clock.start();
    peer.send("VER\r\n");
    peer.send("OOTg\r\n");
    QList<qint64> times;
    QCOMPARE(peer.receive(2, &clock, &times), (QList<QByteArray>{"VER=2.10\r\n", "START\r\n"}));
    QVERIFY2(times[0] >= 380, qPrintable(QString::number(times[0])));
    // A blocking delay would space the replies a full delay apart.
    QVERIFY2(times[1] - times[0] < 250, qPrintable(QString::number(times[1] - times[0])));

    // Each datagram in and out is logged, escaped.
    const QByteArray peerAt = "127.0.0.1:" + QByteArray::number(peer.localPort());
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += sim.process().readAllStandardError()).contains("out  " + peerAt + " START\\r\\n"), WaitMs);
    QVERIFY2(log.contains("velta-devsim: in   " + peerAt + " VER\\r\\n"), log.constData());
    QVERIFY2(log.contains("velta-devsim: out  " + peerAt + " VER=2.10\\r\\n"), log.constData());
}

void TestDevsim::programWritesImage() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("image.hex"));
    SimProcess sim;
    const quint16 port = sim.start({"--port", "0", "--quiet", "--image-out", path});
    QVERIFY(port != 0);
    Peer peer(port);
    for (qsizetype i = 0; i < SmallFile.size(); ++i)
        QCOMPARE(peer.exchange(downloadLine(SmallFile[i])),
                 QByteArray(i + 1 < SmallFile.size() ? "OK\r\n" : "DOWNLOAD\r\n"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(":020000040800F2\r\n:0500300002337ABEEF6F\r\n:00000001FF\r\n"));
    // Written through a temporary file that was renamed into place: nothing else is left.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("image.hex")});
}

void TestDevsim::programPortTaken() {
    SimProcess first;
    const quint16 port = first.start({"--port", "0"});
    QVERIFY(port != 0);
    const Finished second = runToEnd({"--bind", "127.0.0.1", "--port", QString::number(port)});
    QCOMPARE(second.exitCode, 3);
    QVERIFY2(second.err.startsWith("velta-devsim: cannot bind 127.0.0.1:" + QByteArray::number(port) + ": "),
             second.err.constData());
    QVERIFY(second.out.isEmpty());
    Peer peer(port);
    QCOMPARE(peer.exchange("VER\r\n"), QByteArray("VER=2.10\r\n")); // the first keeps running
}

void TestDevsim::programHelp() {
    const Finished run = runToEnd({"--help"});
    QCOMPARE(run.exitCode, 0);
    for (const char* text :
         {"--bind ADDR", "--port N", "--address A", "--image-out FILE", "--drop-every N", "--error-at-line N",
          "--delay-ms N", "--quiet", "--verbose", "VER=2.10", "ADDR SET XX", "START", "UART 2,7 ON",
          "STATUS <IDLE", "UNKNOWN COMMAND", "ERROR VERIFY"})
        QVERIFY2(run.out.contains(text), text);
}

void TestDevsim::programSignals_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void TestDevsim::programSignals() {
    QFETCH(int, signal);
    SimProcess sim;
    QVERIFY(sim.start({"--port", "0"}) != 0);
    QCOMPARE(::kill(pid_t(sim.process().processId()), signal), 0);
    QVERIFY(sim.process().waitForFinished(WaitMs));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestDevsim)
#include "test_devsim.moc"
