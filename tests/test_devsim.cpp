// The device simulator: its model of the bootloader on its own, and the real program on loopback.
#include "loopback_peer.h"
#include "reply_queue.h"
#include "sim_options.h"
#include "sim_server.h"
#include "simulator_process.h"
#include "synthetic_hex.h"
#include "table.h"

#include "core/conversation/device_model.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <span>
#include <sys/stat.h>

namespace {
// Linear base 0x0800, two data records, a start address, end of file.
const QByteArrayList SmallFile = {":020000040800F2", ":0300300002337A1E", ":02003300BEEF1E",
                                  ":04000005000000CD2A", ":00000001FF"};
QByteArray download(const QByteArray& record) {
    return "OOT" + record + "\r\n";
}
QByteArray verify(QByteArray record) {
    return "OOT" + record.replace(':', '#') + "\r\n";
}
// "Dn" and "Vn" send record n of SmallFile to download or verify, "D:..." and "V:..." the record
// given; any other text goes as it stands.
QByteArray request(const QByteArray& d) {
    const QByteArray record = d.size() == 2 ? SmallFile[d[1] - '0'] : d.mid(1);
    return d[0] == 'D' ? download(record) : d[0] == 'V' ? verify(record) : d;
}
// A record of `data` at `at`, after the 04 record of its upper half where that begins (or always).
QByteArray recordAt(DeviceModel& device, quint32 at, const QByteArray& data, bool base = false) {
    const char upper[2] = {char(at >> 24), char(at >> 16)};
    if ((at & 0xFFFF) == 0 || base)
        (void)device.handle(download(formatHexRecord(4, 0, QByteArrayView(upper, 2)).trimmed()));
    return device.handle(download(formatHexRecord(0, quint16(at), data).trimmed())).value_or("").trimmed();
}
SimOptions options(const QStringList& args) {
    return std::get<SimOptions>(*parseSimArguments(args + QStringList{"--port", "0", "--quiet"}));
}

// A datagram and the model's reply, without CR LF; empty: no reply at all.
// clang-format off
const struct ReplyRow { const char *name, *datagram, *reply; } ReplyRows[] = {
    {"boot info, LF only", "OOTi\n", "VELTA BOOT VER=2.10 ADDR=16"}, {"set address", "OOT$7f\r\n", "ADDR SET 7F"},
    {"set address, one digit", "OOT$A\r\n", "BAD ADDRESS"}, {"start", "OOTg", "START"},
    {"UART", "UART 2,7\r\n", "UART 2,7 ON"}, {"status", "STATUS\r\n", "STATUS IDLE RECORDS=0 BYTES=0"},
    {"unknown", "HELLO\r\n", "UNKNOWN COMMAND"}, {"bad checksum", "OOT:0300300002337A1F\r\n", "ERROR bad checksum"},
    {"verify with colon", "OOT#:00000001FF\r\n", "ERROR bad hex digit"}, {"verify end of file", "OOT#00000001FF", "DOWNLOAD"},
    {"verify on no image", "OOT#0300300002337A1E\r\n", "ERROR VERIFY 00000030"},
    {"MDB own address", "MDB 16,VER\r\n", "VER=2.10"}, {"MDB other address", "MDB 17,VER\r\n", ""},
    {"MDB no comma", "MDB 16VER\r\n", ""}, {"MDB address not a number", "MDB x,VER\r\n", ""},
    {"MDB not unwrapped twice", "MDB 16,MDB 16,VER\r\n", "UNKNOWN COMMAND"},
    {"MDC comma in body", "MDC 16,\"UART 2,7\"\r\n", "UART 2,7 ON"},
    {"MDC up to the last quote", "MDC 16,\"VER\" \"\r\n", "UNKNOWN COMMAND"}, {"MDC one quote", "MDC 16,\"VER\r\n", ""},
    // Replies get no answer: two devices would answer each other for ever.
    {"OK", "OK\r\n", ""}, {"UNKNOWN COMMAND", "UNKNOWN COMMAND\r\n", ""}, {"ERROR VERIFY", "ERROR VERIFY 00000030", ""},
    {"boot information", "VELTA BOOT VER=2.10 ADDR=16\r\n", ""}, {"START", "START\r\n", ""}, {"UART ON", "UART 2,7 ON\r\n", ""},
    {"STATUS", "STATUS IDLE RECORDS=0 BYTES=0\r\n", ""}, {"a reply in a gateway form", "MDB 16,VER=2.10\r\n", ""}};

// A request (as request() reads it), from a client at a time (ms), and the reply, "!" where it
// completes a download.
struct Step { const char* client; qint64 ms; const char *datagram, *reply; };
const Step OneImage[] = {
    {"", 0, "D0", "OK"}, {"", 0, "D1", "OK"}, {"", 0, "D2", "OK"}, {"", 0, "D3", "OK"}, {"", 0, "D4", "DOWNLOAD!"},
    // A resent copy of the record just taken is answered again, not stored or counted again.
    {"", 0, "D4", "DOWNLOAD"}, {"", 0, "STATUS", "STATUS LOADED RECORDS=4 BYTES=5"},
    {"", 0, "V0", "OK"}, {"", 0, "STATUS", "STATUS VERIFYING RECORDS=4 BYTES=5"},
    {"", 0, "V:0300300002337B1D", "ERROR VERIFY 08000032"}, {"", 0, "V:0100400011AE", "ERROR VERIFY 08000040"}, // a third byte that differs, never loaded
    {"", 0, "V1", "OK"}, {"", 0, "V2", "OK"}, {"", 0, "V3", "OK"}, {"", 0, "V4", "DOWNLOAD"}, {"", 0, "STATUS", "STATUS VERIFIED RECORDS=4 BYTES=5"},
    // A bad line keeps the image; a good one wipes it, and the new image (without the old 04
    // base) is kept only once its pass ends.
    {"", 0, "D:0100400011AF", "ERROR bad checksum"}, {"", 0, "V0", "OK"}, {"", 0, "V1", "OK"}, {"", 0, "D:0100400011AE", "OK"},
    {"", 0, "V0", "OK"}, {"", 0, "V1", "ERROR VERIFY 08000030"}, {"", 0, "D:0100400011AE", "OK"}, {"", 0, "D:0100400011AE", "OK"},
    {"", 0, "STATUS", "STATUS LOADING RECORDS=1 BYTES=1"}, {"", 0, "D:00000001FF", "DOWNLOAD!"},
    {"", 0, "STATUS", "STATUS LOADED RECORDS=1 BYTES=1"}, {"", 0, "V:0100400011AE", "OK"}};
// Another client is turned away mid-pass; its boot-information request abandons nothing. Between
// passes anyone may verify; a client silent for 30 s loses the device to the next one.
const Step OneClient[] = {
    {"a", 0, "D0", "OK"}, {"b", 10, "D1", "ERROR BUSY"}, {"b", 10, "V1", "ERROR BUSY"}, {"b", 10, "OOTi", "VELTA BOOT VER=2.10 ADDR=16"},
    {"a", 20, "D1", "OK"}, {"a", 20, "D2", "OK"}, {"a", 20, "D3", "OK"}, {"a", 20, "D4", "DOWNLOAD!"},
    {"b", 30, "V0", "OK"}, {"a", 40, "D:0100400011AE", "ERROR BUSY"}, {"a", 30029, "D:0100400011AE", "ERROR BUSY"},
    {"a", 30030, "D:0100400011AE", "OK"}, {"a", 30030, "D:00000001FF", "DOWNLOAD!"}, {"b", 30030, "STATUS", "STATUS LOADED RECORDS=1 BYTES=1"}};
// A failed download keeps no image, and no record of it is taken for a resent copy later: not
// after a verify pass that began on it and was broken off, nor after the owner's new transfer.
const Step Abandoned[] = {
    {"", 0, "D0", "OK"}, {"", 0, "D:0100400011AF", "ERROR bad checksum"}, {"", 0, "V:0100400011AF", "ERROR bad checksum"},
    {"", 0, "OOTi", "VELTA BOOT VER=2.10 ADDR=16"}, {"", 0, "STATUS", "STATUS IDLE RECORDS=0 BYTES=0"},
    {"", 0, "D0", "OK"}, {"", 0, "D1", "OK"}, {"", 0, "D2", "OK"}, {"", 0, "D3", "OK"}, {"", 0, "D4", "DOWNLOAD!"},
    {"", 0, "V0", "OK"}, {"", 0, "OOTi", "VELTA BOOT VER=2.10 ADDR=16"}, {"", 0, "STATUS", "STATUS LOADED RECORDS=4 BYTES=5"},
    {"", 0, "D4", "DOWNLOAD!"}, {"", 0, "OOTi", "VELTA BOOT VER=2.10 ADDR=16"}, {"", 0, "D4", "DOWNLOAD!"},
    {"", 0, "STATUS", "STATUS LOADED RECORDS=0 BYTES=0"}};
// Past offset FFFF the data of an 02 segment goes on at the segment's start (10000), under an 04
// base at 20000.
const Step Segments[] = {
    {"", 0, "D:020000021000EC", "OK"}, {"", 0, "D:02FFFF00AABB9B", "OK"}, {"", 0, "D:00000001FF", "DOWNLOAD!"},
    {"", 0, "V:020000021000EC", "OK"}, {"", 0, "V:02FFFF00AABB9B", "OK"}, {"", 0, "V:020000040001F9", "OK"},
    {"", 0, "V:02FFFF00AABB9B", "ERROR VERIFY 00020000"}};
// A request to a device of 200 us a record and 3 ms more a row of two records stored, the time it
// comes and the time the device is done with it (us): it takes one at a time.
const struct TimedStep { qint64 us; const char* datagram; qint64 doneUs; } Timed[] = {
    {0, "D0", 200}, {0, "D1", 3400}, {100, "STATUS", 3400}, {3400, "D1", 3600}, {5000, "D2", 5200}, {5000, "D3", 8400},
    {9000, "D4", 9200}, {9000, "V0", 9400}, {9000, "V1", 9600}, {9000, "V2", 9800}, {9000, "V3", 10000},
    {10500, "OOTi", 10500}, {10500, "D:0100400011AF", 10700}};
// clang-format on
} // namespace

class TestDevsim : public QObject {
    Q_OBJECT

private slots:
    void replies_data() { addRows(ReplyRows); }
    void replies() {
        const ReplyRow& r = ReplyRows[fetchRow()];
        QCOMPARE(DeviceModel().handle(r.datagram).value_or("<none>"),
                 *r.reply ? QByteArray(r.reply) + "\r\n" : "<none>");
    }

    // Walks through one device each, step by step.
    void walks() {
        for (const std::span<const Step> walk :
             {std::span<const Step>(OneImage), std::span<const Step>(OneClient),
              std::span<const Step>(Abandoned), std::span<const Step>(Segments)}) {
            DeviceModel device;
            for (const Step& step : walk) {
                QByteArray got =
                    device.handle(request(step.datagram), step.client, step.ms).value_or("<none>");
                if (device.takeDownloadCompleted())
                    got = got.trimmed() + '!';
                QCOMPARE(joined(step.client, step.ms, step.datagram, got.trimmed()),
                         joined(step.client, step.ms, step.datagram, step.reply));
            }
        }
    }

    // Records take the device's time, a row write more; other commands wait their turn only.
    void deviceTime() {
        DeviceModel device({.rowEvery = 2});
        DeviceTime time(200000, 3000000);
        for (const TimedStep& step : Timed) {
            (void)device.handle(request(step.datagram));
            QCOMPARE(joined(step.us, step.datagram, time.done(step.us * 1000, device.lastWork()) / 1000),
                     joined(step.us, step.datagram, step.doneUs));
        }
        QCOMPARE(DeviceTime(0, 1000).done(5, DeviceModel::Work::RowWrite, 1.2), 1205); // a row varies
    }

    // The image is bounded in bytes, and in runs: scattered one-byte records cost memory beyond
    // their bytes. A record that joins a run is still taken.
    void imageBounded() {
        DeviceModel big, scattered;
        QByteArray reply;
        quint32 at = 0;
        while ((reply = recordAt(big, at, QByteArray(128, 'x'))) == "OK")
            at += 128;
        QVERIFY(reply == "ERROR IMAGE FULL" && at == DeviceModel::MaxImageBytes);
        int taken = 0;
        for (quint32 a = 0; a < 2 * DeviceModel::MaxImageRuns + 4; a += 2)
            taken += recordAt(scattered, a, "x") == "OK";
        QCOMPARE(taken, DeviceModel::MaxImageRuns);
        QCOMPARE(recordAt(scattered, 0xFFFF, "y"), "ERROR IMAGE FULL");
        QCOMPARE(recordAt(scattered, 0x1FFFD, "y", true), "OK");
    }

    // In this process: it never answers its own endpoint and lets every Nth datagram go as lost.
    void server() {
        SimServer server(options({"--drop-every", "2"}));
        QVERIFY(server.start());
        for (const char* own : {"127.0.0.1", "::ffff:127.0.0.1", "127.0.0.2"}) // the last is not
            server.receive("VER\r\n", QHostAddress(QString::fromLatin1(own)), server.port());
        QCOMPARE(server.received(), 1u);
        LoopbackPeer peer, other;
        for (const char* d : {"VER\r\n", "VER\r\n", "OOT:0100400011AE\r\n", "STATUS\r\n"})
            server.receive(d, QHostAddress::LocalHost, peer.port());
        QCOMPARE(peer.take(2), (QList<QByteArray>{"VER=2.10\r\n", "STATUS IDLE RECORDS=0 BYTES=0\r\n"}));
        // Unknown text is answered a few times a second per sender, then not; others still are.
        SimServer quiet(options({}));
        QVERIFY(quiet.start());
        for (int i = 0; i < 30; ++i)
            quiet.receive("HELLO\r\n", QHostAddress::LocalHost, peer.port());
        quiet.receive("HELLO\r\n", QHostAddress::LocalHost, other.port());
        QCOMPARE(peer.take(10).size(), 10);
        QCOMPARE(other.take(1), QList<QByteArray>{"UNKNOWN COMMAND\r\n"});
        QVERIFY(peer.waiting().isEmpty());
    }

    // Replies wait for the device in the order of their requests, and only so many: beyond that
    // a request is dropped and counted.
    void replyQueue() {
        SimServer busy(options({"--record-us", "200", "--row-ms", "1000", "--row-every", "2"}));
        QVERIFY(busy.start());
        LoopbackPeer peer;
        for (const char* d : {"D0", "UART 2,7", "D1", "STATUS", "D2", "OOTi"})
            busy.receive(request(d), QHostAddress::LocalHost, peer.port());
        QVERIFY(busy.waiting().size() >= 4); // D1 writes a row for a second: it and all after it wait
        QList<QByteArray> got;
        (void)QTest::qWaitFor([&] { return (got += peer.waiting()).size() >= 6; }, 5000);
        QCOMPARE(got, (QList<QByteArray>{"OK\r\n", "UART 2,7 ON\r\n", "OK\r\n",
                                         "STATUS LOADING RECORDS=2 BYTES=3\r\n", "OK\r\n",
                                         "VELTA BOOT VER=2.10 ADDR=16\r\n"}));
        SimServer late(options({"--delay-ms", "600000"}));
        QVERIFY(late.start());
        for (qsizetype i = 0; i < ReplyQueue::MaxWaiting + 3; ++i)
            late.receive("VER\r\n", QHostAddress::LocalHost, peer.port());
        QCOMPARE(joined(late.waiting().size(), late.waiting().dropped()), joined(ReplyQueue::MaxWaiting, 3));
    }

    // Requests and replies lost, twice, or late and out of order, every draw from the seed.
    void badLine() {
        const auto answered = [](const QStringList& args) {
            SimServer server(options(args));
            (void)server.start();
            LoopbackPeer peer;
            QList<QByteArray> got;
            for (int i = 0; i < 200; ++i) {
                server.receive("OOT$" + QByteArray::number(i, 16).rightJustified(2, '0') + "\r\n",
                               QHostAddress::LocalHost, peer.port());
                got += peer.waiting(); // more than the socket's buffer holds
            }
            const int all = args.contains("--duplicate-lag-us") ? 400 : 200; // late ones are waited for
            if (args.contains("--jitter-ms") || all > 200)
                (void)QTest::qWaitFor([&] { return (got += peer.waiting()).size() >= all; }, 5000);
            return got;
        };
        const QList<QByteArray> lossy = answered({"--loss", "30", "--seed", "7"});
        QVERIFY2(lossy.size() > 80 && lossy.size() < 120, qPrintable(QString::number(lossy.size()))); // 49%
        QCOMPARE(answered({"--loss", "30", "--seed", "7"}), lossy);
        QVERIFY(answered({"--loss", "30", "--seed", "8"}) != lossy);
        QCOMPARE(answered({"--loss-requests", "100"}).size() + answered({"--loss-replies", "100"}).size(), 0);
        const QList<QByteArray> twice = answered({"--duplicate", "100"});
        QCOMPARE(joined(twice.size(), twice[0], twice[1], twice[2]),
                 "400 ADDR SET 00\r\n ADDR SET 00\r\n ADDR SET 01\r\n");
        // Copies 50 to 60 ms behind: every first copy comes before them, and every reply twice.
        QList<QByteArray> lagging = answered({"--duplicate", "100", "--duplicate-lag-us", "50000-60000"});
        QCOMPARE(joined(lagging.size(), lagging[0], lagging[1]), "400 ADDR SET 00\r\n ADDR SET 01\r\n");
        std::sort(lagging.begin(), lagging.end());
        QCOMPARE(lagging, [&] {
            QList<QByteArray> both = twice;
            std::sort(both.begin(), both.end());
            return both;
        }());
        QList<QByteArray> late = answered({"--jitter-ms", "30"}), inOrder = late;
        std::sort(inOrder.begin(), inOrder.end(), [](const QByteArray& a, const QByteArray& b) {
            return a.mid(9).toInt(nullptr, 16) < b.mid(9).toInt(nullptr, 16);
        });
        QVERIFY(late.size() == 200 && late != inOrder);
    }

    // $D: a folder of the test's; the image is written over nothing but a regular file.
    void usageErrors() {
        QTemporaryDir dir;
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
        QVERIFY(QFile::link(dir.filePath("elsewhere"), dir.filePath("link")));
        // clang-format off
        const char* const rows[][3] = {
            {"--image-out", "$D/fifo", "--image-out $D/fifo: not a regular file"}, {"--bogus", "", "Unknown option 'bogus'."},
            {"--image-out", "$D/link", "--image-out $D/link: not a regular file"}, {"extra", "", "unexpected argument 'extra'"},
            {"--port", "65536", "--port needs a whole number from 0 to 65535, not '65536'"},
            {"--address", "16,16", "--address needs device addresses from 0 to 255, each once, not '16,16'"},
            {"--bind", "nowhere", "--bind needs an IP address, not 'nowhere'"}, {"--quiet", "--verbose", "--quiet and --verbose cannot be used together"},
            {"--loss", "1e1", "--loss needs a percentage from 0 to 100, not '1e1'"},
            {"--duplicate", "100.5", "--duplicate needs a percentage from 0 to 100, not '100.5'"},
            {"--loss", "nan", "--loss needs a percentage from 0 to 100, not 'nan'"}, {"--loss", "100", ""},
            {"--loss-requests", "NaN", "--loss-requests needs a percentage from 0 to 100, not 'NaN'"},
            {"--loss-replies", "inf", "--loss-replies needs a percentage from 0 to 100, not 'inf'"}, {"--loss", ".5", ""},
            {"--duplicate", " 5", "--duplicate needs a percentage from 0 to 100, not ' 5'"}, {"--duplicate", "0.25", ""},
            {"--jitter-ms", "+5", "--jitter-ms needs a whole number from 0 to 600000, not '+5'"},
            {"--row-every", "0", "--row-every needs a whole number from 1 to 1000000, not '0'"},
            {"--duplicate-lag-us", "2000-200", "--duplicate-lag-us needs microseconds N or a range N-M, not '2000-200'"},
            {"--duplicate-lag-us", "200-", "--duplicate-lag-us needs microseconds N or a range N-M, not '200-'"},
            {"--duplicate-lag-us", "1-2-3", "--duplicate-lag-us needs microseconds N or a range N-M, not '1-2-3'"},
            {"--duplicate-lag-us", "200-2000", ""}, {"--duplicate-lag-us", "600000000", ""}};
        // clang-format on
        for (const auto& [option, value, message] : rows) {
            const auto parsed =
                parseSimArguments(QStringList{option, QString(value).replace("$D", dir.path())}.filter(
                    QRegularExpression(".")));
            QCOMPARE(parsed ? QString() : parsed.failure().detail,
                     QString(message).replace("$D", dir.path()));
        }
        const SimOptions defaults = options({}); // as the help text gives them
        QCOMPARE(joined(defaults.recordUs, defaults.rowMs, defaults.rowEvery), "0 0 1");
    }

    void programOnLoopback() {
        QTemporaryDir dir;
        const QString image = dir.filePath("image.hex");
        SimulatorProcess sim(VELTA_DEVSIM, {"--address", "247", "--image-out", image, "--delay-ms", "50"});
        LoopbackPeer peer;
        peer.sendTo(sim.port(), "MDB 16,VER\r\n"); // silence: another address
        peer.sendTo(sim.port(), "MDB 247,OOTi\r\n");
        for (const QByteArray& r : SmallFile)
            peer.sendTo(sim.port(), "MDC 247,\"OOT" + r + "\"\r\n");
        QCOMPARE(peer.take(6), (QList<QByteArray>{"VELTA BOOT VER=2.10 ADDR=247\r\n", "OK\r\n", "OK\r\n",
                                                  "OK\r\n", "OK\r\n", "DOWNLOAD\r\n"}));
        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), ":020000040800F2\r\n:0500300002337ABEEF6F\r\n:00000001FF\r\n");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"image.hex"}); // through a rename
        QCOMPARE(::kill(pid_t(sim.process().processId()), SIGTERM), 0); // a signal ends it cleanly
        QVERIFY(sim.process().waitForFinished(5000));
        QCOMPARE(sim.process().exitCode(), SimExit::Ok);
    }
};

QTEST_GUILESS_MAIN(TestDevsim)
#include "test_devsim.moc"
