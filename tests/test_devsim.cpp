// The device simulator: its model of the bootloader on its own, and the real program on loopback.
#include "device_simulator.h"
#include "sim_server.h"
#include "simulator_process.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <sys/stat.h>

namespace {
// A small file: linear base 0x0800, two data records, a start address, end of file.
const QByteArrayList SmallFile = {":020000040800F2", ":0300300002337A1E", ":02003300BEEF1E", ":04000005000000CD2A",
                                  ":00000001FF"};
QByteArray download(const QByteArray& record) {
    return "OOT" + record + "\r\n";
}
QByteArray verify(QByteArray record) {
    return "OOT" + record.replace(':', '#') + "\r\n";
}

// A loopback peer that talks to a simulator at `port`.
struct Peer {
    QUdpSocket socket;
    quint16 port;
    explicit Peer(quint16 simPort) : port(simPort) { socket.bind(QHostAddress::LocalHost, 0); }
    QList<QByteArray> exchange(const QList<QByteArray>& datagrams, int replies) {
        for (const QByteArray& d : datagrams)
            socket.writeDatagram(d, QHostAddress::LocalHost, port);
        QList<QByteArray> got;
        while (got.size() < replies && (socket.hasPendingDatagrams() || socket.waitForReadyRead(3000)))
            got << socket.receiveDatagram().data();
        return got;
    }
};
} // namespace

class TestDevsim : public QObject {
    Q_OBJECT

private slots:
    void replies_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QByteArray>("reply"); // without CR LF; empty: no reply at all
        const char* const rows[][3] = {
            {"boot info, LF only", "OOTi\n", "VELTA BOOT VER=2.10 ADDR=16"},
            {"set address", "OOT$0a\r\n", "ADDR SET 0A"},
            {"set address, one digit", "OOT$A\r\n", "BAD ADDRESS"},
            {"set address, not hex", "OOT$0G\r\n", "BAD ADDRESS"},
            {"start", "OOTg", "START"},
            {"UART", "UART 2,7\r\n", "UART 2,7 ON"},
            {"status", "STATUS\r\n", "STATUS IDLE RECORDS=0 BYTES=0"},
            {"unknown", "HELLO\r\n", "UNKNOWN COMMAND"},
            {"bad checksum", "OOT:0300300002337A1F\r\n", "ERROR bad checksum"},
            {"verify with colon", "OOT#:00000001FF\r\n", "ERROR bad hex digit"},
            {"verify end of file", "OOT#00000001FF\r\n", "DOWNLOAD"},
            {"verify on no image", "OOT#0300300002337A1E\r\n", "ERROR VERIFY 00000030"},
            {"MDB own address", "MDB 16,VER\r\n", "VER=2.10"},
            {"MDB other address", "MDB 17,VER\r\n", ""},
            {"MDB no comma", "MDB 16VER\r\n", ""},
            {"MDB address not a number", "MDB x,VER\r\n", ""},
            {"MDB not unwrapped twice", "MDB 16,MDB 16,VER\r\n", "UNKNOWN COMMAND"},
            {"MDC comma in body", "MDC 16,\"UART 2,7\"\r\n", "UART 2,7 ON"},
            {"MDC up to the last quote", "MDC 16,\"VER\" \"\r\n", "UNKNOWN COMMAND"},
            {"MDC one quote", "MDC 16,\"VER\r\n", ""},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QByteArray(r[1]) << QByteArray(r[2]);
    }

    void replies() {
        QFETCH(QByteArray, datagram);
        QFETCH(QByteArray, reply);
        QCOMPARE(DeviceModel().handle(datagram).value_or("<none>"), reply.isEmpty() ? "<none>" : reply + "\r\n");
    }

    void oneImageLikeFlash() {
        DeviceModel device;
        const auto handle = [&](const QByteArray& d) { return device.handle(d).value_or("<none>").trimmed(); };
        for (qsizetype i = 0; i < SmallFile.size(); ++i) {
            QCOMPARE(handle(download(SmallFile[i])), i + 1 < SmallFile.size() ? "OK" : "DOWNLOAD");
            QCOMPARE(device.takeDownloadCompleted(), i + 1 == SmallFile.size());
        }
        // A resent copy of the record just taken is answered again, not stored or counted again.
        QCOMPARE(handle(download(SmallFile.last())), "DOWNLOAD");
        QCOMPARE(handle("STATUS"), "STATUS LOADED RECORDS=4 BYTES=5");
        QVERIFY(device.image() == std::get<HexImage>(loadHexFile(SmallFile.join("\r\n"))));
        QCOMPARE(handle(verify(SmallFile[0])), "OK");
        QCOMPARE(handle("STATUS"), "STATUS VERIFYING RECORDS=4 BYTES=5");
        QCOMPARE(handle(verify(":0300300002337B1D")), "ERROR VERIFY 08000032"); // the third byte differs
        QCOMPARE(handle(verify(":0100400011AE")), "ERROR VERIFY 08000040");     // never loaded
        for (qsizetype i = 1; i < SmallFile.size(); ++i)
            QCOMPARE(handle(verify(SmallFile[i])), i + 1 < SmallFile.size() ? "OK" : "DOWNLOAD");
        QVERIFY(!device.takeDownloadCompleted()); // verifying does not rewrite the image
        QCOMPARE(handle("STATUS"), "STATUS VERIFIED RECORDS=4 BYTES=5");
        // A bad line is no download: the kept image stays. A good one wipes it, as rewriting flash
        // does, and the new image is kept only once its pass ends, without the old 04 base.
        QCOMPARE(handle(download(":0100400011AF")), "ERROR bad checksum");
        QCOMPARE(device.image().size(), 5);
        QCOMPARE(handle(download(":0100400011AE")), "OK");
        QVERIFY(device.image().isEmpty());
        QCOMPARE(handle(verify(SmallFile[1])), "ERROR VERIFY 00000030");
        QCOMPARE(handle(download(":0100400011AE")), "OK");
        QCOMPARE(handle(download(":0100400011AE")), "OK");
        QCOMPARE(handle("STATUS"), "STATUS LOADING RECORDS=1 BYTES=1");
        QCOMPARE(handle(download(":00000001FF")), "DOWNLOAD");
        QCOMPARE(device.image().byteAt(0x0040), std::optional<quint8>(0x11));
    }

    void errorAtLine() {
        // The 2nd record line of every download pass is answered ERROR and not stored, whatever it
        // holds; OOTi abandons the pass, so the count starts over.
        DeviceModel device;
        device.setErrorAtLine(2);
        const QByteArray a = download(":0300300002337A1E"), b = download(":0100400011AE"), e = download(":00000001FF");
        QByteArrayList got;
        for (const QByteArray& d : {a, b, e, QByteArray("STATUS"), a, e, b, QByteArray("STATUS"), QByteArray("OOTi"), a, b})
            got << device.handle(d).value_or("<none>").trimmed();
        QCOMPARE(got, (QByteArrayList{"OK", "ERROR", "DOWNLOAD", "STATUS LOADED RECORDS=1 BYTES=3", "OK", "ERROR", "OK",
                                      "STATUS LOADING RECORDS=2 BYTES=4", "VELTA BOOT VER=2.10 ADDR=16", "OK", "ERROR"}));
    }

    void oneClientAtATimeAndBounded() {
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

        // Hostile datagrams get short answers, and the image has a bound.
        for (const QByteArray& d : {QByteArray(65507, 'A'), "OOT:" + QByteArray(65503, 'F'), "MDB 16," + QByteArray(65500, '\0'),
                                    "MDC 16,\"" + QByteArray(65499, '"'), QByteArray("OOT:\xff\xfe\x80", 7)})
            QVERIFY(device.handle(d).value_or("").size() <= 40);
        QByteArray reply = "OK\r\n";
        qsizetype stored = 0;
        for (quint32 at = 0; reply == "OK\r\n"; at += 255) {
            if ((at & 0xFFFF) < 255) {
                const char upper[2] = {char(at >> 24), char(at >> 16)};
                (void)device.handle(download(formatHexRecord(4, 0, QByteArrayView(upper, 2)).trimmed()));
            }
            reply = device.handle(download(formatHexRecord(0, quint16(at), QByteArray(255, 'x')).trimmed())).value_or("");
            stored += reply == "OK\r\n" ? 255 : 0;
        }
        QCOMPARE(reply, "ERROR IMAGE FULL\r\n");
        QVERIFY(stored <= DeviceModel::MaxImageBytes && stored + 255 > DeviceModel::MaxImageBytes);
    }

    void refusesWhatItMustNotTouch() {
        QTemporaryDir dir;
        const QString fifo = dir.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(QFile::link(dir.filePath("elsewhere"), dir.filePath("link")));
        // Only a regular file, or none yet, may be replaced by the image.
        for (const QString& target : {fifo, dir.filePath("link"), dir.path()}) {
            const auto parsed = parseSimArguments({"--image-out", target});
            QCOMPARE(std::get_if<UsageError>(&parsed) ? std::get<UsageError>(parsed).message : QString(),
                     "--image-out " + target + ": not a regular file");
        }
        // A datagram that claims to come from the simulator's own endpoint is never answered.
        SimServer server(std::get<SimOptions>(parseSimArguments({"--port", "0"})));
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
        QTest::newRow("port too big") << QStringList{"--port", "65536"} << "--port needs a whole number from 0 to 65535, not '65536'";
        QTest::newRow("address 1x") << QStringList{"--address", "1x"} << "--address needs device addresses from 0 to 255, each once, not '1x'";
        QTest::newRow("address twice") << QStringList{"--address", "16,16"} << "--address needs device addresses from 0 to 255, each once, not '16,16'";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "Unknown option 'bogus'.";
        QTest::newRow("positional") << QStringList{"extra"} << "unexpected argument 'extra'";
        QTest::newRow("bad bind") << QStringList{"--bind", "nowhere"} << "--bind needs an IP address, not 'nowhere'";
        QTest::newRow("quiet and verbose") << QStringList{"--quiet", "--verbose"} << "--quiet and --verbose cannot be used together";
    }

    void usageErrors() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QProcess run;
        run.start(VELTA_DEVSIM, arguments);
        QVERIFY(run.waitForFinished(5000));
        QCOMPARE(run.exitCode(), SimExit::BadArguments);
        QCOMPARE(QString(run.readAllStandardError()).section('\n', 0, 0), "velta-devsim: " + message);
    }

    void programOnLoopback() {
        QTemporaryDir dir;
        const QString image = dir.filePath("image.hex");
        SimulatorProcess sim(VELTA_DEVSIM, {"--address", "247", "--image-out", image, "--verbose", "--delay-ms", "50"});
        Peer peer(sim.port());
        QByteArrayList wrapped{"MDB 247,OOTi\r\n"};
        for (const QByteArray& r : SmallFile)
            wrapped << "MDC 247,\"OOT" + r + "\"\r\n";
        QCOMPARE(peer.exchange(wrapped, 6), (QList<QByteArray>{"VELTA BOOT VER=2.10 ADDR=247\r\n", "OK\r\n", "OK\r\n", "OK\r\n",
                                                               "OK\r\n", "DOWNLOAD\r\n"}));
        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), ":020000040800F2\r\n:0500300002337ABEEF6F\r\n:00000001FF\r\n");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"image.hex"}); // written through a rename
        // Silence for another address; empty and maximal datagrams answered briefly.
        QCOMPARE(peer.exchange({"MDB 16,VER\r\n", QByteArray(), QByteArray(65507, '\0'), "STATUS\r\n", "VER"}, 4),
                 (QList<QByteArray>{"UNKNOWN COMMAND\r\n", "UNKNOWN COMMAND\r\n", "STATUS LOADED RECORDS=4 BYTES=5\r\n",
                                    "VER=2.10\r\n"}));
        QByteArray log;
        QTRY_VERIFY((log += sim.process().readAllStandardError()).contains("out  127.0.0.1:"));
        QVERIFY2(log.contains("velta-devsim: in   127.0.0.1:" + QByteArray::number(peer.socket.localPort()) + " MDB 247,OOTi\\r\\n"),
                 log.constData());

        // A second one cannot have the port, and the first keeps running; a signal ends it cleanly.
        QProcess second;
        second.start(VELTA_DEVSIM, {"--bind", "127.0.0.1", "--port", QString::number(sim.port())});
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), SimExit::CannotBind);
        QVERIFY(second.readAllStandardError().startsWith("velta-devsim: cannot bind 127.0.0.1:" + QByteArray::number(sim.port())));
        QCOMPARE(peer.exchange({"VER\r\n"}, 1), QList<QByteArray>{"VER=2.10\r\n"});
        QCOMPARE(::kill(pid_t(sim.process().processId()), SIGTERM), 0);
        QVERIFY(sim.process().waitForFinished(5000));
        QCOMPARE(sim.process().exitCode(), SimExit::Ok);
    }

    void dropsEveryNth() {
        SimulatorProcess sim(VELTA_DEVSIM, {"--drop-every", "2", "--quiet"});
        Peer peer(sim.port());
        // Had the 2nd been answered, its reply would come before the 3rd's; a dropped record
        // never reached the device.
        QCOMPARE(peer.exchange({"VER\r\n", "STATUS\r\n", "UART 2,7\r\n", "OOT:0100400011AE\r\n", "STATUS\r\n"}, 3),
                 (QList<QByteArray>{"VER=2.10\r\n", "UART 2,7 ON\r\n", "STATUS IDLE RECORDS=0 BYTES=0\r\n"}));
        QCOMPARE(sim.process().readAllStandardError(), ""); // --quiet
    }
};

QTEST_GUILESS_MAIN(TestDevsim)
#include "test_devsim.moc"
