// The device simulator: its model of the bootloader on its own, and the real program on loopback.
#include "device_simulator.h"
#include "sim_server.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

#include <sys/stat.h>

namespace {
constexpr int WaitMs = 5000;

// A small file: linear base 0x0800, two data records, a start address, end of file.
const QList<QByteArray> SmallFile = {":020000040800F2", ":0300300002337A1E", ":02003300BEEF1E",
                                     ":04000005000000CD2A", ":00000001FF"};

const auto download = [](const QByteArray& record) { return "OOT" + record + "\r\n"; };
const auto verify = [](QByteArray record) { return "OOT" + record.replace(':', '#') + "\r\n"; };

// The simulator program and a loopback peer socket that talks to it; killed when destroyed.
struct Sim : QProcess {
    QUdpSocket peer;
    quint16 port = 0; // 0: it is not listening

    // With `listen`, on a free port of 127.0.0.1, waiting for the line that names it.
    explicit Sim(const QStringList& arguments, bool listen = true) {
        static const QRegularExpression listening("^velta-devsim listening on 127\\.0\\.0\\.1:(\\d+)\n$");
        start(VELTA_DEVSIM,
              listen ? QStringList{"--bind", "127.0.0.1", "--port", "0"} + arguments : arguments);
        if (listen && QTest::qWaitFor([&] { return canReadLine() || !processId(); }, WaitMs) &&
            peer.bind(QHostAddress::LocalHost, 0))
            port = quint16(listening.match(QString(readLine())).captured(1).toUInt());
    }
    ~Sim() override {
        kill();
        waitForFinished(WaitMs);
    }
    // Its exit code once it ends by itself; -1 when it does not, or crashes.
    int finish() { return waitForFinished(WaitMs) && exitStatus() == NormalExit ? exitCode() : -1; }

    bool send(const QByteArray& data) { return peer.writeDatagram(data, QHostAddress::LocalHost, port) >= 0; }
    // The next `count` replies in arrival order; fewer if they do not come.
    QList<QByteArray> receive(int count) {
        QList<QByteArray> replies;
        while (replies.size() < count && (peer.hasPendingDatagrams() || peer.waitForReadyRead(WaitMs)))
            replies << peer.receiveDatagram().data();
        return replies;
    }
    QByteArray exchange(const QByteArray& data) { return send(data) ? receive(1).value(0) : QByteArray(); }
    // Whether `signal` ends it cleanly, with exit code 0.
    bool stopsOn(int signal) {
        return ::kill(pid_t(processId()), signal) == 0 && waitForFinished(WaitMs) &&
               exitStatus() == QProcess::NormalExit && exitCode() == 0;
    }
};

} // namespace

class TestDevsim : public QObject {
    Q_OBJECT

private slots:
    void replies_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QByteArray>("reply"); // without CR LF; empty: no reply at all
        const char* unknown = "UNKNOWN COMMAND";
        const auto row = [](const char* name, const QByteArray& datagram, const char* reply) {
            QTest::newRow(name) << datagram << QByteArray(reply);
        };
        row("boot info", "OOTi\r\n", "VELTA BOOT VER=2.10 ADDR=16");
        row("LF only", "OOTi\n", "VELTA BOOT VER=2.10 ADDR=16");
        row("set address", "OOT$0a\r\n", "ADDR SET 0A");
        row("set address one digit", "OOT$A\r\n", "BAD ADDRESS");
        row("set address not hex", "OOT$0G\r\n", "BAD ADDRESS");
        row("unknown", "HELLO\r\n", unknown);
        row("empty", "", unknown);
        row("bad checksum", download(":0300300002337A1F"), "ERROR bad checksum");
        row("verify with colon", "OOT#:00000001FF\r\n", "ERROR bad hex digit");
        row("verify end of file", verify(":00000001FF"), "DOWNLOAD");
        row("verify on empty image", verify(":0300300002337A1E"), "ERROR VERIFY 00000030");
        row("MDB own address", "MDB 16,VER\r\n", "VER=2.10");
        row("MDB other address", "MDB 17,VER\r\n", "");
        row("MDB no comma", "MDB 16VER\r\n", "");
        row("MDB address not a number", "MDB x,VER\r\n", "");
        row("MDB not unwrapped twice", "MDB 16,MDB 16,VER\r\n", unknown);
        row("MDB without blank is direct", "MDB16,VER\r\n", unknown);
        row("MDC comma in body", "MDC 16,\"UART 2,7\"\r\n", "UART 2,7 ON");
        row("MDC up to last quote", "MDC 16,\"VER\" \"\r\n", unknown);
        row("MDC one quote", "MDC 16,\"VER\r\n", "");
    }

    void replies() {
        QFETCH(QByteArray, datagram);
        QFETCH(QByteArray, reply);
        QCOMPARE(DeviceModel().handle(datagram).value_or("<none>"),
                 reply.isEmpty() ? "<none>" : reply + "\r\n");
    }

    void lifecycle() {
        DeviceModel device;
        const auto handle = [&](const QByteArray& d) { return device.handle(d).value_or("<none>"); };
        for (qsizetype i = 0; i < SmallFile.size(); ++i) {
            QCOMPARE(handle(download(SmallFile[i])), i + 1 < SmallFile.size() ? "OK\r\n" : "DOWNLOAD\r\n");
            QCOMPARE(device.takeDownloadCompleted(), i + 1 == SmallFile.size());
        }
        QCOMPARE(handle("STATUS\r\n"), "STATUS LOADED RECORDS=4 BYTES=5\r\n");
        QVERIFY(device.image() == std::get<HexImage>(loadHexFile(SmallFile.join("\r\n") + "\r\n")));

        QCOMPARE(handle(verify(SmallFile[0])), "OK\r\n");
        // The tool acts on "OK", "ERROR", "DOWNLOAD" and "VER=" anywhere in a reply: no status may
        // carry them.
        QCOMPARE(handle("STATUS\r\n"), "STATUS VERIFYING RECORDS=4 BYTES=5\r\n");
        // 02 33 7B at 0x0030: the third byte differs; the checksum fits, so the record itself is good.
        QCOMPARE(handle(verify(":0300300002337B1D")), "ERROR VERIFY 08000032\r\n");
        // Bytes never loaded do not verify either.
        QCOMPARE(handle(verify(":0100400011AE")), "ERROR VERIFY 08000040\r\n");
        for (qsizetype i = 1; i < SmallFile.size(); ++i)
            QCOMPARE(handle(verify(SmallFile[i])), i + 1 < SmallFile.size() ? "OK\r\n" : "DOWNLOAD\r\n");
        QVERIFY(!device.takeDownloadCompleted()); // verifying does not rewrite the image
        QCOMPARE(handle("STATUS\r\n"), "STATUS VERIFIED RECORDS=4 BYTES=5\r\n");

        // A bad line is no download: the kept image stays. A good one wipes it, as rewriting flash
        // does, and the new image is kept only once its pass ends.
        QCOMPARE(handle(download(":0100400011AF")), "ERROR bad checksum\r\n");
        QCOMPARE(device.image().size(), 5);
        QCOMPARE(handle(download(":0100400011AE")), "OK\r\n");
        QVERIFY(device.image().isEmpty());
        QCOMPARE(handle(verify(SmallFile[1])), "ERROR VERIFY 00000030\r\n");
        QCOMPARE(handle(download(":0100400011AE")), "OK\r\n");
        QCOMPARE(handle("STATUS\r\n"), "STATUS LOADING RECORDS=1 BYTES=1\r\n");
        QCOMPARE(handle(download(":00000001FF")), "DOWNLOAD\r\n");
        QCOMPARE(device.image().byteAt(0x0040), std::optional<quint8>(0x11)); // without the old 04 base
    }

    void errorAtLine() {
        // The 2nd record line of every download pass is answered ERROR and not stored, whatever it
        // holds; OOTi abandons the pass, so the count starts over.
        DeviceModel device;
        device.setErrorAtLine(2);
        const QByteArray a = download(":0300300002337A1E"), b = download(":0100400011AE"),
                         e = download(":00000001FF");
        QByteArrayList got;
        for (const QByteArray& d :
             {a, b, e, QByteArray("STATUS"), a, e, b, QByteArray("STATUS"), QByteArray("OOTi"), a, b})
            got << device.handle(d).value_or("<none>").trimmed();
        QCOMPARE(got, (QByteArrayList{"OK", "ERROR", "DOWNLOAD", "STATUS LOADED RECORDS=1 BYTES=3", "OK",
                                      "ERROR", "OK", "STATUS LOADING RECORDS=2 BYTES=4",
                                      "VELTA BOOT VER=2.10 ADDR=16", "OK", "ERROR"}));
    }

    void hostileDatagrams() {
        DeviceModel device;
        for (const QByteArray& d :
             {QByteArray(65507, 'A'), "OOT:" + QByteArray(65503, 'F'), "OOT#" + QByteArray(65503, '0'),
              "MDB 16," + QByteArray(65500, '\0'), "MDC 16,\"" + QByteArray(65499, '"'),
              "MDB " + QByteArray(65503, '1') + ",VER", QByteArray("\0\0\0\r\n", 5),
              QByteArray("OOT:\xff\xfe\x80", 7)}) {
            const auto reply = device.handle(d);
            QVERIFY2(!reply || (reply->size() <= 40 && reply->endsWith("\r\n")),
                     reply.value_or("").left(60).constData());
        }
        QCOMPARE(device.handle("VER\r\n").value_or("<none>"), "VER=2.10\r\n");
    }

    void oneClientAtATime() {
        DeviceModel device;
        const auto handle = [&](const QByteArray& d, const char* client, qint64 ms) {
            return device.handle(d, client, ms).value_or("<none>").trimmed();
        };
        QCOMPARE(handle(download(SmallFile[0]), "a", 0), "OK");
        // Another client is turned away in the middle of a pass; its boot-information request is
        // answered but abandons nothing.
        QCOMPARE(handle(download(SmallFile[1]), "b", 10), "ERROR BUSY");
        QCOMPARE(handle(verify(SmallFile[1]), "b", 10), "ERROR BUSY");
        QCOMPARE(handle("OOTi", "b", 10), "VELTA BOOT VER=2.10 ADDR=16");
        for (qsizetype i = 1; i < SmallFile.size(); ++i)
            QCOMPARE(handle(download(SmallFile[i]), "a", 20), i + 1 < SmallFile.size() ? "OK" : "DOWNLOAD");
        QCOMPARE(device.image().size(), 5);
        // Between passes anyone may verify; a silent client loses the device to the next one,
        // which starts a pass of its own.
        QCOMPARE(handle(verify(SmallFile[0]), "b", 30), "OK");
        QCOMPARE(handle(download(":0100400011AE"), "a", 40), "ERROR BUSY");
        QCOMPARE(handle(download(":0100400011AE"), "a", 30 + DeviceModel::OwnerTimeoutMs), "OK");
        QCOMPARE(handle(download(":00000001FF"), "a", 30 + DeviceModel::OwnerTimeoutMs), "DOWNLOAD");
        QCOMPARE(device.image().size(), 1);
    }

    void imageIsBounded() {
        DeviceModel device;
        const QByteArray data(255, char(0xA5));
        qsizetype stored = 0;
        QByteArray reply = "OK\r\n";
        for (quint32 at = 0; reply == "OK\r\n"; at += 255) {
            if ((at & 0xFFFF) < 255) {
                const char upper[2] = {char(at >> 24), char(at >> 16)};
                QCOMPARE(device.handle(download(formatHexRecord(4, 0, QByteArrayView(upper, 2)).trimmed())),
                         "OK\r\n");
            }
            reply = device.handle(download(formatHexRecord(0, quint16(at), data).trimmed())).value_or("");
            stored += reply == "OK\r\n" ? 255 : 0;
        }
        QCOMPARE(reply, "ERROR IMAGE FULL\r\n");
        QVERIFY(stored <= DeviceModel::MaxImageBytes && stored + 255 > DeviceModel::MaxImageBytes);
    }

    void neverAnswersItself() {
        QTemporaryDir dir;
        const QString fifo = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(QFile::link(dir.filePath("elsewhere"), dir.filePath("link")));
        // Only a regular file, or none yet, may be replaced by the image.
        for (const QString& target : {fifo, dir.filePath("link"), dir.path()}) {
            const auto parsed = parseSimArguments({"--image-out", target});
            QVERIFY(std::holds_alternative<UsageError>(parsed));
            QCOMPARE(std::get<UsageError>(parsed).message, "--image-out " + target + ": not a regular file");
        }
        SimOptions options;
        options.port = 0;
        SimServer server(options);
        QVERIFY(!server.start());
        server.receive("VER\r\n", QHostAddress("127.0.0.1"), server.port());
        server.receive("VER\r\n", QHostAddress("::ffff:127.0.0.1"), server.port());
        QCOMPARE(server.received(), 0u);
        server.receive("VER\r\n", QHostAddress("127.0.0.1"), quint16(server.port() + 1));
        QCOMPARE(server.received(), 1u);
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* name, const QStringList& arguments, const char* message) {
            QTest::newRow(name) << arguments << QString(message);
        };
        row("port too big", {"--port", "65536"}, "--port needs a whole number from 0 to 65535, not '65536'");
        row("address 1x", {"--address", "1x"}, "--address needs a whole number from 0 to 255, not '1x'");
        row("unknown option", {"--bogus"}, "Unknown option 'bogus'.");
        row("missing value", {"--port"}, "Missing value after '--port'.");
        row("positional", {"extra"}, "unexpected argument 'extra'");
        row("bad bind", {"--bind", "nowhere"}, "--bind needs an IP address, not 'nowhere'");
        row("quiet and verbose", {"--quiet", "--verbose"}, "--quiet and --verbose cannot be used together");
    }

    void usageErrors() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        Sim run(arguments, false);
        QCOMPARE(run.finish(), 2);
        const QByteArray err = run.readAllStandardError();
        QVERIFY2(err.startsWith("velta-devsim: " + message.toLatin1() + "\n"), err.constData());
        QCOMPARE(run.readAllStandardOutput(), "");
    }

    void defaultsAndBindFailure() {
        const auto parsed = parseSimArguments({});
        const auto* o = std::get_if<SimOptions>(&parsed);
        QVERIFY(o && o->bindAddress == QHostAddress("127.0.0.1") && o->port == 111 && o->deviceAddress == 16);
        QCOMPARE(o->dropEvery + o->errorAtLine + o->delayMs, 0);
        using E = QAbstractSocket::SocketError;
        // Only a privileged port refused for want of rights gets the hint about those rights.
        for (const auto& [port, error, hint] : {std::tuple(111, E::SocketAccessError, true),
                                                {111, E::AddressInUseError, false},
                                                {5000, E::SocketAccessError, false}}) {
            const QString message =
                bindFailureMessage(QHostAddress("127.0.0.1"), quint16(port), error, "why");
            QCOMPARE(message.section('\n', 0, 0),
                     QString("velta-devsim: cannot bind 127.0.0.1:%1: why").arg(port));
            for (const char* part : {"CAP_NET_BIND_SERVICE", "setcap cap_net_bind_service=+ep", "--port"})
                QCOMPARE(message.contains(part), hint);
        }
    }

    void programOnLoopback() {
        QTemporaryDir dir;
        const QString image = dir.filePath("image.hex");
        Sim sim({"--address", "247", "--image-out", image});
        QVERIFY(sim.port != 0);
        QCOMPARE(sim.exchange("OOTi\r\n"), "VELTA BOOT VER=2.10 ADDR=247\r\n");
        for (qsizetype i = 0; i < SmallFile.size(); ++i)
            QCOMPARE(sim.exchange("MDC 247,\"OOT" + SmallFile[i] + "\"\r\n"),
                     i + 1 < SmallFile.size() ? "OK\r\n" : "DOWNLOAD\r\n");
        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), ":020000040800F2\r\n:0500300002337ABEEF6F\r\n:00000001FF\r\n");
        // Written through a temporary file that was renamed into place: nothing else is left.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"image.hex"});

        // Silence for another address, an empty and a maximal datagram answered briefly: the next
        // reply in line must be the one for the probe.
        for (const QByteArray& d : {QByteArray("MDB 16,VER\r\n"), QByteArray(), QByteArray(65507, '\0')})
            sim.send(d);
        sim.send("STATUS\r\n");
        QCOMPARE(sim.receive(3), (QList<QByteArray>{"UNKNOWN COMMAND\r\n", "UNKNOWN COMMAND\r\n",
                                                    "STATUS LOADED RECORDS=4 BYTES=5\r\n"}));

        // A second one cannot have the port, and the first keeps running.
        Sim second({"--bind", "127.0.0.1", "--port", QString::number(sim.port)}, false);
        QCOMPARE(second.finish(), 3);
        const QByteArray err = second.readAllStandardError();
        QVERIFY2(err.startsWith("velta-devsim: cannot bind 127.0.0.1:" + QByteArray::number(sim.port) + ": "),
                 err.constData());
        QCOMPARE(second.readAllStandardOutput(), "");
        QCOMPARE(sim.exchange("VER\r\n"), "VER=2.10\r\n");
        QVERIFY(sim.stopsOn(SIGTERM));
    }

    void programDropsEveryNth() {
        Sim sim({"--drop-every", "2", "--quiet"});
        QVERIFY(sim.port != 0);
        QCOMPARE(sim.exchange("VER\r\n"), "VER=2.10\r\n");
        // Had the 2nd been answered, its reply would arrive ahead of the 3rd's.
        sim.send("STATUS\r\n");
        QCOMPARE(sim.exchange("UART 2,7\r\n"), "UART 2,7 ON\r\n");
        sim.send("OOTg\r\n");
        QCOMPARE(sim.exchange("OOTi\r\n"), "VELTA BOOT VER=2.10 ADDR=16\r\n");
        // A dropped datagram never reached the device: no record was counted.
        sim.send("OOT:0100400011AE\r\n"); // 6th: dropped
        QCOMPARE(sim.exchange("STATUS\r\n"), "STATUS IDLE RECORDS=0 BYTES=0\r\n");
        QVERIFY(sim.stopsOn(SIGINT));
        QCOMPARE(sim.readAllStandardError(), ""); // --quiet
    }

    void programDelaysWithoutBlocking() {
        Sim sim({"--delay-ms", "400", "--verbose"});
        QVERIFY(sim.port != 0);
        QElapsedTimer clock;
        clock.start();
        sim.send("VER\r\n");
        sim.send("OOTg\r\n");
        QCOMPARE(sim.receive(1), QList<QByteArray>{"VER=2.10\r\n"});
        const qint64 first = clock.elapsed();
        QCOMPARE(sim.receive(1), QList<QByteArray>{"START\r\n"});
        // A blocking delay would space the replies a full delay apart.
        QVERIFY2(first >= 380 && clock.elapsed() - first < 250, qPrintable(QString::number(clock.elapsed())));

        // Each datagram in and out is logged, escaped.
        const QByteArray peerAt = "127.0.0.1:" + QByteArray::number(sim.peer.localPort());
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT(
            (log += sim.readAllStandardError()).contains("out  " + peerAt + " START\\r\\n"), WaitMs);
        QVERIFY2(log.contains("velta-devsim: in   " + peerAt + " VER\\r\\n"), log.constData());
        QVERIFY2(log.contains("velta-devsim: out  " + peerAt + " VER=2.10\\r\\n"), log.constData());
    }

    void programHelp() {
        Sim run({"--help"}, false);
        QCOMPARE(run.finish(), 0);
        const QByteArray out = run.readAllStandardOutput();
        for (const char* text :
             {"--bind ADDR", "--port N", "--address A", "--image-out FILE", "--drop-every N",
              "--error-at-line N", "--delay-ms N", "--quiet", "--verbose",
              "0 after SIGTERM or SIGINT, 2 bad arguments, 3 the socket cannot be bound"})
            QVERIFY2(out.contains(text), text);
    }
};

QTEST_GUILESS_MAIN(TestDevsim)
#include "test_devsim.moc"
