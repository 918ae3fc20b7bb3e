// The command-line flasher: its session on its own, and the real program against the device
// simulator and scripted devices on loopback.
#include "commands.h"
#include "flash_options.h"
#include "flash_session.h"
#include "hex_loader.h"
#include "intel_hex.h"
#include "progress_view.h"
#include "transfer_engine.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <functional>
#include <memory>

namespace {
const QString FlashProgram = QStringLiteral(VELTA_BUILD_DIR "/velta-flash");
const QString SimProgram = QStringLiteral(VELTA_BUILD_DIR "/velta-devsim");
constexpr int ProcessLimitMs = 20000;

const QString L1 = QStringLiteral(":0400000001020304F2");
const QString L2 = QStringLiteral(":00000001FF");

// Data records of 16 random bytes with an 04 record every 200, then the end-of-file record.
QByteArray makeHex(int dataRecords, quint32 seed = 7) {
    QRandomGenerator rng(seed);
    QByteArray out;
    quint16 address = 0;
    for (int i = 0; i < dataRecords; ++i) {
        if (i % 200 == 0) {
            const char upper[2] = {0, char(i / 200)};
            out += formatHexRecord(0x04, 0, QByteArrayView(upper, 2));
            address = 0;
        }
        QByteArray data(16, 0);
        for (char& b : data)
            b = char(rng.bounded(256));
        out += formatHexRecord(0x00, address, data);
        address = quint16(address + 16);
    }
    out += formatHexRecord(0x01, 0, {});
    return out;
}

QStringList linesOf(const QByteArray& hex) {
    return std::get<QStringList>(readHexLines(hex, TransferState::MaxLines));
}

HexImage imageOf(const QByteArray& hex) {
    auto loaded = loadHexFile(hex);
    if (auto* problem = std::get_if<HexFileProblem>(&loaded))
        qFatal("bad image: %s", qPrintable(problem->reason));
    return std::get<HexImage>(loaded);
}

// What the window puts on the wire for a whole transfer that the device answers in full.
QList<QByteArray> expectedWire(const QStringList& lines, bool gateway, const QString& address) {
    TransferState s;
    for (int i = 0; i < lines.size(); ++i)
        s.LineStore[size_t(i + 1)] = lines[i];
    s.LineCount = qint16(lines.size());
    s.TransferArmed = 1;
    const auto frame = [&](const QString& line) {
        return frameLine(line, gateway, address, GatewayForm::Bootloader).value().toLatin1();
    };
    QList<QByteArray> out{frame(Commands::BootInfo + Commands::CrLf)};
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < lines.size(); ++i)
            out << frame(transferStep(s).value().commandLine);
        (void)applyReply(u"DOWNLOAD", s);
    }
    return out;
}

QString actionCode(const FlashAction& a) {
    return QString(QLatin1Char(a.send ? 'S' : '-')) + QLatin1Char("KRWX"[int(a.timer)]);
}

// A device simulator on its own port of the given loopback address; stopped when destroyed.
class Sim {
public:
    explicit Sim(const QStringList& extra, const QString& bind = QStringLiteral("127.0.0.1")) : m_host(bind) {
        m_process.start(SimProgram, QStringList{QStringLiteral("--bind"), bind, QStringLiteral("--port"),
                                                QStringLiteral("0"), QStringLiteral("--quiet")} +
                                        extra);
        (void)QTest::qWaitFor(
            [&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 5000);
        const QString line = QString::fromLatin1(m_process.readLine()).trimmed();
        const auto match = QRegularExpression(QStringLiteral(":(\\d+)$")).match(line);
        m_port = match.hasMatch() ? match.captured(1).toUShort() : 0;
    }
    ~Sim() {
        m_process.terminate();
        if (!m_process.waitForFinished(2000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] QString endpoint() const { return m_host + QLatin1Char(':') + QString::number(m_port); }

private:
    QProcess m_process;
    QString m_host;
    quint16 m_port = 0;
};

// A device played by the test: it records every datagram and answers from a script.
class ScriptedDevice : public QObject {
public:
    using Answer = std::function<QList<QByteArray>(const QByteArray&)>;

    explicit ScriptedDevice(Answer answer = bootloader) : m_answer(std::move(answer)) {
        if (!m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0))
            qFatal("cannot bind the scripted device");
        connect(&m_socket, &QUdpSocket::readyRead, this, [this] {
            while (m_socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = m_socket.receiveDatagram();
                received << d.data();
                senderPorts << quint16(d.senderPort());
                for (const QByteArray& reply : m_answer(d.data()))
                    m_socket.writeDatagram(reply, d.senderAddress(), quint16(d.senderPort()));
            }
        });
    }
    [[nodiscard]] QString endpoint() const {
        return QStringLiteral("127.0.0.1:%1").arg(m_socket.localPort());
    }

    // Answers as a bootloader that accepts every record.
    static QList<QByteArray> bootloader(const QByteArray& d) {
        if (d.contains("OOTi"))
            return {"VELTA BOOT VER=9.9\r\n"};
        if (d.contains("00000001FF"))
            return {"DOWNLOAD\r\n"};
        return {"OK\r\n"};
    }

    QList<QByteArray> received;
    QList<quint16> senderPorts;

private:
    Answer m_answer;
    QUdpSocket m_socket;
};

struct FlashRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the flasher to its end while this process keeps answering for scripted devices.
FlashRun runFlash(const QStringList& args) {
    QProcess p;
    p.start(FlashProgram, args);
    (void)QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, ProcessLimitMs);
    FlashRun run;
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(2000);
        run.err = QStringLiteral("<still running>");
        return run;
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    run.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(p.readAllStandardError());
    return run;
}
} // namespace

class TestFlash : public QObject {
    Q_OBJECT

private:
    QString write(const QString& name, const QByteArray& bytes) {
        const QString path = m_dir->filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }
    QByteArray read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void sessionRoad_data() {
        QTest::addColumn<bool>("gateway");
        QTest::addColumn<int>("retries");
        QTest::addColumn<QStringList>("events"); // "<reply" or "t" (the timer ran out)
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QStringList>("actions"); // start, then one per event
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("acknowledged");
        QTest::addColumn<QString>("message");

        const QString v1 = QStringLiteral("#0400000001020304F2");
        const QString v2 = QStringLiteral("#00000001FF");
        const auto oot = [](const QString& l) { return QStringLiteral("OOT") + l + QStringLiteral("\r\n"); };
        const QString bi = QStringLiteral("OOTi\r\n");
        const QStringList road{QStringLiteral("<VELTA BOOT VER=2.10"), QStringLiteral("<OK"),
                               QStringLiteral("<DOWNLOAD\r\n"), QStringLiteral("<OK\r\n"),
                               QStringLiteral("<DOWNLOAD")};
        const QStringList allSent{bi, oot(L1), oot(L2), oot(v1), oot(v2)};
        const QStringList allActions{"SR", "SR", "SR", "SR", "SR", "-X"};
        const int ok = int(FlashResult::Success);

        QTest::newRow("whole road, direct")
            << false << 3 << road << allSent << allActions << ok << 4 << QString();
        QStringList wrapped;
        for (const QString& s : allSent)
            wrapped << QStringLiteral("MDB 16,") + s;
        QTest::newRow("whole road, gateway")
            << true << 3 << road << wrapped << allActions << ok << 4 << QString();
        QTest::newRow("error in download")
            << false << 3 << QStringList{"<VER=1", "<ERROR bad checksum\r\n"} << QStringList{bi, oot(L1)}
            << QStringList{"SR", "SR", "-X"} << int(FlashResult::DeviceError) << 0
            << QStringLiteral(
                   "the device answered \"ERROR bad checksum\" to line 1 of 2 in the download pass");
        QTest::newRow("error in verify")
            << false << 3 << QStringList{"<VER=1", "<OK", "<DOWNLOAD", "<ERROR VERIFY 00000000\r\n"}
            << QStringList{bi, oot(L1), oot(L2), oot(v1)} << QStringList{"SR", "SR", "SR", "SR", "-X"}
            << int(FlashResult::DeviceError) << 2
            << QStringLiteral(
                   "the device answered \"ERROR VERIFY 00000000\" to line 1 of 2 in the verify pass");
        QTest::newRow("ERROR before DOWNLOAD")
            << false << 3 << QStringList{"<VER=1", "<DOWNLOAD ERROR"} << QStringList{bi, oot(L1)}
            << QStringList{"SR", "SR", "-X"} << int(FlashResult::DeviceError) << 0
            << QStringLiteral("the device answered \"DOWNLOAD ERROR\" to line 1 of 2 in the download pass");
        QTest::newRow("silent, no retries")
            << false << 0 << QStringList{"t"} << QStringList{bi} << QStringList{"SR", "-X"}
            << int(FlashResult::Timeout) << 0
            << QStringLiteral("no reply to the boot-information request after 1 send (timeout 0.2 s)");
        QTest::newRow("silent in verify, two retries")
            << false << 2 << QStringList{"<VER=1", "<OK", "<DOWNLOAD", "<OK", "t", "t", "t"}
            << QStringList{bi, oot(L1), oot(L2), oot(v1), oot(v2), oot(v2), oot(v2)}
            << QStringList{"SR", "SR", "SR", "SR", "SR", "SR", "SR", "-X"} << int(FlashResult::Timeout) << 3
            << QStringLiteral("no reply to line 2 of 2 in the verify pass after 3 sends (timeout 0.2 s)");
        QTest::newRow("reply no rule matches")
            << false << 0 << QStringList{"<UNKNOWN COMMAND\r\n", "t"} << QStringList{bi}
            << QStringList{"SR", "-K", "-X"} << int(FlashResult::Timeout) << 0
            << QStringLiteral("no usable reply to the boot-information request after 1 send (timeout 0.2 s); "
                              "last reply \"UNKNOWN COMMAND\"");
        QTest::newRow("OK to the last line")
            << false << 3 << QStringList{"<VER=1", "<OK", "<OK"} << QStringList{bi, oot(L1), oot(L2)}
            << QStringList{"SR", "SR", "SR", "-X"} << int(FlashResult::DeviceError) << 2
            << QStringLiteral("the device did not answer \"DOWNLOAD\" to the last line (line 2 of 2 in the "
                              "download pass)");
        QTest::newRow("late copy after a resend")
            << false << 1 << QStringList{"<VER=1", "t", "<OK", "<OK", "t", "<DOWNLOAD", "<OK", "<DOWNLOAD"}
            << QStringList{bi, oot(L1), oot(L1), oot(L2), oot(v1), oot(v2)}
            << QStringList{"SR", "SR", "SR", "-W", "-W", "SR", "SR", "SR", "-X"} << ok << 4 << QString();
    }

    void sessionRoad() {
        QFETCH(bool, gateway);
        QFETCH(int, retries);
        QFETCH(QStringList, events);
        QFETCH(QStringList, sent);
        QFETCH(QStringList, actions);
        QFETCH(int, result);
        QFETCH(int, acknowledged);
        QFETCH(QString, message);

        FlashSettings settings;
        settings.gateway = gateway;
        settings.retries = retries;
        settings.timeoutMs = 200;
        FlashSession s({L1, L2}, settings);
        QStringList gotSent;
        QStringList gotActions;
        const auto take = [&](const FlashAction& a) {
            gotActions << actionCode(a);
            if (a.send)
                gotSent << QString::fromLatin1(s.datagram());
        };
        take(s.start());
        for (const QString& e : events)
            take(e == QLatin1String("t") ? s.onTimer() : s.onReply(e.mid(1).toLatin1()));
        QCOMPARE(gotSent, sent);
        QCOMPARE(gotActions, actions);
        QCOMPARE(int(s.result()), result);
        QCOMPARE(s.acknowledged(), acknowledged);
        QCOMPARE(s.message(), message);
    }

    void optionsAccepted_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("retries");
        QTest::addColumn<QString>("gateway"); // empty: direct
        QTest::addColumn<int>("localPort");   // -1: drawn
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("hostPort"); // -1: --port applies

        QTest::newRow("defaults") << QStringList{"f.hex", "dev1"} << 3000 << 3 << "16" << -1 << "dev1" << -1;
        QTest::newRow("decimals") << QStringList{"--timeout", "0.25", "f.hex", "10.0.0.1:5000"} << 250 << 3
                                  << "16" << -1 << "10.0.0.1" << 5000;
        QTest::newRow("leading point") << QStringList{"--timeout=.5", "--retries", "0", "f.hex", "[::1]:7"}
                                       << 500 << 0 << "16" << -1 << "::1" << 7;
        QTest::newRow("direct, any port") << QStringList{"--direct", "--local-port", "0", "f.hex", "fe80::1"}
                                          << 3000 << 3 << "" << 0 << "fe80::1" << -1;
        QTest::newRow("gateway 7") << QStringList{"--gateway", "007",   "--local-port",
                                                  "6000",      "f.hex", "a-b.c"}
                                   << 3000 << 3 << "7" << 6000 << "a-b.c" << -1;
    }

    void optionsAccepted() {
        QFETCH(QStringList, args);
        const auto parsed = parseFlashArguments(args);
        QVERIFY2(std::holds_alternative<FlashOptions>(parsed),
                 std::holds_alternative<FlashUsageError>(parsed)
                     ? qPrintable(std::get<FlashUsageError>(parsed).message)
                     : "help");
        const auto& o = std::get<FlashOptions>(parsed);
        QTEST(o.timeoutMs, "timeoutMs");
        QTEST(o.retries, "retries");
        QTEST(o.gateway ? o.gatewayAddress : QString(), "gateway");
        QTEST(o.localPort ? int(*o.localPort) : -1, "localPort");
        QCOMPARE(o.hosts.size(), 1);
        QTEST(o.hosts.first().host, "host");
        QTEST(o.hosts.first().port ? int(*o.hosts.first().port) : -1, "hostPort");
        QCOMPARE(o.file, QStringLiteral("f.hex"));
    }

    void badArguments_data() {
        QTest::addColumn<QStringList>("args"); // FILE, HOST and NODIR stand for real paths
        QTest::addColumn<QString>("message");

        QTest::newRow("nothing") << QStringList{} << "missing FILE.hex and HOST";
        QTest::newRow("no host") << QStringList{"FILE"} << "missing HOST";
        QTest::newRow("unknown option") << QStringList{"--bogus", "FILE", "HOST"} << "Unknown option 'bogus'";
        QTest::newRow("port 0") << QStringList{"--port", "0", "FILE", "HOST"}
                                << "--port needs a port from 1 to 65535, not '0'";
        QTest::newRow("port too big") << QStringList{"--port", "65536", "FILE", "HOST"} << "not '65536'";
        QTest::newRow("port text") << QStringList{"--port", "http", "FILE", "HOST"} << "not 'http'";
        QTest::newRow("local port negative") << QStringList{"--local-port", "-1", "FILE", "HOST"}
                                             << "--local-port needs a port from 0 to 65535, not '-1'";
        QTest::newRow("local port no room")
            << QStringList{"--local-port", "65535", "FILE", "HOST", "127.0.0.9"}
            << "--local-port 65535 leaves no room for 2 devices";
        QTest::newRow("timeout negative") << QStringList{"--timeout", "-1", "FILE", "HOST"}
                                          << "--timeout needs seconds from 0.001 to 3600, not '-1'";
        QTest::newRow("timeout zero") << QStringList{"--timeout", "0", "FILE", "HOST"} << "not '0'";
        QTest::newRow("timeout exponent") << QStringList{"--timeout", "1e3", "FILE", "HOST"} << "not '1e3'";
        QTest::newRow("timeout too long") << QStringList{"--timeout", "3601", "FILE", "HOST"} << "not '3601'";
        QTest::newRow("timeout two points")
            << QStringList{"--timeout", "1.2.3", "FILE", "HOST"} << "not '1.2.3'";
        QTest::newRow("timeout missing")
            << QStringList{"FILE", "HOST", "--timeout"} << "Missing value after '--timeout'";
        QTest::newRow("retries negative") << QStringList{"--retries", "-2", "FILE", "HOST"}
                                          << "--retries needs a whole number from 0 to 1000, not '-2'";
        QTest::newRow("gateway 256") << QStringList{"--gateway", "256", "FILE", "HOST"}
                                     << "--gateway needs a device address from 0 to 255, not '256'";
        QTest::newRow("gateway and direct") << QStringList{"--gateway", "3", "--direct", "FILE", "HOST"}
                                            << "--direct and --gateway cannot be used together";
        QTest::newRow("host with blank")
            << QStringList{"FILE", "bad host!"} << "bad host 'bad host!': not a host name or IP address";
        QTest::newRow("host port 0")
            << QStringList{"FILE", "127.0.0.1:0"}
            << "bad host '127.0.0.1:0': the port must be a whole number from 1 to 65535";
        QTest::newRow("host empty port") << QStringList{"FILE", "127.0.0.1:"} << "bad host '127.0.0.1:'";
        QTest::newRow("same device twice") << QStringList{"FILE", "HOST", "HOST"} << "are the same device";
        QTest::newRow("log in no folder")
            << QStringList{"--log", "NODIR/t.log", "FILE", "HOST"} << "cannot create log file";
    }

    void badArguments() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        ScriptedDevice device;
        const QString file = write(QStringLiteral("fw.hex"), makeHex(3));
        for (QString& a : args) {
            a.replace(QLatin1String("FILE"), file);
            a.replace(QLatin1String("HOST"), device.endpoint());
            a.replace(QLatin1String("NODIR"), m_dir->filePath(QStringLiteral("no/such")));
        }
        const FlashRun run = runFlash(args);
        QCOMPARE(run.exitCode, ExitCode::BadArguments);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY2(run.err.contains(QLatin1String("velta-flash: ")), qPrintable(run.err));
        QTest::qWait(50);
        QCOMPARE(device.received.size(), 0);
    }

    void help() {
        const FlashRun run = runFlash({QStringLiteral("--help")});
        QCOMPARE(run.exitCode, 0);
        for (const char* part :
             {"--timeout SECONDS", "--retries N", "--no-check", "--log FILE", "2  bad arguments",
              "3  bad file", "4  timeout", "5  network error", "smallest code wins"})
            QVERIFY2(run.out.contains(QLatin1String(part)), part);
    }

    void badFile_data() {
        QTest::addColumn<QByteArray>("content"); // empty with missing: no file at all
        QTest::addColumn<bool>("missing");
        QTest::addColumn<QString>("message"); // after the file's path

        QByteArray checksum = makeHex(5);
        checksum.replace(":10002000", ":10002100"); // the fourth line: its checksum no longer fits
        QTest::newRow("bad checksum") << checksum << false << ":4: bad checksum";
        QTest::newRow("no end record")
            << formatHexRecord(0, 0, "AB") << false << ": missing end-of-file record";
        QTest::newRow("after the end")
            << makeHex(1) + formatHexRecord(0, 0, "AB") << false << ":4: record after end of file";
        QTest::newRow("tab kept by the loader") << QByteArray(":00000001FF\t\r\n") << false
                                                << ": line 1 to send (\":00000001FF\\x09\"): bad hex digit";
        QTest::newRow("empty") << QByteArray("\r\n\r\n") << false << ": missing end-of-file record";
        QTest::newRow("9001 lines") << makeHex(8955) << false << ": more than 9000 lines";
        QTest::newRow("missing") << QByteArray() << true << ": File not found";
    }

    void badFile() {
        QFETCH(QByteArray, content);
        QFETCH(bool, missing);
        QFETCH(QString, message);
        ScriptedDevice device;
        const QString file = missing ? m_dir->filePath(QStringLiteral("absent.hex"))
                                     : write(QStringLiteral("fw.hex"), content);
        const FlashRun run =
            runFlash({QStringLiteral("--timeout"), QStringLiteral("0.2"), file, device.endpoint()});
        QCOMPARE(run.exitCode, ExitCode::BadFile);
        QVERIFY2(run.err.contains(file + message), qPrintable(run.err));
        QTest::qWait(50);
        QCOMPARE(device.received.size(), 0);
    }

    void noCheckSendsAsItIs() {
        const QByteArray hex = QByteArray(":0400000001020304F3\r\n") + formatHexRecord(1, 0, {});
        Sim sim({});
        const FlashRun run =
            runFlash({QStringLiteral("--no-check"), QStringLiteral("--timeout"), QStringLiteral("2"),
                      write(QStringLiteral("bad.hex"), hex), sim.endpoint()});
        QCOMPARE(run.exitCode, ExitCode::DeviceError);
        QVERIFY2(run.err.contains(sim.endpoint() +
                                  QStringLiteral(": the device answered \"ERROR bad checksum\" to "
                                                 "line 1 of 2 in the download pass")),
                 qPrintable(run.err));
    }

    void wholeFlash() {
        const QByteArray hex = makeHex(450);
        const QString image = m_dir->filePath(QStringLiteral("image.hex"));
        Sim sim({QStringLiteral("--image-out"), image});
        const FlashRun run = runFlash({QStringLiteral("--timeout"), QStringLiteral("2"),
                                       write(QStringLiteral("fw.hex"), hex), sim.endpoint()});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(
            run.err.contains(sim.endpoint() + QStringLiteral(": done, 454 lines downloaded and verified in")),
            qPrintable(run.err));
        QVERIFY2(run.out.contains(QRegularExpression(QRegularExpression::escape(sim.endpoint()) +
                                                     QStringLiteral("\\s+ok\\s+908/908\\s"))),
                 qPrintable(run.out));
        QCOMPARE(imageOf(read(image)), imageOf(hex));
    }

    void wireBytes_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("hostName"); // in place of 127.0.0.1
        QTest::addColumn<bool>("gateway");
        QTest::addColumn<QString>("address");

        QTest::newRow("gateway, defaults") << QStringList{} << "127.0.0.1" << true << "16";
        QTest::newRow("gateway 7") << QStringList{"--gateway", "7"} << "127.0.0.1" << true << "7";
        QTest::newRow("direct") << QStringList{"--direct"} << "127.0.0.1" << false << "16";
        QTest::newRow("by name") << QStringList{"--local-port", "0"} << "localhost" << true << "16";
    }

    void wireBytes() {
        QFETCH(QStringList, options);
        QFETCH(QString, hostName);
        QFETCH(bool, gateway);
        QFETCH(QString, address);
        const QByteArray hex = makeHex(30);
        ScriptedDevice device;
        const QString host = device.endpoint().replace(QLatin1String("127.0.0.1"), hostName);
        const FlashRun run = runFlash(options + QStringList{QStringLiteral("--timeout"), QStringLiteral("2"),
                                                            write(QStringLiteral("fw.hex"), hex), host});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(device.received, expectedWire(linesOf(hex), gateway, address));
        // One socket per device, on the window's port range unless told otherwise.
        for (const quint16 port : std::as_const(device.senderPorts))
            QCOMPARE(port, device.senderPorts.first());
        if (options.isEmpty())
            QVERIFY2(device.senderPorts.first() >= 5500 && device.senderPorts.first() <= 6499,
                     qPrintable(QString::number(device.senderPorts.first())));
    }

    void wireBytesLiteral() {
        ScriptedDevice device;
        const QString file = write(QStringLiteral("two.hex"), (L1 + QStringLiteral("\n\n") + L2).toLatin1());
        QCOMPARE(runFlash({file, device.endpoint()}).exitCode, 0);
        QCOMPARE(device.received,
                 (QList<QByteArray>{"MDB 16,OOTi\r\n", "MDB 16,OOT:0400000001020304F2\r\n",
                                    "MDB 16,OOT:00000001FF\r\n", "MDB 16,OOT#0400000001020304F2\r\n",
                                    "MDB 16,OOT#00000001FF\r\n"}));
    }

    void lateRepliesDoNotSkipLines() {
        const QByteArray hex = makeHex(4);
        const QStringList lines = linesOf(hex);
        int copiesOfFirst = 0;
        // The first copy of line 1 goes unanswered; the resend is answered twice, as if the first
        // reply had only been late.
        ScriptedDevice device([&](const QByteArray& d) -> QList<QByteArray> {
            if (d.contains(lines.first().toLatin1()) && d.contains("OOT:")) {
                if (++copiesOfFirst == 1)
                    return {};
                return {"OK\r\n", "OK\r\n"};
            }
            return ScriptedDevice::bootloader(d);
        });
        const FlashRun run =
            runFlash({QStringLiteral("--timeout"), QStringLiteral("0.5"), QStringLiteral("--direct"),
                      write(QStringLiteral("fw.hex"), hex), device.endpoint()});
        QCOMPARE(run.exitCode, 0);
        QList<QByteArray> expected = expectedWire(lines, false, QString());
        expected.insert(1, expected.at(1));
        QCOMPARE(device.received, expected);
    }

    void strangersAreIgnored() {
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
        // Before each real answer a datagram from another address that would stop the transfer
        // (or move it on) if it were taken for the device's.
        ScriptedDevice device([&](const QByteArray& d) {
            stranger.writeDatagram(d.contains("OOTi") ? "ERROR\r\n" : "DOWNLOAD\r\n",
                                   QHostAddress(QHostAddress::LocalHost), device.senderPorts.last());
            return ScriptedDevice::bootloader(d);
        });
        const QByteArray hex = makeHex(3);
        const QString log = m_dir->filePath(QStringLiteral("t.log"));
        const FlashRun run =
            runFlash({QStringLiteral("--timeout"), QStringLiteral("2"), QStringLiteral("--log"), log,
                      write(QStringLiteral("fw.hex"), hex), device.endpoint()});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(device.received, expectedWire(linesOf(hex), true, QStringLiteral("16")));
        QVERIFY(read(log).contains(" - ignored 7 bytes from 127.0.0.2 port "));
    }

    void dropsRecoverWithRetries() {
        const QByteArray hex = makeHex(6);
        const QString image = m_dir->filePath(QStringLiteral("image.hex"));
        const QString log = m_dir->filePath(QStringLiteral("t.log"));
        Sim sim({QStringLiteral("--drop-every"), QStringLiteral("6"), QStringLiteral("--image-out"), image});
        const FlashRun run =
            runFlash({QStringLiteral("--timeout"), QStringLiteral("0.3"), QStringLiteral("--retries"),
                      QStringLiteral("3"), QStringLiteral("--log"), log, write(QStringLiteral("fw.hex"), hex),
                      sim.endpoint()});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(imageOf(read(image)), imageOf(hex));
        QVERIFY(read(log).contains("timeout, resend"));
    }

    void dropWithoutRetriesTimesOut() {
        Sim sim({QStringLiteral("--drop-every"), QStringLiteral("3")});
        const FlashRun run =
            runFlash({QStringLiteral("--timeout"), QStringLiteral("0.5"), QStringLiteral("--retries"),
                      QStringLiteral("0"), write(QStringLiteral("fw.hex"), makeHex(5)), sim.endpoint()});
        QCOMPARE(run.exitCode, ExitCode::Timeout);
        // Datagram 3 is line 2 of 7 (an 04 record, five data records, the end record).
        QVERIFY2(
            run.err.contains(sim.endpoint() + QStringLiteral(": no reply to line 2 of 7 in the download pass "
                                                             "after 1 send (timeout 0.5 s)")),
            qPrintable(run.err));
        QVERIFY2(run.out.contains(QRegularExpression(QStringLiteral("timeout\\s+1/14"))),
                 qPrintable(run.out));
    }

    void deviceErrorStops() {
        Sim sim({QStringLiteral("--error-at-line"), QStringLiteral("3")});
        const FlashRun run =
            runFlash({QStringLiteral("-q"), write(QStringLiteral("fw.hex"), makeHex(5)), sim.endpoint()});
        QCOMPARE(run.exitCode, ExitCode::DeviceError);
        QCOMPARE(run.err,
                 QStringLiteral("velta-flash: %1: the device answered \"ERROR\" to line 3 of 7 in the "
                                "download pass\n")
                     .arg(sim.endpoint()));
        QCOMPARE(run.out, QString()); // --quiet: errors only
    }

    void localPortInUse() {
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress));
        ScriptedDevice device;
        const QString port = QString::number(taken.localPort());
        const FlashRun run = runFlash({QStringLiteral("--local-port"), port,
                                       write(QStringLiteral("fw.hex"), makeHex(2)), device.endpoint()});
        QCOMPARE(run.exitCode, ExitCode::NetworkError);
        QVERIFY2(
            run.err.contains(QStringLiteral("%1: cannot bind local port %2").arg(device.endpoint(), port)),
            qPrintable(run.err));
        QTest::qWait(50);
        QCOMPARE(device.received.size(), 0);
    }

    void fourDevicesOneFailing() {
        const QByteArray hex = makeHex(60);
        std::vector<std::unique_ptr<Sim>> sims;
        QStringList args{QStringLiteral("--timeout"), QStringLiteral("2"),
                         write(QStringLiteral("fw.hex"), hex)};
        for (int i = 1; i <= 4; ++i) {
            QStringList extra{QStringLiteral("--image-out"),
                              m_dir->filePath(QStringLiteral("image%1.hex").arg(i))};
            if (i == 3)
                extra << QStringLiteral("--error-at-line") << QStringLiteral("20");
            sims.push_back(std::make_unique<Sim>(extra, QStringLiteral("127.0.0.%1").arg(i)));
            QVERIFY(sims.back()->port() != 0);
            args << sims.back()->endpoint();
        }
        const FlashRun run = runFlash(args);
        QCOMPARE(run.exitCode, ExitCode::DeviceError);
        const QStringList table = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(table.size(), 5);
        QVERIFY(table.first().startsWith(QLatin1String("HOST")));
        for (int i = 1; i <= 4; ++i) {
            const QString row = table[i];
            QVERIFY2(row.startsWith(sims[size_t(i - 1)]->endpoint()), qPrintable(row));
            const char* expected = i == 3 ? "\\s+device error\\s+19/124\\s" : "\\s+ok\\s+124/124\\s";
            QVERIFY2(row.contains(QRegularExpression(QLatin1String(expected))), qPrintable(row));
            if (i != 3)
                QCOMPARE(imageOf(read(m_dir->filePath(QStringLiteral("image%1.hex").arg(i)))), imageOf(hex));
        }
        QVERIFY2(run.err.contains(sims[2]->endpoint() +
                                  QStringLiteral(": the device answered \"ERROR\" to line 20")),
                 qPrintable(run.err));
    }

    void transcript() {
        const QByteArray hex = makeHex(8);
        const QString log = m_dir->filePath(QStringLiteral("t.log"));
        Sim sim({});
        QCOMPARE(
            runFlash({QStringLiteral("--log"), log, write(QStringLiteral("fw.hex"), hex), sim.endpoint()})
                .exitCode,
            0);
        const QStringList rows = QString::fromUtf8(read(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QRegularExpression shape(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z %1 ([<>-]) (.*)$")
                .arg(QRegularExpression::escape(sim.endpoint())));
        QStringList sent;
        QStringList received;
        for (const QString& row : rows) {
            const auto m = shape.match(row);
            QVERIFY2(m.hasMatch(), qPrintable(row));
            if (m.captured(1) == QLatin1String(">"))
                sent << m.captured(2);
            else if (m.captured(1) == QLatin1String("<"))
                received << m.captured(2);
        }
        QStringList expected;
        for (const QByteArray& d : expectedWire(linesOf(hex), true, QStringLiteral("16")))
            expected << escapedBytes(d);
        QCOMPARE(sent, expected);
        QCOMPARE(received.size(), expected.size());
        QCOMPARE(received.first(), QStringLiteral("VELTA BOOT VER=2.10 ADDR=16\\r\\n"));
        QCOMPARE(received.last(), QStringLiteral("DOWNLOAD\\r\\n"));
    }

    void exitCodes_data() {
        QTest::addColumn<QList<int>>("results");
        QTest::addColumn<int>("code");
        const int ok = int(FlashResult::Success);
        const int dev = int(FlashResult::DeviceError);
        const int tmo = int(FlashResult::Timeout);
        const int net = int(FlashResult::NetworkError);
        QTest::newRow("all ok") << QList<int>{ok, ok} << 0;
        QTest::newRow("one timeout") << QList<int>{ok, tmo} << 4;
        QTest::newRow("device error wins") << QList<int>{tmo, dev, net} << 1;
        QTest::newRow("timeout before network") << QList<int>{net, tmo} << 4;
        QTest::newRow("network") << QList<int>{ok, net} << 5;
    }

    void exitCodes() {
        QFETCH(QList<int>, results);
        QList<FlashResult> r;
        for (const int v : results)
            r << FlashResult(v);
        QTEST(exitCodeFor(r), "code");
    }

    void summaryAndProgressText() {
        const DeviceProgress a{QStringLiteral("127.0.0.1:111"),
                               FlashPass::Verify,
                               FlashResult::Success,
                               10,
                               10,
                               20,
                               2000000,
                               QString()};
        const DeviceProgress b{
            QStringLiteral("10.1.1.1:5000"), FlashPass::Download, FlashResult::Timeout, 3, 10, 2, 1000000,
            QStringLiteral("no reply")};
        QCOMPARE(summaryTable({a, b}),
                 QStringLiteral("HOST           RESULT   LINES  TIME     RATE\n"
                                "127.0.0.1:111  ok       20/20  2.000 s  10 lines/s\n"
                                "10.1.1.1:5000  timeout   2/20  1.000 s   2 lines/s\n"));
        DeviceProgress running = b;
        running.result = FlashResult::Running;
        QCOMPARE(progressLine(running, 15, 200),
                 QStringLiteral("10.1.1.1:5000    download   3/10      2 lines/s  0:09 left"));
        QCOMPARE(progressLine(running, 15, 20).size(), 20);
        QCOMPARE(progressLine(b, 13, 200), QStringLiteral("10.1.1.1:5000  FAILED    timeout: no reply"));
    }
};

QTEST_GUILESS_MAIN(TestFlash)
#include "test_flash.moc"
