// The command-line flasher: its options, and the real program against scripted devices and
// simulators on loopback, as a production line runs it.
#include "flash_options.h"
#include "line/report.h"
#include "progress_view.h"
#include "simulator_process.h"
#include "synthetic_hex.h"
#include "table.h"

#include "core/conversation/flasher_conversation.h"
#include "core/io/files.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <cmath>
#include <csignal>
#include <functional>
#include <optional>
#include <sys/stat.h>

// Shows the whole text when a part of it is missing.
#define VERIFY_HAS(text, part) QVERIFY2((text).contains(part), qPrintable(text))

namespace {
// A device played by the test: it records every datagram and answers from a script.
struct ScriptedDevice : QObject {
    QUdpSocket socket;
    QList<QByteArray> received;
    quint16 senderPort = 0;

    explicit ScriptedDevice(std::function<QList<QByteArray>(const QByteArray&)> answer = bootloader) {
        socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        connect(&socket, &QUdpSocket::readyRead, this, [this, answer] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket.receiveDatagram();
                received << d.data();
                senderPort = quint16(d.senderPort());
                for (const QByteArray& reply : answer(d.data()))
                    socket.writeDatagram(reply, d.senderAddress(), quint16(d.senderPort()));
            }
        });
    }
    [[nodiscard]] QString endpoint() const { return "127.0.0.1:" + QString::number(socket.localPort()); }
    // Answers as a bootloader that accepts every record.
    static QList<QByteArray> bootloader(const QByteArray& d) {
        return {d.contains("OOTi")         ? "VELTA BOOT VER=9.9\r\n"
                : d.contains("00000001FF") ? "DOWNLOAD\r\n"
                                           : "OK\r\n"};
    }
};

QString read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString(f.readAll()) : QString();
}

struct FlashRun {
    int exitCode;
    QString out, err;
};

// Runs the flasher to its end while this process plays the scripted devices; SIGINT once its
// error output shows `interruptAt`. `limits`: shell commands before it (ulimit).
FlashRun runFlash(const QStringList& args, const QString& interruptAt = {}, const QString& limits = {}) {
    QProcess p;
    p.start("bash", QStringList{"-c", limits + " exec \"$0\" \"$@\"", VELTA_FLASH} + args);
    QByteArray err;
    bool interrupted = interruptAt.isEmpty();
    (void)QTest::qWaitFor(
        [&] {
            err += p.readAllStandardError();
            if (!interrupted && err.contains(interruptAt.toUtf8()))
                interrupted = ::kill(pid_t(p.processId()), SIGINT) == 0;
            return p.state() == QProcess::NotRunning;
        },
        30000);
    p.kill(); // one still running fails as a crash
    p.waitForFinished(2000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2,
            QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(err + p.readAllStandardError())};
}

// What is wrong with a report's record (its line as written) by the README's table of fields;
// empty when nothing is.
QString schemaFault(const QByteArray& line) {
    static const auto fields = [] {
        QMap<QString, std::pair<QStringList, QStringList>> table; // name: types, record types
        static const QRegularExpression name("`([a-z0-9_]+)`");
        for (const QByteArray& row : read(VELTA_SOURCE_DIR "/README.md").toUtf8().split('\n')) {
            const QStringList cells = QString(row).split('|');
            if (!row.startsWith("| `") || cells.size() != 6)
                continue;
            for (auto m = name.globalMatch(cells[1]); m.hasNext();)
                table[m.next().captured(1)] = {cells[2].trimmed().split(" or "),
                                               cells[3].trimmed().split(", ")};
        }
        return table;
    }();
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    QStringList expected;
    for (auto f = fields.cbegin(); f != fields.cend(); ++f)
        if (f->second.contains(o["type"].toString()))
            expected << f.key();
    if (o.keys() != expected)
        return QString("fields %1, not %2").arg(o.keys().join(' '), expected.join(' '));
    for (const QString& key : expected) {
        const QJsonValue v = o[key];
        const QStringList allowed = fields[key].first;
        // Named in the order of QJsonValue::Type; a whole number passes as an integer.
        QString type = QStringList{"null", "boolean", "number", "string", "array", "object"}.value(v.type());
        if (type == "number" && v.toDouble() == std::floor(v.toDouble()) && !allowed.contains(type))
            type = "integer";
        if (!allowed.contains(type) || (v.isString() && v.toString().isEmpty()))
            return QString("%1 is %2, not %3")
                .arg(key, QJsonDocument(QJsonArray{v}).toJson(), allowed.join(" or "));
    }
    if (o["end"].toString() < o["start"].toString() || o["schema_version"] != 1)
        return "ends before it starts, or not schema 1";
    static const QRegularExpression duration("\"duration_s\":\\d+\\.\\d{3}[,}]");
    return duration.match(QString(line)).hasMatch() ? QString() : "duration_s without three decimals";
}

// A report's records, each checked against that table and its times; the run's own record apart.
struct Records {
    QList<QJsonObject> devices;
    QJsonObject run;
    QString fault; // the first record's that breaks a rule
};
Records readRecords(const QString& text) {
    Records r;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (const QString fault = schemaFault(line.toUtf8()); r.fault.isEmpty() && !fault.isEmpty())
            r.fault = fault + " in " + line;
        (o["type"] == "run" ? r.run : r.devices.emplace_back()) = o;
    }
    // The run's record counts the devices of its run.
    int counted = 0;
    for (const QJsonValue& n : r.run["results"].toObject())
        counted += n.toInt();
    if (r.fault.isEmpty() && !r.devices.isEmpty() &&
        (counted != r.run["devices"].toInt() || r.run["run_id"] != r.devices.last()["run_id"]))
        r.fault = "the run's record does not count its devices";
    return r;
}

// True in a network of the test's own with only loopback (tests/support/isolated.sh): names that
// do not resolve and group targets are tried only there.
bool isolated() {
    const auto nics = QNetworkInterface::allInterfaces();
    return std::all_of(nics.begin(), nics.end(),
                       [](const QNetworkInterface& n) { return n.type() == QNetworkInterface::Loopback; });
}

// The program on loopback, as scripts and production lines run it: $F the file, $G another
// file, $R the report, $L the log, $X a missing file, $Q a FIFO, $K a link to the file, $D no
// such folder, $P a local port in use, $O a hosts file naming $H, $W one naming it twice; $H a
// scripted bootloader that gives `answer`'s reply to datagrams with its match ("match>reply"); $A
// (port $a) and $B simulators (B answers ERROR to line 3), $C a slow gateway with the devices 16
// and 17. Runs are separated by ";". The last run's error output has `expect`, the report the
// sorted `results`; SIGINT goes out once the error output shows `interruptAt`.
const QByteArray Two = ":0400000001020304F2\r\n:00000001FF\r\n", Hex40 = syntheticHexFile(40);

// What a row's runs left behind, for the checks a row adds of its own.
struct RunOutcome {
    FlashRun last;
    QList<QJsonObject> records;
    QString aLog, cLog;                   // the simulators' logs
    std::function<QString(QString)> real; // $-names to what they stand for
};

void reportOfRunAppended(const RunOutcome& o) {
    const QJsonObject r = o.records.first();
    QCOMPARE(
        r["sha256"].toString(),
        QString(QCryptographicHash::hash(read(o.real("$F")).toUtf8(), QCryptographicHash::Sha256).toHex()));
    QCOMPARE(joined(r["host"].toString(), r["address"].toString(), r["port"].toInt(),
                    r["device_address"].toInt(), r["lines"].toInt(), r["boot_info"].toString()),
             o.real("127.0.0.1 127.0.0.1 $a 16 40 VELTA BOOT VER=2.10 ADDR=16"));
}
void inventoryInterrupted(const RunOutcome& o) {
    VERIFY_HAS(o.last.out,
               QRegularExpression("\n\\d+ answered, \\d+ silent, \\d+ not asked: interrupted\n$"));
}
void neverBegan(const RunOutcome& o) {
    const QJsonObject r = o.records.value(0);
    QCOMPARE(joined(r["start"].isNull(), r["end"].isNull(), r["phase"].isNull(), r["local_port"].isNull()),
             "1 1 1 1");
}
void onlyChecked(const RunOutcome& o) {
    for (const QJsonObject& r : o.records) // a check's "ok" is not a flash's
        QCOMPARE(r["operation"].toString(), QString("verify"));
}
void listThroughTheLink(const RunOutcome& o) {
    QVERIFY(QFileInfo(o.real("$N")).isSymLink());
    VERIFY_HAS(read(o.real("$N")), o.real("\n$B/16\n"));
}
void secondRunSentNoRecord(const RunOutcome& o) {
    // The second run, from another port, downloaded nothing (a busy host may have resent a line).
    const QStringList in = o.aLog.split('\n').filter("in   127.0.0.1:").filter("MDB 16,OOT:");
    QCOMPARE(QSet<QString>(in.begin(), in.end()).size(), 40);
}
void secondRunSkipped(const RunOutcome& o) {
    secondRunSentNoRecord(o);
    VERIFY_HAS(o.last.out, QRegularExpression("skipped\\s+40/40"));
    QCOMPARE(o.last.err, QString()); // no progress lines
}
void startedOnceAfterSuccess(const RunOutcome& o) {
    for (const QJsonObject& r : o.records)
        QCOMPARE(r["start_sent"].toBool(), r["result"].toString() == "ok");
    QCOMPARE(o.aLog.count("MDB 16,OOTg"), 1);
    QVERIFY(o.records[1]["start"].toString() >= o.records[0]["end"].toString()); // --jobs 1
}
void gatewayInTurn(const RunOutcome& o) {
    // On the gateway all of one device's records before the other's; the direct device's
    // transfer within them.
    QString order; // the device of each record on the gateway, repeats left out
    for (const auto& m : QRegularExpression(" in .* MDB (1[67]),OOT[:#]").globalMatch(o.cLog))
        order += order.endsWith(m.captured(1)) ? QString() : m.captured(1);
    QVERIFY2(order == "1617" || order == "1716", qPrintable(order));
    const QString log = read(o.real("$L"));
    const qsizetype direct = log.indexOf(o.real("$A") + " > OOT:");
    QVERIFY(direct > 0 && direct < log.lastIndexOf(o.real("$C") + "/17 > MDB"));
    QCOMPARE(read(o.real("$R")).count("\"device_address\":null"), 1);
}
void interruptedBehindTheGateway(const RunOutcome& o) {
    // The signal came while /16 was under way: /17, behind the same gateway, never began;
    // whatever the timing, nothing ends as anything else.
    QCOMPARE(o.records.size(), 3);
    for (const QJsonObject& r : o.records) {
        QVERIFY(r["result"] == "ok" || r["result"] == "interrupted");
        QCOMPARE(r["exit_code"].toInt(), r["result"] == "ok" ? 0 : 130);
        if (r["device_address"].toInt() == 17)
            QCOMPARE(r["message"].toString(), QStringLiteral("interrupted before it began"));
    }
    QVERIFY(!o.cLog.contains("MDB 17,"));
}

// The arguments split at blanks; accepted: "timeout first-timeout retries gateway|direct
// local-port|drawn jobs targets...", refused: the end of the message.
// clang-format off
const struct ArgRow { const char *name, *args, *outcome; } ArgRows[] = {
    {"defaults", "f dev1", "3000 10000 3 16 drawn 0 dev1"},
    {"a millisecond, port", "--timeout 0.001 --first-timeout 1 f 10.0.0.1:5000", "1 1000 3 16 drawn 0 10.0.0.1:5000"},
    {"first timeout never below", "--timeout=.5 --first-timeout 0.1 --retries 0 f [::1]:7/9", "500 500 0 16 drawn 0 ::1:7/9"},
    {"direct, any port, a gateway device", "--direct --local-port 0 --jobs 2 f fe80::1 g/0", "3000 10000 3 direct 0 2 fe80::1 g/0"},
    {"gateway 7", "--gateway 007 --local-port 6000 f a-b.c", "3000 10000 3 7 6000 0 a-b.c"},
    {"one dash, as the window's users type", "-retries 2 -timeout 1 f h", "1000 10000 2 16 drawn 0 h"},
    {"no target", "f", "missing TARGET"},
    {"port 0", "--port 0 f h", "--port needs a port from 1 to 65535, not '0'"},
    {"local port no room", "--local-port 65535 f h i", "65535 leaves no room for 2 devices"},
    {"timeout two points", "--timeout 1.2.3 f h", "--timeout needs seconds from 0.001 to 3600, not '1.2.3'"},
    {"retries too many", "--retries 1001 f h", "a whole number from 0 to 1000, not '1001'"},
    {"jobs zero", "--jobs 0 f h", "--jobs needs a whole number from 1 to 1000, not '0'"},
    {"gateway 256", "--gateway 256 f h", "a device address from 0 to 255, not '256'"},
    {"gateway, direct", "--gateway 3 --direct f h", "--direct and --gateway cannot be used together"},
    {"verify only and skip", "--verify-only --skip-verified f h", "cannot be used together"},
    {"progress", "--progress sometimes f h", "--progress needs auto, always or never, not 'sometimes'"},
    {"log to stdout", "--log - f h", "--log and --failed-hosts need a file name; '-' is for --report"},
    {"host not a name", "f bad_host", "bad target 'bad_host': not a host name or IP address"},
    {"host port 0", "f h:0", "bad target 'h:0': the port must be a whole number from 1 to 65535"},
    {"four numbers", "f 10.0.0.255:7 0.0.0.0", "3000 10000 3 16 drawn 0 10.0.0.255:7 0.0.0.0"},
    {"leading zeros", "f 127.000.000.010", "bad target '127.000.000.010': an IPv4 address is four decimal numbers from 0 to 255, without leading zeros"},
    {"hexadecimal", "f 0x7f.1", "bad target '0x7f.1': an IPv4 address is four decimal numbers from 0 to 255, without leading zeros"},
    {"a number above 255", "f 256.1.1.1", "bad target '256.1.1.1': an IPv4 address is four numbers from 0 to 255"},
    {"a name with digits", "f 1a.2.3.4 host-1", "3000 10000 3 16 drawn 0 1a.2.3.4 host-1"},
    {"device address 256", "f h/256", "the device address after '/' must be a whole number from 0 to 255"},
    {"IPv4 in brackets", "f [1.2.3.4]", "not an IPv6 address in brackets"},
    {"an inventory: no file, short waits", "--scan h:5/0-255 i", "300 300 1 16 drawn 0 h:5/0-255 i"},
    {"an inventory's waits as given", "--scan --timeout 1 --retries 0 h/16-16", "1000 1000 0 16 drawn 0 h/16-16"},
    {"a range to flash", "f h/0-3", "h/0-3: a range of device addresses is for --scan only"},
    {"a range backwards", "--scan h/9-3", "the range of device addresses ends before it begins"},
    {"a range of three", "--scan h/1-2-3", "the device address after '/' must be a whole number from 0 to 255"},
    {"a serial source without a pool", "--serial-start 1 f h", "--serial-start needs --serial-db: the pool that hands each value out once"},
    {"two serial sources", "--serial-db p --serial-start 1 --serial-list l f h", "one serial source a run, not --serial-start and --serial-list"},
    {"a counter without its place", "--serial-db p --serial-start 1 --serial-at 0x10 f h", "--serial-start needs --serial-at, --serial-size and --serial-format"},
    {"serial options without a source", "--serial-at 0x10 f h", "the serial options need a source: --serial-start, --serial-list or --serial-sqtp"},
    {"a serialized check", "--skip-verified --serial-db p --serial-list l f h", "cannot be used with --verify-only, --skip-verified or --scan: a check of a serialized device would need its own value"},
    {"a serial address that is no number", "--serial-db p --serial-start 1 --serial-at 0x7FFG --serial-size 4 --serial-format be f h", "--serial-at needs an address in hexadecimal (0x7FF0), not '0x7FFG'"},
    {"a serial format unknown", "--serial-db p --serial-start 1 --serial-at 7FF0 --serial-size 4 --serial-format bcd f h", "--serial-format needs be, le, ascii, hex or mac, not 'bcd'"},
    {"an SQTP file gives the place itself", "--serial-db p --serial-sqtp s.num --serial-at 0x10 f h", "no --serial-at or --serial-format"},
    {"a step without a counter", "--serial-db p --serial-list l --serial-step 2 f h", "--serial-step is the step of --serial-start"},
    {"a serialized counter", "--serial-db p --serial-start 1000 --serial-at 0xF00010 --serial-size 4 --serial-format be f h", "3000 10000 3 16 drawn 0 h"},
    {"the pool listed takes no file", "--serial-db p --serials f", "--serials lists the pool of --serial-db, and nothing else"},
    {"an inventory that would start", "--scan --start h", "--scan sends nothing but the boot-information request: no --failed-hosts, --verify-only, --skip-verified or --start"}};

const struct RunRow { const char *name, *runs; QByteArray content; const char *answer, *exitCodes, *expect, *results; void (*check)(const RunOutcome&) = nullptr; const char* interruptAt = ""; bool isolated = false; } RunRows[] = {
    {"no check", "--no-check $F $H", ":0400000001020304F3\r\n:00000001FF\r\n", "OOT:04>ERROR bad checksum", "1", "$H/16: the device answered \"ERROR bad checksum\" to line 1 of 2 in the download pass", ""},
    {"NOK acknowledges nothing", "--timeout 0.2 --first-timeout 0.2 --retries 0 $F $H", Two, "OOT:04>NOK", "4", "$H/16: no usable reply to line 1 of 2 in the download pass (timeout 0.2 s, 1 send); last reply \"NOK\"", ""},
    {"unknown option", "--bogus $F $H", Two, "", "2", "Unknown option 'bogus'", ""},
    {"a misspelt option", "--retires 2 $F $H", Two, "", "2", "Unknown option 'retires'; did you mean --retries?", ""},
    {"an option cut short: the nearest, not another as near", "--jo 2 $F $H", Two, "", "2", "Unknown option 'jo'; did you mean --jobs?", ""},
    {"far from every option: no guess", "--xyzzy $F $H", Two, "", "2", "Unknown option 'xyzzy'.", ""},
    {"same device twice in a hosts file", "--hosts $W $F", Two, "", "2", "$H ($W line 1) and $H/16 ($W line 3) are the same device", ""},
    {"log in no folder", "--log $D/t $F $H", Two, "", "2", "cannot create log file $D/t", ""},
    {"a list of failed targets in no folder: refused before any device", "--failed-hosts $D/f $F $H", Two, "", "2", "cannot write --failed-hosts $D/f: ", ""},
    {"a list of failed targets through a link: written where it leads", "--failed-hosts $N $F $B", Hex40, "", "1", "", "", listThroughTheLink},
    {"report onto the file by a link", "--report $K $F $H", Two, "", "2", "--report $K is the file to load", ""},
    {"a serial that does not fit its size", "--serial-db $D.db --serial-start 70000 --serial-at 0 --serial-size 2 --serial-format be $F $H", Two, "", "2", "70000 does not fit in 2 bytes", ""},
    {"a list of serials shorter than the line", "--serial-db $R.db --serial-list $S --serial-at 0 --serial-size 2 --serial-format be $F $H $A", Two, "", "2", "serial pool $R.db: 1 value left for 2 devices", ""},
    {"the pool onto the report", "--serial-db $R --report $R --serial-list $S --serial-at 0 --serial-size 2 --serial-format be $F $H", Two, "", "2", "--report $R is the file of --serial-db $R", ""},
    {"log onto the report", "--log $R --report $R $F $H", Two, "", "2", "--log $R is the file of --report $R", ""},
    {"report onto a hosts file", "--report $O --hosts $O $F", Two, "", "2", "--report $O is --hosts $O", ""},
    {"log into a FIFO", "--log $Q $F $H", Two, "", "2", "--log $Q: not a regular file", ""},
    {"bad checksum", "$F $H", syntheticHexFile(5).replace(":10002000", ":10002100"), "", "3", "$F:4: bad checksum", ""},
    {"no end record", "$F $H", ":01000000AB54\r\n", "", "3", "$F: missing end-of-file record", ""},
    {"a record after the end", "$F $H", ":00000001FF\r\n\r\n:01000000AB54\r\n", "", "3", "$F:3: record after end of file", ""},
    {"two records giving one address other bytes", "$F $H", ":020002000305F4\r\n:0400000001020304F2\r\n:00000001FF\r\n", "", "3", "$F:2: other bytes at 0x00000003 than $F:1 put there", ""},
    {"the same bytes twice are fine", "$F $H", ":0400000001020304F2\r\n:020002000304F5\r\n:00000001FF\r\n", "", "0", "", ""},
    {"9001 lines", "$F $H", syntheticHexFile(9001), "", "3", "$F: more than 9000 lines", ""},
    {"a FIFO for the file", "$Q $H", Two, "", "3", "cannot read $Q: not a regular file (a FIFO)", ""},
    {"a folder for the file", "$E $H", Two, "", "3", "cannot read $E: a folder, not a file", ""},
    {"a program image for the file", "$F $H", "\x7f" "ELF\x02\x01\x01" + QByteArray(600000, '\n'), "", "3", "$F: not an Intel HEX file (an ELF executable)", ""},
    {"binary data for the file", "$F $H", ":00000001FF\r\n" + QByteArray(20, '\0'), "", "3", "$F: not an Intel HEX file (binary data)", ""},
    {"an entry of more than 1 MiB", "$F $H", QByteArray(1024 * 1024 + 1, 'A'), "", "3", "$F: an entry longer than 1048576 bytes", ""},
    {"a host that cannot be looked up, the others flashed", "--report $R $F no-such-device.invalid $H", Two, "", "5", "no-such-device.invalid:111/16: cannot look up no-such-device.invalid", "network-error ok", nullptr, "", true},
    {"a broadcast target", "$F 255.255.255.255:5000", Two, "", "2", "255.255.255.255:5000/16 is a broadcast or multicast address", "", nullptr, "", true},
    {"local port in use: the device never began", "--local-port $P --report $R $F $H", Two, "", "5", "$H/16: cannot bind local port $P", "network-error", neverBegan},
    {"a bad file in the report", "--report $R $X $A $C/17", Two, "", "3", "cannot read $X: File not found", "file-error file-error"},
    {"report appended", "--report $R $F $A ; --report $R $F $A", Hex40, "", "0 0", "", "ok ok", reportOfRunAppended},
    {"verify only: same image, then another", "$F $A ; --verify-only --report $R $F $A ; --verify-only --report $R $G $A", Hex40, "", "0 0 1", "$A/16: the device answered \"ERROR VERIFY", "ok verify-mismatch", onlyChecked},
    {"skip verified", "--skip-verified --report $R $F $A ; --skip-verified --progress never --report $R $F $A", Hex40, "", "0 0", "", "ok skipped", secondRunSkipped},
    {"start only after success, one at a time", "--start --jobs 1 --log $L --report $R $F $A $B", Hex40, "", "1", "", "device-error ok", startedOnceAfterSuccess},
    {"a gateway's devices in turn, a direct one alongside", "--direct --log $L --report $R $F $C/16 $C/17 $A", Hex40, "", "0", "", "ok ok ok", gatewayInTurn},
    {"the version exactly, another one not flashed", "--expect-version 2.10 --report $R $F $A ; --expect-version 2.1 --report $R $F $A", Hex40, "", "0 1", "$A/16: the device answered \"VELTA BOOT VER=2.10 ADDR=16\" to the boot-information request, not version \"2.1\"", "ok version-mismatch", secondRunSentNoRecord},
    {"interrupted", "--report $R --progress always $F $A $C/16 $C/17", Hex40, "", "130", "", nullptr, interruptedBehindTheGateway, "$C/16: 10%"},
    {"interrupted after a device error: 130 outranks 1", "$F $B $C/16", Hex40, "", "130", "", nullptr, nullptr, "$C/16: 10%"},
    {"an inventory interrupted says so", "--scan --timeout 0.01 $C/0-255", Two, "", "130", "", nullptr, inventoryInterrupted, "of 256 asked"}};
// clang-format on
} // namespace

class TestFlash : public QObject {
    Q_OBJECT

    std::optional<QTemporaryDir> m_dir; // a fresh one for each test and row

    QString path(const QString& name) const { return m_dir->filePath(name); }
    QString write(const QByteArray& bytes, const QString& name = "fw.hex") {
        QFile f(path(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(f.fileName()));
        return f.fileName();
    }

private slots:
    void init() { m_dir.emplace(); }

    void arguments_data() { addRows(ArgRows); }

    void arguments() {
        const ArgRow& row = ArgRows[fetchRow()];
        const auto parsed = parseFlashArguments(QString(row.args).split(' '));
        QString got = parsed ? QString() : parsed.failure().detail;
        if (const auto* o = parsed ? std::get_if<FlashOptions>(&*parsed) : nullptr) {
            got = joined(o->timeoutMs, o->firstTimeoutMs, o->retries,
                         o->gateway ? QString::number(o->gatewayAddress) : "direct",
                         o->localPort ? QString::number(*o->localPort) : "drawn", o->jobs);
            for (const HostEntry& h : o->hosts)
                got += " " + h.host + (h.port ? ":" + QString::number(*h.port) : "") +
                       (h.gatewayAddress ? "/" + QString::number(*h.gatewayAddress) : "") +
                       (h.lastAddress ? "-" + QString::number(*h.lastAddress) : "");
        }
        QVERIFY2(got.endsWith(row.outcome), qPrintable(got));
        // The hosts file: one target a line, comments and blank lines allowed, errors with a line.
        const QString hosts = write("# line 3\r\n\n  a:1/2  # first\n[::1]\n", "hosts"),
                      more = write("c\n", "more");
        const auto o =
            std::get<FlashOptions>(*parseFlashArguments({"--hosts", hosts, "--hosts", more, "f", "b"}));
        QCOMPARE(o.hosts, (QList<HostEntry>{{"a", 1, 2}, {"::1", {}, {}}, {"c", {}, {}}, {"b", {}, {}}}));
        QCOMPARE(parseHostsFile("a\nb_c\n", "h").failure().detail,
                 QStringLiteral("h:2: bad target 'b_c': not a host name or IP address"));
    }

    void runs_data() { addRows(RunRows); }

    void runs() {
        const RunRow& row = RunRows[fetchRow()];
        const QString runs = row.runs;
        if (row.isolated && !isolated())
            QSKIP("names that do not resolve and group targets are tried in a network of the test's own");
        const QList<QByteArray> script = QByteArray(row.answer).split('>'); // match, reply
        ScriptedDevice device([&](const QByteArray& d) {
            if (script.size() < 2 || !d.contains(script[0]))
                return ScriptedDevice::bootloader(d);
            return script[1].isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{script[1] + "\r\n"};
        });
        SimulatorProcess a(VELTA_DEVSIM, {"--verbose"}),
            b(VELTA_DEVSIM, {"--verbose", "--error-at-line", "3"}, "127.0.0.2"),
            c(VELTA_DEVSIM, {"--verbose", "--address", "16,17", "--delay-ms", "20"}, "127.0.0.3");
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress));
        QVERIFY(QFile::link(write(row.content), path("link")) &&
                QFile::link(write("# shared\n", "shared.hosts"), path("list-link")) &&
                ::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600) == 0);
        // clang-format off
        const QStringList names{"$F", path("fw.hex"), "$G", write(syntheticHexFile(41), "other.hex"), "$R", path("report"),
            "$L", path("log"), "$X", path("missing.hex"), "$Q", path("fifo"), "$K", path("link"), "$D", path("no/such"),
            "$P", QString::number(taken.localPort()), "$H", device.endpoint(),
            "$O", write(("# one\n" + device.endpoint() + "\n").toUtf8(), "one.hosts"),
            "$W", write((device.endpoint() + "\n# again\n" + device.endpoint() + "/16\n").toUtf8(), "twice.hosts"),
            "$A", a.endpoint(), "$B", b.endpoint(), "$C", c.endpoint(), "$a", QString::number(a.port()),
            "$N", path("list-link"), "$E", m_dir->path(), "$S", write("# the only one\n5\n", "serials.txt")};
        // clang-format on
        const auto real = [&](QString text) {
            for (qsizetype i = 0; i < names.size(); i += 2)
                text.replace(names[i], names[i + 1]);
            return text;
        };
        QStringList codes;
        FlashRun last;
        for (const QString& run : runs.split(" ; ")) {
            last = runFlash(real(run).split(' ', Qt::SkipEmptyParts), real(row.interruptAt));
            codes << QString::number(last.exitCode);
        }
        QCOMPARE(codes.join(' '), row.exitCodes);
        VERIFY_HAS(last.err, *row.expect ? "velta-flash: " + real(row.expect) : QString());
        if (last.exitCode == ExitCode::BadArguments || last.exitCode == ExitCode::BadFile)
            QVERIFY(device.received.isEmpty()); // refused before anything was sent
        const Records report = readRecords(read(path("report")));
        QVERIFY2(report.fault.isEmpty(), qPrintable(report.fault));
        QVERIFY(report.devices.isEmpty() || report.run["exit_code"].toInt() == last.exitCode);
        QStringList results;
        for (const QJsonObject& o : report.devices) {
            QVERIFY(runs.contains("--start") || !o["start_sent"].toBool());
            results << o["result"].toString();
        }
        results.sort();
        if (row.results)
            QCOMPARE(results.join(' '), QString(row.results));
        if (row.check)
            row.check({last, report.devices, a.process().readAllStandardError(),
                       c.process().readAllStandardError(), real});
    }

    // Outputs that cannot be written (a full disk, played by a file size limit, whose signal the
    // flasher does not die of) fail the run with their own code, although the device itself was
    // loaded; a record that did not fit is cut off again, so the report ends with the last whole
    // record.
    void outputsThatCannotBeWritten() {
        ScriptedDevice device;
        const QByteArray earlier = "{\"earlier\":\"" + QByteArray(880, 'x') + "\"}\n";
        const QString report = write(earlier, "full.jsonl");
        const FlashRun run = runFlash(
            {"--log", path("t.log"), "--report", report, write(syntheticHexFile(40)), device.endpoint()}, {},
            "ulimit -f 1;");
        QCOMPARE(run.exitCode, ExitCode::LogError);
        VERIFY_HAS(run.err, "velta-flash: cannot write log file " + path("t.log"));
        VERIFY_HAS(run.err, "velta-flash: cannot write report file " + report + ": File too large");
        VERIFY_HAS(run.out, QRegularExpression("\\s+ok\\s+80/80\\s"));
        QCOMPARE(read(report).toUtf8(), earlier);
        // The log ends with its last whole line.
        const QString log = read(path("t.log"));
        QVERIFY2(log.size() > 100 && log.endsWith('\n') && log.size() <= 1024, qPrintable(log.right(200)));
        // A list of failed targets that cannot be written at the end keeps the old one, and its
        // code outranks the device's error: a script must not re-run the old list unawares.
        const QString failed = write("# an earlier run\n10.9.9.9\n", "failed.hosts");
        ScriptedDevice refusing([](const QByteArray& d) {
            return QList<QByteArray>{d.contains("OOTi") ? "VER=1\r\n" : "ERROR\r\n"};
        });
        const FlashRun stale = runFlash(
            {"--failed-hosts", failed, write(syntheticHexFile(4)), refusing.endpoint()}, {}, "ulimit -f 0;");
        QCOMPARE(stale.exitCode, ExitCode::LogError);
        VERIFY_HAS(stale.err, "cannot write " + failed + ": File too large; the list there is stale");
        QCOMPARE(read(failed), QString("# an earlier run\n10.9.9.9\n"));
    }

    // A line as a production-test engineer sets it up: three gateways with the devices 16, 17 and
    // 18 (the second's 17 answers ERROR to line 5, the third's run another bootloader) and ten
    // direct devices, one of them named as if behind a gateway. Then the failed ones again from
    // the file the run wrote, and an inventory of the gateways. Thousands of other devices have
    // taken every port of the drawn range: the system chooses one.
    void productionLine() {
        (void)openFileLimit(); // room for a thousand sockets
        std::vector<QUdpSocket> taken(1000);
        // Every one of them: a port another test's run holds for a moment (ctest runs two at once)
        // is taken once that run lets it go.
        QVERIFY(QTest::qWaitFor(
            [&] {
                bool all = true;
                for (size_t i = 0; i < taken.size(); ++i)
                    all = (taken[i].state() == QAbstractSocket::BoundState ||
                           taken[i].bind(QHostAddress::AnyIPv4, quint16(5500 + i),
                                         QAbstractSocket::DontShareAddress)) &&
                          all;
                return all;
            },
            60000));
        std::vector<std::unique_ptr<SimulatorProcess>> gateways, direct;
        for (const QStringList& extra : {QStringList{}, QStringList{"--error-at-line", "17:5"},
                                         QStringList{"--boot-text", "VELTA BOOT VER=2.9"}})
            gateways.push_back(std::make_unique<SimulatorProcess>(
                VELTA_DEVSIM, QStringList{"--address", "16,17,18"} + extra));
        QString hosts = "# line 3\n";
        QStringList behindGateways; // as the inventory lists them
        for (const auto& g : gateways)
            for (const QString a : {"16", "17", "18"}) {
                hosts += g->endpoint() + "/" + a + "\n";
                behindGateways << joined(g->endpoint() + "/" + a, g == gateways[2]
                                                                      ? "VELTA BOOT VER=2.9"
                                                                      : "VELTA BOOT VER=2.10 ADDR=" + a);
            }
        for (int i = 0; i < 10; ++i) {
            direct.push_back(std::make_unique<SimulatorProcess>(VELTA_DEVSIM, QStringList{"--direct-only"}));
            hosts += direct.back()->endpoint() + (i == 9 ? "/16\n" : "\n");
        }
        const QString misnamed = direct.back()->endpoint() + "/16", faulty = gateways[1]->endpoint() + "/17";
        const QString file = write(syntheticHexFile(40)), failed = path("failed.hosts");
        FlashRun run = runFlash({"--direct", "--timeout", "0.2", "--retries", "1", "--hosts",
                                 write(hosts.toUtf8(), "line.hosts"), "--report", path("line.jsonl"),
                                 "--failed-hosts", failed, file});
        QCOMPARE(run.exitCode, 1);
        VERIFY_HAS(run.out, "\n17 ok, 2 failed: 1 device-error, 1 timeout\n");
        VERIFY_HAS(run.err, "velta-flash: " + misnamed +
                                ": no reply to the boot-information request (timeout 0.2 s, 2 sends); "
                                "sent as MDB 16,OOTi: a device without a gateway needs --direct");
        // In a pipe: a time-stamped line per device and phase.
        QVERIFY(run.err.contains(QRegularExpression("\n\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ " +
                                                    QRegularExpression::escape(faulty) +
                                                    ": download pass, 40 lines\n")));
        const Records line = readRecords(read(path("line.jsonl")));
        QVERIFY2(line.fault.isEmpty(), qPrintable(line.fault));
        QCOMPARE(line.devices.size(), 19);
        QMap<QString, QString> phases; // where each device ended
        for (const QJsonObject& r : line.devices) {
            phases[r["phase"].toString()] += r["target"].toString() + " " + r["mode"].toString() + " ";
            QVERIFY(r["local_port"].toInt() < 5500 || r["local_port"].toInt() > 6499);
        }
        QCOMPARE(phases["download"] + phases["boot-info"], faulty + " gateway " + misnamed + " gateway ");
        QCOMPARE(phases["done"].count(" direct "), 9);
        QCOMPARE(line.run["results"].toObject(),
                 (QJsonObject{{"ok", 17}, {"device-error", 1}, {"timeout", 1}}));
        // The failed ones, exactly, and nothing else when run again from that file.
        QCOMPARE(read(failed).section('\n', 1), faulty + "\n" + misnamed + "\n");
        run = runFlash({"--direct", "--timeout", "0.2", "--retries", "0", "--hosts", failed, "--failed-hosts",
                        failed, "--report", path("again.jsonl"), file});
        VERIFY_HAS(run.out, "\n0 ok, 2 failed: 1 device-error, 1 timeout\n");
        QCOMPARE(read(failed).section('\n', 1), faulty + "\n" + misnamed + "\n");
        // One key for each device however its target was written, in both runs.
        QStringList keys, again;
        for (const QJsonObject& r : line.devices)
            keys << (r["result"] == "ok" ? QString() : r["device_key"].toString());
        for (const QJsonObject& r : readRecords(read(path("again.jsonl"))).devices)
            again << r["device_key"].toString();
        keys.removeAll(QString());
        // In the order their devices finished, which a slow build may change.
        keys.sort();
        again.sort();
        QCOMPARE(keys, again);
        const auto first =
            std::find_if(line.devices.cbegin(), line.devices.cend(),
                         [&](const QJsonObject& r) { return r["target"] == direct[0]->endpoint(); });
        QCOMPARE(joined(line.run["operation"].toString(), line.run["file_checked"].toBool(),
                        (*first)["device_key"].toString()),
                 joined("flash", true, direct[0]->endpoint()));
        // The inventory: the nine devices behind the gateways, and nothing where no device is.
        QStringList scan{"--scan",   "--timeout",       "0.05", "--log", path("scan.log"),
                         "--report", path("scan.jsonl")};
        scan << direct.front()->endpoint() + "/16-17";
        for (const auto& g : gateways)
            scan << g->endpoint() + "/14-19";
        run = runFlash(scan << "--list-silent");
        QCOMPARE(run.exitCode, 0);
        VERIFY_HAS(run.out, "\n9 answered, 11 silent\nSILENT\n" + direct.front()->endpoint() + "/16-17\n" +
                                gateways[0]->endpoint() + "/14-15\n" + gateways[0]->endpoint() + "/19\n");
        // A line a host as its addresses are asked, and the usual cause where none answered.
        VERIFY_HAS(run.err, QRegularExpression("Z " + QRegularExpression::escape(gateways[1]->endpoint()) +
                                               "  6 of 6 asked, 3 answered\n"));
        VERIFY_HAS(run.err, QRegularExpression("Z " + QRegularExpression::escape(gateways[1]->endpoint()) +
                                               "  1 of 6 asked, 0 answered\n"));
        VERIFY_HAS(run.err, "velta-flash: " + direct.front()->endpoint() +
                                " (/16-17): no device answered at any address asked; a device without a "
                                "gateway needs --direct\n");
        const Records inventory = readRecords(read(path("scan.jsonl")));
        QVERIFY2(inventory.fault.isEmpty() && inventory.run["operation"] == "scan",
                 qPrintable(inventory.fault));
        QStringList found;
        for (const QJsonObject& o : inventory.devices)
            found << joined(o["target"].toString(), o["boot_info"].toString());
        found.sort();
        behindGateways.sort();
        QCOMPARE(found, behindGateways);
        // Nothing but the boot-information request went out.
        const QString sent = read(path("scan.log"));
        QCOMPARE(sent.count(" > "), sent.count(QRegularExpression(" > MDB 1\\d,OOTi\\\\r\\\\n\n")));
        QVERIFY(sent.count(" > ") >= 3 * 6 + 2); // every address asked
        QCOMPARE(runFlash({"--scan", "--timeout", "0.05", misnamed}).exitCode, ExitCode::Timeout);
    }

    // A reader that quits (| head) does not kill the run: the devices still finish their
    // transfers, and the failed write is exit 6. The second device answers only once the reader
    // has gone, so its record meets a closed pipe whatever the timing.
    void closedPipe() {
        bool readerGone = false;
        ScriptedDevice first, second([&](const QByteArray&d) {
            return readerGone ? ScriptedDevice::bootloader(d) : QList<QByteArray>{};
        });
        QProcess p, head;
        p.setStandardOutputProcess(&head);
        head.start("head", {"-n", "1"});
        p.start(VELTA_FLASH, {"--report", "-", "--timeout", "0.2", "--retries", "100", write(Two),
                              first.endpoint(), second.endpoint()});
        QVERIFY(QTest::qWaitFor([&] { return head.state() == QProcess::NotRunning; }, 20000));
        VERIFY_HAS(QString(head.readAll()), "\"result\":\"ok\"");
        readerGone = true;
        QVERIFY(QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), ExitCode::LogError);
        VERIFY_HAS(QString(p.readAllStandardError()), "cannot write report file -");
        // Both devices took both passes to their end.
        for (const ScriptedDevice* device : {&first, &second}) {
            QVERIFY(device->received.size() >= 5);
            QCOMPARE(device->received.last(), QByteArray("MDB 16,OOT#00000001FF\r\n"));
        }
    }

    // Ctrl-C while a name is still being looked up (the name server here takes the question and
    // never answers) ends the run at once: nothing goes out, every target gets its record.
    void interruptedWhileLookingUp() {
        if (!isolated())
            QSKIP("the silent name server is played in a network of the test's own");
        QUdpSocket nameServer;
        QVERIFY(nameServer.bind(QHostAddress::LocalHost, 53));
        ScriptedDevice device;
        QProcess p;
        p.start(VELTA_FLASH,
                {"--report", path("looked.jsonl"), write(Two), "slow.example", device.endpoint()});
        QVERIFY(nameServer.waitForReadyRead(10000)); // the question is out
        QCOMPARE(::kill(pid_t(p.processId()), SIGINT), 0);
        QVERIFY(p.waitForFinished(3000));
        QCOMPARE(p.exitCode(), 130);
        QVERIFY(device.received.isEmpty());
        QCOMPARE(read(path("looked.jsonl")).count("\"result\":\"interrupted\""), 2);
    }

    // The bytes on the wire are the window's, to a device given by name behind gateway 7; the
    // transcript has them all, each datagram's first 256 bytes; outsiders and late copies do not
    // move the transfer on.
    void wireAndTranscript() {
        const QByteArray hex = syntheticHexFile(30);
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress("127.0.0.2"), 0));
        int copiesOfFirst = 0;
        ScriptedDevice device([&](const QByteArray& d) -> QList<QByteArray> {
            // Before each answer a datagram from another address that would end the pass.
            stranger.writeDatagram("DOWNLOAD\r\n", QHostAddress::LocalHost, device.senderPort);
            // The first copy of line 1 goes unanswered, the second is answered twice.
            if (d.endsWith("OOT:020000040000FA\r\n"))
                return ++copiesOfFirst == 1 ? QList<QByteArray>{} : QList<QByteArray>{"OK\r\n", "OK\r\n"};
            if (d.contains("OOTi")) // a huge answer: the transcript keeps its start and its length
                return {"VER=9.9 " + QByteArray(65000, 'x')};
            return ScriptedDevice::bootloader(d);
        });
        const FlashRun run = runFlash({"--timeout", "0.3", "--first-timeout", "0.3", "--log", path("t.log"),
                                       "--gateway", "7", "--report", path("r.jsonl"), write(hex),
                                       "localhost:" + QString::number(device.socket.localPort())});
        QCOMPARE(run.exitCode, 0);
        VERIFY_HAS(run.out, QRegularExpression("\\s127.0.0.1\\s+ok\\s+60/60\\s"));
        const QByteArray prefix = "MDB 7,";
        QList<QByteArray> expected{prefix + "OOTi\r\n"};
        for (const char mark : {':', '#'})
            for (const QByteArray& line : hex.split('\n'))
                if (!line.trimmed().isEmpty())
                    expected << prefix + "OOT" + line.trimmed().replace(':', mark) + "\r\n";
        // Line 1 went twice; on a busy host another line may go again now and then.
        QList<QByteArray> road = device.received;
        road.erase(std::unique(road.begin(), road.end()), road.end());
        QCOMPARE(road, expected);
        QVERIFY(device.received.mid(1, 2) == QList<QByteArray>(2, expected.at(1)));
        const QString log = read(path("t.log"));
        QCOMPARE(log.count(" > "), device.received.size());
        QCOMPARE(log.count(QRegularExpression(":\\d\\d\\.\\d{3}Z ")), log.count('\n')); // a time stamp a line
        VERIFY_HAS(log, " - ignored 10 bytes from 127.0.0.2 port ");
        VERIFY_HAS(log, "VER=9.9 " + QString(248, 'x') + " ... (65008 bytes)\n");
        // The record keeps the start of it, and says how long it was.
        QCOMPARE(readRecords(read(path("r.jsonl"))).devices.value(0)["boot_info"].toString(),
                 "VER=9.9 " + QString(504, 'x') + " ... (65008 characters)");
        // Without --local-port the port is drawn from the window's range.
        VERIFY_HAS(log, QRegularExpression("start, local port (5[5-9]|6[0-4])\\d\\d, 30 lines"));
    }

    // Serial numbers on a line: a gateway of three devices (17 answers ERROR at line 5), two
    // direct devices and a silent one. Each device that ends ok holds its own value at 0x7FF0,
    // read back from its image; the two others' values are void; a rerun of the failed gets fresh
    // values; two runs at once on one pool share none; a run killed mid-way leaves its value void.
    void serialsOnALine() {
        std::vector<std::unique_ptr<SimulatorProcess>> sims;
        sims.push_back(std::make_unique<SimulatorProcess>(
            VELTA_DEVSIM,
            QStringList{"--address", "16,17,18", "--error-at-line", "17:5", "--image-out", path("gw")}));
        for (const char* n : {"a", "b"})
            sims.push_back(std::make_unique<SimulatorProcess>(
                VELTA_DEVSIM, QStringList{"--direct-only", "--image-out", path(n)}));
        QUdpSocket silent;
        QVERIFY(silent.bind(QHostAddress::LocalHost, 0));
        const QString gw = sims[0]->endpoint(), a = sims[1]->endpoint(), b = sims[2]->endpoint(),
                      quiet = "127.0.0.1:" + QString::number(silent.localPort());
        const QString file = write(syntheticHexFile(40)), pool = path("pool.db");
        const QStringList serial{"--direct", "--timeout",       "0.2",    "--retries",
                                 "1",        "--serial-db",     pool,     "--serial-start",
                                 "1000",     "--serial-at",     "0x7FF0", "--serial-size",
                                 "4",        "--serial-format", "be"};
        const QString hosts =
            write((gw + "/16\n" + gw + "/17\n" + gw + "/18\n" + a + "\n" + b + "\n" + quiet + "\n").toUtf8(),
                  "line.hosts");
        FlashRun run = runFlash(serial + QStringList{"--hosts", hosts, "--report", path("r.jsonl"),
                                                     "--failed-hosts", path("failed"), file});
        QCOMPARE(run.exitCode, 1);
        // Each value where the device keeps it, four programmed, the failed two void.
        QMap<QString, QString> given; // device key: value
        const Records records = readRecords(read(path("r.jsonl")));
        QVERIFY2(records.fault.isEmpty(), qPrintable(records.fault));
        for (const QJsonObject& r : records.devices)
            given[r["device_key"].toString()] = r["serial"].toString() + (r["result"] == "ok" ? "" : " void");
        QCOMPARE(joined(records.run["serials_programmed"].toInt(), records.run["serials_voided"].toInt()),
                 "4 2");
        const auto heldAt7ff0 = [&](const QString& image) {
            const auto held = hexFileImage(read(image).toUtf8());
            QByteArray bytes;
            for (quint32 at = 0x7FF0; held && at < 0x7FF4; ++at)
                bytes += char(held->byteAt(at).value_or(0));
            return QString::number(qFromBigEndian<quint32>(bytes.constData()));
        };
        QCOMPARE(heldAt7ff0(path("gw.16")) + " " + heldAt7ff0(path("gw.18")) + " " + heldAt7ff0(path("a")) +
                     " " + heldAt7ff0(path("b")),
                 given[gw + "/16"] + " " + given[gw + "/18"] + " " + given[a] + " " + given[b]);
        QStringList values = given.values();
        values.replaceInStrings(" void", "");
        values.sort();
        QCOMPARE(
            joined(values.join(','), given[gw + "/17"].endsWith(" void"), given[quiet].endsWith(" void")),
            "1000,1001,1002,1003,1004,1005 1 1");
        // The failed ones again: fresh values, none handed out twice.
        run =
            runFlash(serial + QStringList{"--hosts", path("failed"), "--report", path("again.jsonl"), file});
        QStringList again;
        for (const QJsonObject& r : readRecords(read(path("again.jsonl"))).devices)
            again << r["serial"].toString();
        again.sort();
        QCOMPARE(again.join(','), "1006,1007");
        // Two runs at once on one pool, then a run killed after its value was issued.
        QProcess first, second;
        for (QProcess* p : {&first, &second})
            p->start(VELTA_FLASH, serial + QStringList{"--quiet", "--report", path(p == &first ? "1" : "2"),
                                                       file, p == &first ? a : b});
        QVERIFY(first.waitForFinished(30000) && second.waitForFinished(30000));
        const QString both = readRecords(read(path("1"))).devices.value(0)["serial"].toString() + "," +
                             readRecords(read(path("2"))).devices.value(0)["serial"].toString();
        QVERIFY2(both == "1008,1009" || both == "1009,1008", qPrintable(both));
        while (silent.hasPendingDatagrams()) // what the earlier runs asked it
            silent.receiveDatagram();
        QProcess killed;
        killed.start(VELTA_FLASH, serial + QStringList{"--quiet", "--first-timeout", "30", file, quiet});
        QVERIFY(QTest::qWaitFor([&] { return silent.hasPendingDatagrams(); }, 10000)); // its boot info asked
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished(5000));
        run = runFlash(serial + QStringList{"--report", path("after.jsonl"), file, a});
        QCOMPARE(readRecords(read(path("after.jsonl"))).devices.value(0)["serial"].toString(),
                 QString("1011"));
        run = runFlash({"--serial-db", pool, "--serials", "--report", "-"});
        QCOMPARE(run.exitCode, 0);
        QStringList states;
        for (const QString& line : run.out.split('\n', Qt::SkipEmptyParts)) {
            VERIFY_HAS(schemaFault(line.toUtf8()), QString());
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            states << o["serial"].toString() + " " + o["state"].toString();
        }
        QCOMPARE(states.mid(10).join(','), "1010 void,1011 programmed");
        VERIFY_HAS(runFlash({"--serial-db", pool, "--serials"}).out, "\n7 programmed, 0 issued, 5 void\n");
    }

    // The programs' own answers: the help with its defaults filled in, the version, and a help
    // that cannot be written (a closed standard output) fails as an output does.
    void helpAndVersion() {
        const struct {
            const char *program, *args, *limits, *start;
            int code;
        } rows[] = {{VELTA_FLASH, "--help", "", "Usage: velta-flash [options] FILE.hex", 0},
                    {VELTA_FLASH, "--version", "", "velta-flash " VELTA_VERSION "\n", 0},
                    {VELTA_FLASH, "-help", "", "Usage: velta-flash", 0},
                    {VELTA_DEVSIM, "--help", "", "Usage: velta-devsim [options]", 0},
                    {VELTA_DEVSIM, "--version", "", "velta-devsim " VELTA_VERSION "\n", 0},
                    {VELTA_FLASH, "--help", "exec >&-;", "", ExitCode::LogError}};
        for (const auto& r : rows) {
            QProcess p;
            p.start("bash", {"-c", QString(r.limits) + " exec \"$0\" \"$@\"", r.program, r.args});
            QVERIFY(p.waitForFinished(10000));
            const QString out = p.readAllStandardOutput();
            QCOMPARE(joined(r.args, p.exitCode(), !*r.start || out.startsWith(r.start)),
                     joined(r.args, r.code, true));
        }
        VERIFY_HAS(runFlash({"--help"}).out, "(default 111)"); // the defaults filled in
    }

    // A firewall rule that refuses one datagram in 20 on its way out makes the send fail (EPERM):
    // a loss like any other, resent, never the end of the device.
    void sendsRefusedForAMoment() {
        if (!isolated() || QProcess::execute("nft", {"add table inet velta"}) != 0)
            QSKIP("needs nftables in a network of the test's own");
        SimulatorProcess sim(VELTA_DEVSIM, {"--direct-only", "--image-out", path("image.hex")});
        const QString rule =
            QString("add rule inet velta out udp dport %1 numgen random mod 20 0 drop").arg(sim.port());
        QCOMPARE(
            QProcess::execute("nft", {"add chain inet velta out { type filter hook output priority 0; }"}),
            0);
        QCOMPARE(QProcess::execute("nft", {rule}), 0);
        const QByteArray hex = syntheticHexFile(300);
        const FlashRun run = runFlash(
            {"--direct", "--log", path("t.log"), "--report", path("r.jsonl"), write(hex), sim.endpoint()});
        (void)QProcess::execute("nft", {"delete table inet velta"});
        QCOMPARE(run.exitCode, 0);
        const QJsonObject r = readRecords(read(path("r.jsonl"))).devices.value(0);
        const int refused =
            int(read(path("t.log")).count(QRegularExpression(": Operation not permitted, taken as lost\n")));
        QVERIFY2(refused > 0 && r["resends"].toInt() >= refused && r["passes"].toInt() == 2,
                 qPrintable(joined(refused, r["resends"].toInt())));
        QCOMPARE(read(path("image.hex")).toUtf8(), hexFileImage(hex)->toHexText());
    }

    void tableAndLines() {
        // clang-format off
        DeviceProgress a{"dev:111", "127.0.0.1", FlashPass::Verify, FlashResult::Success, false, true, 10, 10, 10, 10, 2000000, 0, "skipped", {}, QString::fromLatin1("V=2\0\x1b[2J\r\n", 10)};
        DeviceProgress b{"10.1.1.1:5000", "10.1.1.1", FlashPass::Download, FlashResult::Timeout, false, false, 3, 10, 2, 20, 1000000, 4, "timeout", "no reply", ""};
        DeviceProgress c{"nowhere.invalid:111", "", FlashPass::BootInfo, FlashResult::NetworkError, false, false, 0, 0, 0, 0, 0, 0, "network-error", "cannot look up", ""};
        DeviceProgress d{"dev:111/17", "127.0.0.1", FlashPass::Verify, FlashResult::DeviceError, false, false, 0, 0, 0, 0, 0, 0, "verify-mismatch", "", ""};
        // clang-format on
        // The target as written and the address used; device text escaped, so a NUL or an escape
        // sequence in it can neither cut the table nor steer the terminal.
        // A device's whole datagram of text is cut to a line, and says so.
        d.bootInfo = QString(70, 'v') + QString(65437, 'w');
        QCOMPARE(
            summaryTable({a, b, c, d}),
            "TARGET               ADDRESS    RESULT           LINES  RESENT  TIME     RATE       BOOT INFO\n"
            "dev:111              127.0.0.1  skipped          10/10       0  2.000 s  5 lines/s  "
            "V=2\\u0000\\u001b[2J\\r\\n\n"
            "10.1.1.1:5000        10.1.1.1   timeout           2/20       4  1.000 s  2 lines/s\n"
            "nowhere.invalid:111  -          network error      0/0       0  0.000 s  0 lines/s\n"
            "dev:111/17           127.0.0.1  verify mismatch    0/0       0  0.000 s  0 lines/s  " +
                QString(70, 'v') + "wwwwwwwwww ... (65507 characters)\n");
        QCOMPARE(totalsLine({a, b, c, d, b}),
                 "0 ok, 1 skipped, 4 failed: 1 network-error, 2 timeout, 1 verify-mismatch\n");
        QCOMPARE(totalsLine({a, a}), "0 ok, 2 skipped\n");
        QCOMPARE(progressLine(b, 13, 200), "10.1.1.1:5000  FAILED    timeout: no reply");
        b.result = FlashResult::Running;
        QCOMPARE(progressLine(b, 15, 200),
                 "10.1.1.1:5000    download   3/10      2 lines/s  4 resent  0:09 left");
        QCOMPARE(progressLine(b, 15, 20).size(), 20);
        // What a device waits for, once worth saying: for how long, of how long its copy waits.
        const struct {
            FlashWait wait;
            qint64 waitedUs;
            const char* text;
        } waits[] = {
            {{FlashWait::For::BootInfo, 0, 3000000, 0}, 1200000, "boot information: no answer yet, 1 of 3 s"},
            {{FlashWait::For::FirstRecord, 0, 10000000, 1},
             3900000,
             "first record: waiting for the device's answer, it may be erasing, 1 resent, 3 of 10 s"},
            {{FlashWait::For::Record, 0, 2500, 0}, 999999, ""},
            {{FlashWait::For::Record, 0, 3000000, 2}, 1000000, "line 3: no answer yet, 2 resent, 1 of 3 s"},
            {{FlashWait::For::Settling, 0, 3000000, 2}, 2000000, ""}};
        for (const auto& w : waits) {
            b.wait = w.wait;
            b.waitedUs = w.waitedUs;
            QCOMPARE(waitText(b), QString(w.text));
        }
        b.pass = FlashPass::BootInfo;
        b.wait = waits[0].wait;
        b.waitedUs = 0;
        QCOMPARE(progressLine(b, 15, 200), "10.1.1.1:5000    boot information: no answer yet, 0 of 3 s");
        QCOMPARE(exitCodeOf(FlashResult::Interrupted, SIGTERM), 143);
    }
};

QTEST_GUILESS_MAIN(TestFlash)
#include "test_flash.moc"
