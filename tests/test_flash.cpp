// The command-line flasher: its options on their own, and the real program against the device
// simulator and scripted devices on loopback.
#include "flash_options.h"
#include "flash_session.h"
#include "hex_loader.h"
#include "intel_hex.h"
#include "printable.h"
#include "progress_view.h"
#include "simulator_process.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <algorithm>
#include <functional>
#include <list>

#include <sys/stat.h>

// Shows the whole text when a part of it is missing.
#define VERIFY_HAS(text, part) QVERIFY2((text).contains(part), qPrintable(text))

namespace {
// Data records of 16 random bytes with an 04 record every 200, then the end-of-file record.
QByteArray makeHex(int dataRecords) {
    QRandomGenerator rng(7);
    QByteArray out;
    for (int i = 0; i < dataRecords; ++i) {
        if (i % 200 == 0)
            out += formatHexRecord(0x04, 0, QByteArray(1, 0) + char(i / 200));
        QByteArray data(16, 0);
        rng.fillRange(reinterpret_cast<quint32*>(data.data()), 4);
        out += formatHexRecord(0x00, quint16(i % 200 * 16), data);
    }
    return out + formatHexRecord(0x01, 0, {});
}

HexImage imageOf(const QByteArray& hex) {
    auto loaded = loadHexFile(hex);
    return std::holds_alternative<HexImage>(loaded) ? std::get<HexImage>(loaded) : HexImage();
}

// A whole transfer on the wire: the boot-information request, every line of the file, then every
// line again with ':' sent as '#'; blank lines are not sent.
QList<QByteArray> expectedWire(const QByteArray& hex, const QByteArray& prefix = "MDB 16,") {
    QList<QByteArray> out{prefix + "OOTi\r\n"};
    for (const char mark : {':', '#'})
        for (const QByteArray& line : hex.split('\n'))
            if (!line.trimmed().isEmpty())
                out << prefix + "OOT" + line.trimmed().replace(':', mark) + "\r\n";
    return out;
}

// A device played by the test: it records every datagram and answers from a script.
struct ScriptedDevice : QObject {
    QUdpSocket socket;
    QList<QByteArray> received;
    QList<quint16> senderPorts;

    explicit ScriptedDevice(std::function<QList<QByteArray>(const QByteArray&)> answer = bootloader) {
        if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0))
            qFatal("cannot bind the scripted device");
        connect(&socket, &QUdpSocket::readyRead, this, [this, answer] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket.receiveDatagram();
                received << d.data();
                senderPorts << quint16(d.senderPort());
                for (const QByteArray& reply : answer(d.data()))
                    socket.writeDatagram(reply, d.senderAddress(), quint16(d.senderPort()));
            }
        });
    }
    [[nodiscard]] QString endpoint() const { return "127.0.0.1:" + QString::number(socket.localPort()); }

    // Answers as a bootloader that accepts every record.
    static QList<QByteArray> bootloader(const QByteArray& d) {
        if (d.contains("OOTi"))
            return {"VELTA BOOT VER=9.9\r\n"};
        return {d.contains("00000001FF") ? "DOWNLOAD\r\n" : "OK\r\n"};
    }
};

struct FlashRun {
    int exitCode;
    QString out, err;
};

// Runs the flasher to its end while this process keeps answering for scripted devices.
FlashRun runFlash(const QStringList& args) {
    QProcess p;
    p.start(VELTA_FLASH, args);
    (void)QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 20000);
    p.kill(); // one still running fails as a crash
    p.waitForFinished(2000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2, QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}
} // namespace

class TestFlash : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir; // every file in it is written afresh by the test that reads it

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString write(const QByteArray& bytes) {
        QFile f(path("fw.hex"));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(f.fileName()));
        return f.fileName();
    }
    static QString read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString(f.readAll()) : QString();
    }

private slots:
    // The session on its own, fed a script of replies ("<text", "_" for a blank) and timer runs
    // ("t"). The trace
    // shows what it sent after each event: i (boot information), Dk / Vk (line k in download or
    // verify form), R (the same datagram again), s (waits for late copies), . (nothing); then
    // the result and the lines answered.
    void sessionScripts_data() {
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QString>("message");
        const struct {
            const char* name;
            int lines;
            const char *script, *trace, *message;
        } rows[] = {
            {"good device", 3, "<VER=2 <OK <OK <DOWNLOAD <OK <OK <DOWNLOAD", "i D1 D2 D3 V1 V2 V3 . ok 6", ""},
            {"boot info answered OK", 2, "<OK <OK <DOWNLOAD <OK <DOWNLOAD", "i D1 D2 V1 V2 . ok 4", ""},
            {"both words: DOWNLOAD wins", 2, "<VER= <OK_DOWNLOAD", "i D1 . device error 0",
             "the download pass ended early at line 1 of 2"},
            {"DOWNLOAD to the first record", 14, "<VER= <DOWNLOAD", "i D1 . device error 0",
             "the download pass ended early at line 1 of 14: the device answered \"DOWNLOAD\""},
            {"DOWNLOAD to boot info", 2, "<DOWNLOAD", "i . device error 0",
             "answered \"DOWNLOAD\" to the boot-information request"},
            {"closing DOWNLOAD twice", 3, "<VER= <OK <OK <DOWNLOAD <DOWNLOAD <OK <OK <DOWNLOAD <DOWNLOAD",
             "i D1 D2 D3 V1 . V2 V3 . . ok 6", ""},
            {"late DOWNLOAD inside the next pass", 3, "<VER= <OK <OK <DOWNLOAD <OK <DOWNLOAD",
             "i D1 D2 D3 V1 V2 . device error 4", "the verify pass ended early at line 2 of 3"},
            {"VER= answers no record", 2, "<VER= <VER=2 t <OK t <DOWNLOAD <OK <DOWNLOAD",
             "i D1 . R s D2 V1 V2 . ok 4", ""},
            {"OK to the last line", 2, "<VER= <OK <OK", "i D1 D2 . device error 1",
             "did not answer \"DOWNLOAD\" to the last line (line 2 of 2 in the download pass)"},
            {"ERROR to a resent line", 2, "<VER= t <ERROR_x", "i D1 R . device error 0",
             "the device answered \"ERROR x\" to line 1 of 2 in the download pass"},
            {"late ERROR while settling", 2, "<VER= t <OK <ERROR", "i D1 R s . device error 1", "ERROR"},
            {"late copies dropped", 2, "<VER= t <OK <OK <OK t <DOWNLOAD <OK <DOWNLOAD",
             "i D1 R s . . D2 V1 V2 . ok 4", ""},
            {"late DOWNLOAD after OK", 2, "<VER= t <OK <DOWNLOAD", "i D1 R s . device error 1",
             "ended early at line 1 of 2"},
            {"one line: copies settle first", 1, "<VER= <DOWNLOAD <DOWNLOAD t <DOWNLOAD",
             "i D1 s . V1 . ok 2", ""},
            {"no reply", 2, "<VER= t t t t", "i D1 R R R . timeout 0",
             "no reply to line 1 of 2 in the download pass after 4 sends (timeout 3 s)"},
            {"no usable reply", 1, "<ok t t t <STATUS t", "i . R R R . . timeout 0",
             "no usable reply to the boot-information request after 4 sends (timeout 3 s); last reply "
             "\"STATUS\""},
            {"anything after the end", 1, "<VER= <DOWNLOAD t <DOWNLOAD <ERROR t", "i D1 s V1 . . . ok 2", ""},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << r.lines << QString(r.script) << QString(r.trace) << QString(r.message);
    }

    void sessionScripts() {
        QFETCH(int, lines);
        QFETCH(QString, script);
        QFETCH(QString, message);
        LineStore file;
        for (int i = 1; i <= lines; ++i)
            file.append(":L" + QByteArray::number(i));
        FlashSession session(file, FlashSettings{false, "16", 3, 3000});
        QStringList trace;
        const auto record = [&](const FlashAction& a) {
            const QByteArray d = session.datagram();
            if (a.timer == FlashAction::Timer::StartSettle)
                trace << "s";
            else if (!a.send)
                trace << ".";
            else if (d == "OOTi\r\n")
                trace << "i";
            else
                trace << QString("%1%2").arg(d.startsWith("OOT:") ? 'D' : 'V').arg(QString(d.mid(5)).trimmed());
        };
        record(session.start());
        QByteArray last = session.datagram();
        for (const QString& event : script.split(' ')) {
            const FlashAction a = event == "t" ? session.onTimer() : session.onReply(event.mid(1).replace('_', ' ').toLatin1() + "\r\n");
            record(a);
            if (a.send && session.datagram() == last && event == "t")
                trace.last() = "R";
            last = session.datagram();
        }
        static const char* const results[] = {"running", "ok", "device error", "timeout", "network error"};
        trace << results[int(session.result())] << QString::number(session.acknowledged());
        QTEST(trace.join(' '), "trace");
        QVERIFY2(session.message().contains(message), qPrintable(session.message()));
        QCOMPARE(session.acknowledged() == 2 * lines, session.result() == FlashResult::Success);
    }

    void parseArguments_data() {
        QTest::addColumn<QString>("args"); // split at blanks
        // Accepted: "file timeout-ms retries gateway-address|direct local-port|drawn host[:port]...";
        // refused: the end of the message.
        QTest::addColumn<QString>("outcome");
        const struct {
            const char *name, *args, *outcome;
        } rows[] = {
            {"defaults", "f dev1", "f 3000 3 16 drawn dev1"},
            {"decimals", "--timeout 0.25 f 10.0.0.1:5000", "f 250 3 16 drawn 10.0.0.1:5000"},
            {"leading point", "--timeout=.5 --retries 0 f [::1]:7", "f 500 0 16 drawn ::1:7"},
            {"direct, any port", "--direct --local-port 0 f fe80::1", "f 3000 3 direct 0 fe80::1"},
            {"gateway 7", "--gateway 007 --local-port 6000 f a-b.c", "f 3000 3 7 6000 a-b.c"},
            {"no host", "f", "missing HOST"},
            {"port 0", "--port 0 f h", "--port needs a port from 1 to 65535, not '0'"},
            {"local port no room", "--local-port 65535 f h i", "65535 leaves no room for 2 devices"},
            {"timeout negative", "--timeout -1 f h", "seconds from 0.001 to 3600, not '-1'"},
            {"timeout zero", "--timeout 0 f h", "not '0'"},
            {"timeout too long", "--timeout 3601 f h", "not '3601'"},
            {"timeout two points", "--timeout 1.2.3 f h", "not '1.2.3'"},
            {"retries too many", "--retries 1001 f h", "a whole number from 0 to 1000, not '1001'"},
            {"gateway 256", "--gateway 256 f h", "a device address from 0 to 255, not '256'"},
            {"gateway, direct", "--gateway 3 --direct f h", "--direct and --gateway cannot be used together"},
            {"host not a name", "f bad_host", "bad host 'bad_host': not a host name or IP address"},
            {"host port 0", "f h:0", "bad host 'h:0': the port must be a whole number from 1 to 65535"},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString(r.args) << QString(r.outcome);
    }

    void parseArguments() {
        QFETCH(QString, args);
        QFETCH(QString, outcome);
        const auto parsed = parseFlashArguments(args.split(' '));
        const auto* error = std::get_if<FlashUsageError>(&parsed);
        QString got = error ? error->message : QString();
        if (const auto* o = std::get_if<FlashOptions>(&parsed)) {
            got = QString("%1 %2 %3 %4 %5").arg(o->file).arg(o->timeoutMs).arg(o->retries);
            got = got.arg(o->gateway ? o->gatewayAddress : "direct",
                          o->localPort ? QString::number(*o->localPort) : "drawn");
            for (const HostEntry& h : o->hosts)
                got += " " + h.host + (h.port ? ":" + QString::number(*h.port) : "");
        }
        QCOMPARE(got.right(outcome.size()), outcome);
    }

    // Quiet runs against a device that answers as a bootloader, except that to datagrams containing
    // `match` it gives `reply` with CR LF ("match>" for none). $F (the file), $H (the device), $D
    // (no such folder) and $P (a local port in use) stand for real ones.
    void outcomes_data() {
        QTest::addColumn<QString>("args"); // split at blanks
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("answer"); // "match>reply"
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("sends"); // datagrams containing `match`
        QTest::addColumn<QString>("message");
        const QByteArray checksum = makeHex(5).replace(":10002000", ":10002100"); // line 4: sum unfit
        const QByteArray two = ":0400000001020304F2\r\n:00000001FF\r\n";
        using namespace ExitCode;
        const struct {
            const char *name, *args, *answer;
            QByteArray content;
            int exitCode, sends;
            const char* message;
        } rows[] = {
            {"verify mismatch", "$F $H", "OOT#04>ERROR VERIFY 00000000", two, DeviceError, 1,
             "$H: the device answered \"ERROR VERIFY 00000000\" to line 1 of 2 in the verify pass"},
            {"silent in verify", "--timeout 0.2 --retries 2 $F $H", "OOT#00>", two, Timeout, 3,
             "$H: no reply to line 2 of 2 in the verify pass after 3 sends (timeout 0.2 s)"},
            {"no rule matches", "--timeout 0.2 --retries 0 $F $H", "OOTi>UNKNOWN COMMAND", two, Timeout, 1,
             "$H: no usable reply to the boot-information request after 1 send (timeout 0.2 s); last reply "
             "\"UNKNOWN COMMAND\""},
            {"no check", "--no-check $F $H", "OOT:0400000001020304F3>ERROR bad checksum",
             ":0400000001020304F3\r\n:00000001FF\r\n", DeviceError, 1,
             "$H: the device answered \"ERROR bad checksum\" to line 1 of 2 in the download pass"},
            {"OK to the last line", "$F $H", "OOT:00>OK", two, DeviceError, 1,
             "$H: the device did not answer \"DOWNLOAD\" to the last line (line 2 of 2"},
            // Refused before anything is sent.
            {"no arguments", "", ">", two, BadArguments, 0, "missing FILE.hex and HOST"},
            {"unknown option", "--bogus $F $H", ">", two, BadArguments, 0, "Unknown option 'bogus'"},
            {"same device twice", "$F $H $H", ">", two, BadArguments, 0, "$H and $H are the same device"},
            {"log in no folder", "--log $D/t $F $H", ">", two, BadArguments, 0,
             "cannot create log file $D/t"},
            {"bad checksum", "$F $H", ">", checksum, BadFile, 0, "$F:4: bad checksum"},
            {"no end record", "$F $H", ">", ":01000000AB54\r\n", BadFile, 0,
             "$F: missing end-of-file record"},
            {"tab kept by the loader", "$F $H", ">", ":00000001FF\t\r\n", BadFile, 0,
             "$F:1: bad hex digit"},
            {"9001 lines", "$F $H", ">", makeHex(8955), BadFile, 0, "$F: more than 9000 lines"},
            {"missing file", "$F $H", ">", QByteArray(), BadFile, 0, "cannot read $F: File not found"},
            {"a FIFO for the file", "$Q $H", ">", two, BadFile, 0, "cannot read $Q: Path/File access error"},
            {"an entry of more than 1 MiB", "$F $H", ">", QByteArray(1024 * 1024 + 1, 'A'), BadFile, 0,
             "$F: an entry longer than 1048576 bytes"},
            {"log onto the file", "--log $F $F $H", ">", two, BadArguments, 0, "--log $F is the file to load"},
            {"log onto the file by a link", "--log $L $F $H", ">", two, BadArguments, 0,
             "--log $L is the file to load"},
            {"log into a FIFO", "--log $Q $F $H", ">", two, BadArguments, 0, "--log $Q: not a regular file"},
            {"local port in use", "--local-port $P $F $H", ">", two, NetworkError, 0,
             "$H: cannot bind local port $P"},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString(r.args) << r.content << QByteArray(r.answer) << r.exitCode
                                  << r.sends << QString(r.message);
    }

    void outcomes() {
        QFETCH(QString, args);
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);
        const QByteArray match = answer.left(answer.indexOf('>'));
        const QByteArray reply = answer.mid(match.size() + 1);
        ScriptedDevice device([&](const QByteArray& d) {
            if (match.isEmpty() || !d.contains(match))
                return ScriptedDevice::bootloader(d);
            return reply.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{reply + "\r\n"};
        });
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress));
        const QString file = content.isNull() ? path("absent.hex") : write(content);
        QFile::remove(path("link"));
        QVERIFY(QFile::link(file, path("link")));
        if (!QFileInfo::exists(path("fifo")))
            QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
        const auto real = [&](QString text) {
            return text.replace("$F", file)
                .replace("$L", path("link"))
                .replace("$Q", path("fifo"))
                .replace("$H", device.endpoint())
                .replace("$D", path("no/such"))
                .replace("$P", QString::number(taken.localPort()));
        };
        const FlashRun run = runFlash(real("-q " + args).split(' ', Qt::SkipEmptyParts));
        QTEST(run.exitCode, "exitCode");
        QVERIFY2(run.err.startsWith("velta-flash: " + real(message)), qPrintable(run.err));
        QCOMPARE(run.out, QString()); // errors only
        QTest::qWait(50);
        QTEST(int(std::count_if(device.received.cbegin(), device.received.cend(),
                                [&](const QByteArray& d) { return d.contains(match); })),
              "sends");
    }

    // A transcript that cannot be written (a full disk, played by a file size limit) fails the
    // run with its own code, although the device itself was loaded.
    void logThatCannotBeWritten() {
        ScriptedDevice device;
        const QString script = QString("trap '' XFSZ; ulimit -f 1; exec %1 --log %2 %3 %4")
                                   .arg(VELTA_FLASH, path("t.log"), write(makeHex(40)), device.endpoint());
        QProcess p;
        p.start("bash", {"-c", script});
        QVERIFY(QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 20000));
        QCOMPARE(p.exitCode(), ExitCode::LogError);
        VERIFY_HAS(QString(p.readAllStandardError()), "velta-flash: cannot write log file " + path("t.log"));
        VERIFY_HAS(QString(p.readAllStandardOutput()), QRegularExpression("\\s+ok\\s+84/84\\s"));
    }

    void help() {
        const FlashRun run = runFlash({"--help"});
        QCOMPARE(run.exitCode, 0);
        for (const char* part : {"--timeout SECONDS", "--log FILE", "2  bad arguments", "3  bad file",
                                 "4  timeout", "5  network error", "smallest code wins"})
            QVERIFY2(run.out.contains(part), part);
    }

    // A whole flash: the bytes on the wire as the window's, the table and the transcript, with
    // the gateway form, direct, and by name.
    void wholeFlash_data() {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QByteArray>("prefix");
        QTest::newRow("gateway 7, transcript") << "--gateway 7 --log $L 127.0.0.1" << QByteArray("MDB 7,");
        QTest::newRow("direct") << "--direct 127.0.0.1" << QByteArray("");
        QTest::newRow("by name, any local port") << "--local-port 0 localhost" << QByteArray("MDB 16,");
    }

    void wholeFlash() {
        QFETCH(QString, options);
        QFETCH(QByteArray, prefix);
        const QByteArray hex = makeHex(450);
        QStringList wire;
        ScriptedDevice device([&](const QByteArray& d) {
            wire << printable(d, 1000);
            return ScriptedDevice::bootloader(d);
        });
        QStringList args = options.replace("$L", path("t.log")).split(' ');
        args.insert(args.size() - 1, write(hex));
        args.last() += ":" + QString::number(device.socket.localPort());
        const FlashRun run = runFlash(args);
        QCOMPARE(run.exitCode, 0);
        VERIFY_HAS(run.err, ": done, 454 lines downloaded and verified in");
        VERIFY_HAS(run.out, QRegularExpression("\\s+ok\\s+908/908\\s"));
        QCOMPARE(device.received, expectedWire(hex, prefix));
        QCOMPARE(device.senderPorts.count(device.senderPorts.first()), device.senderPorts.size()); // one socket
        if (!options.contains("--log"))
            return;
        const QRegularExpression shape(QString("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z %1 ([<>-]) (.*)$")
                                           .arg(QRegularExpression::escape(args.last())));
        QStringList sent, received, notes;
        for (const QString& row : read(path("t.log")).split('\n', Qt::SkipEmptyParts)) {
            const auto m = shape.match(row);
            QVERIFY2(m.hasMatch(), qPrintable(row));
            (m.captured(1) == ">" ? sent : m.captured(1) == "<" ? received : notes) << m.captured(2);
        }
        QCOMPARE(sent, wire);
        QCOMPARE(received.size(), wire.size());
        QCOMPARE(received.last(), "DOWNLOAD\\r\\n");
        // Without --local-port the port is drawn from the window's range.
        const auto start = QRegularExpression("^start, local port (\\d+), 454 lines$").match(notes.value(0));
        QVERIFY2(start.hasMatch() && start.captured(1).toInt() >= 5500 && start.captured(1).toInt() <= 6499,
                 qPrintable(notes.value(0)));
    }

    void lateRepliesAndStrangers() {
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress("127.0.0.2"), 0));
        int copiesOfFirst = 0;
        // Before each real answer a datagram from another address that would stop the transfer (or
        // move it on) if it were taken for the device's. The first copy of line 1 goes unanswered;
        // the resend is answered twice, as if the first reply had only been late.
        ScriptedDevice device([&](const QByteArray& d) -> QList<QByteArray> {
            stranger.writeDatagram(d.contains("OOTi") ? "ERROR\r\n" : "DOWNLOAD\r\n",
                                   QHostAddress(QHostAddress::LocalHost), device.senderPorts.last());
            if (d.contains("OOT:020000040000FA"))
                return ++copiesOfFirst == 1 ? QList<QByteArray>{} : QList<QByteArray>{"OK\r\n", "OK\r\n"};
            if (d.contains("OOTi")) // a huge answer: the transcript keeps its start and its length
                return QList<QByteArray>{"VER=9.9 " + QByteArray(65000, 'x')};
            return ScriptedDevice::bootloader(d);
        });
        const QByteArray hex = makeHex(4);
        const FlashRun run =
            runFlash({"--timeout", "0.5", "--log", path("t.log"), write(hex), device.endpoint()});
        QCOMPARE(run.exitCode, 0);
        QList<QByteArray> expected = expectedWire(hex);
        expected.insert(1, expected.at(1));
        QCOMPARE(device.received, expected);
        const QString log = read(path("t.log"));
        VERIFY_HAS(log, " - ignored 7 bytes from 127.0.0.2 port ");
        VERIFY_HAS(log, "VER=9.9 " + QString(248, 'x') + " ... (65008 bytes)\n");
        QVERIFY(log.size() < 10000);
    }

    // Four at once: the third answers ERROR to line 20, the fourth loses datagrams and recovers.
    void fourDevices() {
        const QByteArray hex = makeHex(60);
        const QStringList faults[] = {{}, {}, {"--error-at-line", "20"}, {"--drop-every", "50"}};
        std::list<SimulatorProcess> sims;
        QStringList hosts;
        for (int i = 0; i < 4; ++i) {
            hosts << sims.emplace_back(VELTA_DEVSIM, faults[i] + QStringList{"--quiet", "--image-out", path(QString::number(i))},
                                       QString("127.0.0.%1").arg(i + 1))
                         .endpoint();
            QVERIFY(!hosts.last().isEmpty());
        }
        const FlashRun run =
            runFlash(QStringList{"--timeout", "0.5", "--log", path("t.log"), write(hex)} + hosts);
        QCOMPARE(run.exitCode, ExitCode::DeviceError);
        QString table = "^HOST .*\n";
        for (int i = 0; i < 4; ++i) {
            table += QRegularExpression::escape(hosts[i]) +
                     (i == 2 ? "\\s+device error\\s+19/124\\s.*\n" : "\\s+ok\\s+124/124\\s.*\n");
            if (i != 2)
                QCOMPARE(imageOf(read(path(QString::number(i))).toLatin1()), imageOf(hex));
        }
        QVERIFY2(QRegularExpression(table + "$").match(run.out).hasMatch(), qPrintable(run.out));
        VERIFY_HAS(run.err, hosts[2] + ": the device answered \"ERROR\" to line 20");
        VERIFY_HAS(read(path("t.log")), hosts[3] + " - timeout, resend");
    }

    void exitCodesAndReports() {
        using R = FlashResult;
        QCOMPARE(exitCodeFor({R::Success, R::NetworkError}), 5);
        QCOMPARE(exitCodeFor({R::NetworkError, R::Timeout}), 4);
        QCOMPARE(exitCodeFor({R::Timeout, R::DeviceError, R::NetworkError}), 1); // the smallest code wins
        const DeviceProgress a{"127.0.0.1:111", FlashPass::Verify, R::Success, 10, 10, 20, 2000000, {}};
        DeviceProgress b{"10.1.1.1:5000", FlashPass::Download, R::Timeout, 3, 10, 2, 1000000, "no reply"};
        QCOMPARE(summaryTable({a, b}), "HOST           RESULT   LINES  TIME     RATE\n"
                                       "127.0.0.1:111  ok       20/20  2.000 s  10 lines/s\n"
                                       "10.1.1.1:5000  timeout   2/20  1.000 s   2 lines/s\n");
        QCOMPARE(progressLine(b, 13, 200), "10.1.1.1:5000  FAILED    timeout: no reply");
        b.result = R::Running;
        QCOMPARE(progressLine(b, 15, 200), "10.1.1.1:5000    download   3/10      2 lines/s  0:09 left");
        QCOMPARE(progressLine(b, 15, 20).size(), 20);
    }
};

QTEST_GUILESS_MAIN(TestFlash)
#include "test_flash.moc"
