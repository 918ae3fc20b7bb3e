// The stores: the value formats, the image each device gets (read back by srecord's srec_cat),
// the list and SQTP files, and the pool: its states, runs that die or live on in other processes,
// two processes taking values at once, the sources it refuses; the history, the spool, and a server
// that goes away. Every store test runs on an SQLite file, then on a PostgreSQL server of its own.
#include "pg_server.h"
#include "table.h"

#include "core/protocol/intel_hex.h"
#include "line/serial_image.h"
#include "line/serial_source.h"
#include "store/database.h"
#include "store/history.h"
#include "store/serial_pool.h"
#include "store/spool.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The server of the second round: every pool test again on PostgreSQL (nothing in the first).
PgServer* pg = nullptr;

// Where a test's pool lives: a file in its folder, or a database of its own on the server.
QString poolAt(const QTemporaryDir& dir) {
    return pg ? pg->newDatabase() : dir.filePath("pool.db");
}

// Records from a shorthand: L0001 (04), S1000 (02), D0010:4 (4 bytes A0 A1 ...), D0010=AABB
// (those bytes), U0010=AABB (marked used: ';'), E (end of file), X (not a record).
QByteArray hexText(const char* shorthand, bool lower = false, int fill = 0) {
    QByteArray out;
    for (int i = 0; i < fill; ++i)
        out += formatHexRecord(0, quint16(0x1000 + i), QByteArray(1, char(i)));
    for (const QByteArray& t : QByteArray(shorthand).split(' ')) {
        const quint16 v = quint16(t.mid(1, 4).toUInt(nullptr, 16));
        QByteArray data = QByteArray::fromHex(t.mid(6));
        for (int b = 0; t.size() > 5 && t[5] == ':' && b < t.mid(6).toInt(); ++b)
            data = data.left(b) + char(0xA0 + b); // D0010:4 is A0 A1 A2 A3
        const char base[2] = {char(v >> 8), char(v & 0xFF)};
        out += t[0] == 'E'                  ? formatHexRecord(1, 0, {})
               : t[0] == 'X'                ? QByteArray(":zz\r\n")
               : t[0] == 'L' || t[0] == 'S' ? formatHexRecord(t[0] == 'L' ? 4 : 2, 0, QByteArrayView(base, 2))
                                            : formatHexRecord(0, v, data, t[0] == 'U' ? ';' : ':');
    }
    return lower ? out.toLower() : out;
}

LineStore storeOf(const QByteArray& text) {
    LineStore lines;
    for (const QByteArray& line : text.split('\n'))
        if (!line.trimmed().isEmpty())
            lines.append(line.trimmed());
    return lines;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// srec_cat's reading of a file, written as `out` ("-Intel", "-binary"), or "failed" with what it said.
QByteArray srecCat(const QString& file, const QStringList& filter, const char* out = "-Intel") {
    QProcess p;
    p.start("srec_cat", QStringList{"-redundant-bytes=ignore", "-disable-sequence-warnings", file, "-Intel"} +
                            filter + QStringList{"-o", "-", out});
    p.waitForFinished(60000);
    return p.exitCode() == 0 && p.exitStatus() == QProcess::NormalExit
               ? p.readAllStandardOutput()
               : "failed: " + p.readAllStandardError();
}

QString entriesText(const QList<SerialEntry>& entries) {
    QStringList out;
    for (const SerialEntry& e : entries)
        out << e.value + ':' + serialStateName(e.state) + ':' + e.device +
                   (e.target.isEmpty() ? "" : '@' + e.target);
    return out.join(' ');
}

SerialSource counter(const char* start = "1000", const char* step = "1",
                     SerialFormat f = SerialFormat::BigEndian, int size = 4) {
    return *counterSerials(f, size, QString::fromLatin1(start), QString::fromLatin1(step));
}

// An outcome written to the store itself: one kept in the spool is a failure here.
Result<void> stored(const Result<SerialPool::Settled>& settled) {
    if (!settled)
        return settled.failure();
    return *settled == SerialPool::Settled::Stored ? success()
                                                   : Result<void>(Failure{Failure::Cause::Store, "spooled"});
}

// The test executable again, as a run of its own: see childRun.
struct Child {
    QProcess process;
    QStringList values;
    Child(const QString& pool, int count, const QString& end, const QStringList& identity = {"own", "", ""}) {
        process.setProgram(QCoreApplication::applicationFilePath());
        process.setArguments(QStringList{"--pool-child", pool, QString::number(count), end} + identity);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start();
    }
    // What it issued, once it says it is done (or has ended).
    bool waitDone() {
        QByteArray out;
        for (int i = 0; i < 600 && !out.contains("done\n") && process.state() != QProcess::NotRunning; ++i)
            out += process.waitForReadyRead(100) ? process.readAllStandardOutput() : "";
        values = QString::fromLatin1(out + process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        return values.removeAll("done") == 1;
    }
};

// clang-format off
// A value as text in a format and size: its canonical text and bytes (hex), or the refusal.
const struct ValueRow { const char *name; SerialFormat format; int size; const char *text, *outcome; } ValueRows[] = {
    {"be", SerialFormat::BigEndian, 4, "1000", "1000 000003e8"}, {"le", SerialFormat::LittleEndian, 4, "1000", "1000 e8030000"},
    {"le from 0x", SerialFormat::LittleEndian, 2, "0x1234", "4660 3412"}, {"be wider than 64 bits", SerialFormat::BigEndian, 10, "1", "1 00000000000000000001"},
    {"ascii zero-padded", SerialFormat::Ascii, 6, "1000", "1000 303031303030"}, {"ascii leading zeros are one value", SerialFormat::Ascii, 3, "0042", "42 303432"},
    {"ascii beyond 64 bits", SerialFormat::Ascii, 22, "123456789012345678901", "123456789012345678901 30313233343536373839303132333435363738393031"},
    {"hex upper case, padded", SerialFormat::Hex, 4, "0x1f", "1F 30303146"}, {"mac", SerialFormat::Mac, 6, "02:00:5e:10:00:01", "02:00:5E:10:00:01 02005e100001"},
    {"mac with dashes", SerialFormat::Mac, 6, "02-00-5E-10-00-FF", "02:00:5E:10:00:FF 02005e1000ff"},
    {"be: 256 in one byte", SerialFormat::BigEndian, 1, "256", "256 does not fit in 1 byte"}, {"ascii: 4 digits in 3", SerialFormat::Ascii, 3, "1000", "1000 does not fit in 3 decimal digits"},
    {"hex: 3 digits in 2", SerialFormat::Hex, 2, "100", "100 does not fit in 2 hexadecimal digits"}, {"mac in 4 bytes", SerialFormat::Mac, 4, "02:00:5E:10:00:01", "a mac value takes 6 bytes, not 4"},
    {"no size", SerialFormat::BigEndian, 0, "1", "a value takes 1 to 256 bytes, not 0"}, {"negative", SerialFormat::BigEndian, 4, "-1", "'-1' is not a decimal or 0x number of at most 64 bits"},
    {"beyond 64 bits", SerialFormat::BigEndian, 9, "18446744073709551616", "'18446744073709551616' is not a decimal or 0x number of at most 64 bits"},
    {"ascii takes no letters", SerialFormat::Ascii, 4, "12a", "'12a' is not decimal digits"}, {"mac cut short", SerialFormat::Mac, 6, "02:00:5E:10:00", "'02:00:5E:10:00' is not a MAC address like 02:00:5E:10:00:01"}};

// A counter's value at an ordinal, or why there is none (E: Exhausted, U: refused as given).
const struct CounterRow { const char *name; SerialFormat format; int size; const char *start, *step; qint64 ordinal; const char* outcome; } CounterRows[] = {
    {"be: the last that fits", SerialFormat::BigEndian, 2, "65534", "1", 1, "65535"}, {"be: one past it", SerialFormat::BigEndian, 2, "65534", "1", 2, "E the counter is used up: 65536 does not fit in 2 bytes"},
    {"ascii by 10", SerialFormat::Ascii, 8, "1000", "10", 3, "1030"}, {"hex counts in hex", SerialFormat::Hex, 4, "00FF", "1", 1, "100"},
    {"mac in its low three bytes", SerialFormat::Mac, 6, "02:00:5E:10:00:01", "16", 2, "02:00:5E:10:00:21"},
    {"mac: the last of the low bytes", SerialFormat::Mac, 6, "02:00:5E:FF:FF:FE", "1", 1, "02:00:5E:FF:FF:FF"},
    {"mac never carries into the high bytes", SerialFormat::Mac, 6, "02:00:5E:FF:FF:FE", "1", 2, "E the counter is used up: the low three bytes of 02:00:5E:FF:FF:FE run over after 2 values"},
    {"beyond 64 bits", SerialFormat::BigEndian, 8, "18446744073709551615", "1", 1, "E the counter is used up: value #1 is beyond 64 bits"},
    {"a start that does not fit", SerialFormat::BigEndian, 1, "300", "1", 0, "U 300 does not fit in 1 byte"}, {"step 0", SerialFormat::BigEndian, 4, "1", "0", 0, "U step '0' is not a positive number"}};

// The image with 11 22 33 44 (or `bytes`) at an address: how many lines were changed in place and
// how many added, or the refusal. srec_cat reads the bytes back at the address; all else unchanged.
const struct ImageRow { const char *name, *records; quint32 address; const char* bytes; int changed, added; const char* refused; bool lower; int fill; } ImageRows[] = {
    {"inside a record", "D0000:16 E", 0x0004, "11223344", 1, 0}, {"across two records", "D0000:16 D0010:16 E", 0x000E, "11223344", 2, 0},
    {"partly in a record, the rest added", "D0000:16 E", 0x000E, "11223344", 1, 1},
    {"outside every record, below 64 KiB", "D0000:16 E", 0x7FF0, "11223344", 0, 1}, {"outside every record, above 64 KiB", "D0000:16 E", 0x1FFF0, "11223344", 0, 2},
    {"above 64 KiB, the base in force reaches", "L0001 D0000:16 E", 0x1FFF0, "11223344", 0, 1},
    {"below 64 KiB after a base above it", "L0001 D0000:16 E", 0x7FF0, "11223344", 0, 2},
    {"across a 64 KiB boundary, outside", "D0000:16 E", 0xFFFE, "11223344", 0, 3},
    {"under a segment base, inside", "S1000 D0000:16 E", 0x10004, "11223344", 1, 0}, {"under a segment base, within its reach", "S1000 D0000:16 E", 0x10100, "11223344", 0, 1},
    {"under a segment base, in the part of a record that wraps to the segment's start", "S1000 DFFF8:16 E", 0x10002, "11223344", 1, 0},
    {"a PIC18's data EEPROM, inside", "D0000:16 L00F0 D0000:16 E", 0xF00004, "11223344", 1, 0},
    {"a PIC18's data EEPROM, outside", "D0000:16 L00F0 D0000:16 E", 0xF00010, "11223344", 0, 1},
    {"two records of one address: both", "D0000:16 D0000:16 E", 0x0002, "11223344", 2, 0},
    {"a lower-case file stays lower case", "D0000:16 E", 0x0004, "aabbccdd", 1, 0, nullptr, true},
    {"no end-of-file record: added at the end", "D0000:16", 0x0100, "11223344", 0, 1},
    {"9000 lines, inside", "D0000:16 E", 0x0004, "11223344", 1, 0, nullptr, false, 8998},
    {"8999 lines and one added", "D0000:16 E", 0x7FF0, "11223344", 0, 1, nullptr, false, 8997},
    {"9000 lines and one added: refused", "D0000:16 E", 0x7FF0, "11223344", 0, 0, "the serial's records make 9001 lines, more than 9000", false, 8998},
    {"a line that is no record", "D0000:16 X E", 0x0004, "11223344", 0, 0, "line 2: bad hex digit: the serial's place cannot be told"},
    {"beyond 4 GiB", "D0000:16 E", 0xFFFFFFFE, "11223344", 0, 0, "4 bytes at 0xfffffffe do not fit in a 32-bit address space"}};

// A list file's values, or the refusal.
const struct ListRow { const char *name; SerialFormat format; int size; const char *text, *outcome; } ListRows[] = {
    {"comments, blanks, line ends", SerialFormat::BigEndian, 4, "# lot 7\n1000\n  1001  # second\n\n1002\r\n0x3EB", "1000 1001 1002 1003"},
    {"MAC addresses", SerialFormat::Mac, 6, "02:00:5E:10:00:01\n02:00:5E:10:00:02\n", "02:00:5E:10:00:01 02:00:5E:10:00:02"},
    {"a value that does not fit: its line", SerialFormat::BigEndian, 2, "1000\n\n70000\n", "l.txt:3: 70000 does not fit in 2 bytes"},
    {"a value twice", SerialFormat::Ascii, 4, "42\n0042 # the same\n", "l.txt:2: 42 again (line 1): it would be handed out twice"}};

// An SQTP file's records (data@address, * used), or the refusal.
const struct SqtpRow { const char *name, *records, *outcome; } SqtpRows[] = {
    {"in order, after an 04 record", "L0000 D0C00=BF7087ED D0C00=43BD7F34 L00F0 D0010=0102 E", "BF7087ED@c00 43BD7F34@c00 0102@f00010"},
    {"used records keep their place", "D0000=01 U0000=02 D0000=03 E", "01@0 02@0* 03@0"},
    {"no end-of-file record", "D0000=01", "s.num: no end-of-file record: cut short?"}, {"a record after the end", "D0000=01 E D0000=02", "s.num:3: a record after the end-of-file record"},
    {"a segment record", "S1000 D0000=01 E", "s.num:1: a record of type 02: SQTP files hold types 00, 01 and 04 only"},
    {"a bad line", "D0000=01 X E", "s.num:2: bad hex digit"}, {"an empty data record", "D0000= E", "s.num:1: a data record without data"}};

// Steps of runs on one pool (i: issue, pN: programmed, vN: void, c: close, r: a new run beside the
// others): what each step gave, then the pool as another connection reads it.
const struct StateRow { const char *name, *script, *outcome; } StateRows[] = {
    {"issued, programmed, void", "i i i p0 v1", "1000 1001 1002 ok ok|1000:programmed:d0@t0 1001:void:d1 1002:issued:d2"},
    {"settled once only", "i p0 p0 v0", "1000 ok no no|1000:programmed:d0@t0"},
    {"a closed run voids what it left issued; the next goes on", "i i p0 c r i", "1000 1001 ok ok 1002|1000:programmed:d0@t0 1001:void:d1 1002:issued:d2"},
    {"another run's value is not this run's", "i r p0 v0", "1000 no no|1000:issued:d0"}, {"a closed run issues nothing", "c i", "ok no|"}};

// A run in another process issued three values and ended as told ("kill": SIGKILL, "exit": without
// closing, "wait": lives on), its identity as given ("parent": the parent's pid with another start
// time); whether the next run finds them void.
const struct RecoveryRow { const char *name, *end, *pid, *host, *boot; bool voided; } RecoveryRows[] = {
    {"killed with SIGKILL", "kill", "own", "", "", true}, {"alive in another process", "wait", "own", "", "", false},
    {"its pid is now another process's", "exit", "parent", "", "", true}, {"the machine booted since", "exit", "own", "", "another boot", true},
    {"another host's: cannot be told", "exit", "own", "elsewhere", "", false}};

// A pool made with one source and opened with another: the second run's first value, or why not.
const struct SourceRow { const char *name, *first, *second, *outcome; } SourceRows[] = {
    {"the same counter goes on", "counter 1000 1 be 4", "counter 1000 1 be 4", "1001"},
    {"another start", "counter 1000 1 be 4", "counter 2000 1 be 4", "made for a counter of be values of 4 bytes from 1000 by 1"},
    {"another step", "counter 1000 1 be 4", "counter 1000 2 be 4", "made for a counter of be values of 4 bytes from 1000 by 1"},
    {"another format", "counter 1000 1 be 4", "counter 1000 1 le 4", "made for a counter of be values of 4 bytes from 1000 by 1"},
    {"another size", "counter 1000 1 be 4", "counter 1000 1 be 8", "made for a counter of be values of 4 bytes from 1000 by 1"},
    {"a counter, then a list", "counter 1000 1 be 4", "list a.txt", "made for a counter of be values of 4 bytes from 1000 by 1"},
    {"the same list moved", "list a.txt", "list b.txt", "1001"},
    {"the list edited", "list a.txt", "list c.txt", "made for the list a.txt (SHA-256 a6b253e50de3...) of be values of 4 bytes"},
    {"the same SQTP file", "sqtp s.num", "sqtp s.num", "02"}};

// Sources that run out: four values asked for (E: used up), two there.
const struct OutRow { const char *name, *kind, *outcome; } OutRows[] = {
    {"a list of two", "list", "1000 1001 E E"}, {"an SQTP file of three, one used", "sqtp", "0A0B@7ff0 0E0F@7ff0 E E"},
    {"a one-byte counter from 254", "counter", "254 255 E E"}};

// Paths that hold no pool of ours, and what the refusal says after the path.
const struct NotPoolRow { const char *name, *kind, *outcome; } NotPoolRows[] = {
    {"a FIFO", "fifo", "P is not a regular file"}, {"a text file", "text", "P is not a store of velta-flash: file is not a database"},
    {"another program's database", "foreign", "P is not a store of velta-flash: it holds tables of another program"},
    {"a later schema", "later", "P is not a store of velta-flash: its schema is version 3; this program knows versions 1 and 2"}, {"listing where there is none", "none", "no serial pool at P"}};
// A store's name as given: the parts of a PostgreSQL URL (host port user database | options), its
// name in messages, or the refusal.
const struct LocationRow { const char *name, *text, *parts, *shown; } LocationRows[] = {
    {"a file", "line3.pool", "file line3.pool", "line3.pool"},
    {"a file named like a URL's start", "postgresql", "file postgresql", "postgresql"},
    {"host, port, user, database", "postgresql://line@db-host:5433/line", "db-host 5433 line line | connect_timeout=10", "postgresql://line@db-host:5433/line"},
    {"the short scheme", "postgres://db/l", "db -1  l | connect_timeout=10", "postgresql://db/l"},
    {"a socket folder, libpq's keys", "postgresql:///line?host=/run/postgresql&sslmode=require", " -1  line | host='/run/postgresql' sslmode='require' connect_timeout=10", "postgresql:///line?host=/run/postgresql&sslmode=require"},
    {"a password is never shown", "postgresql://line:s3cret@db/line", "db -1 line line | connect_timeout=10", "postgresql://line@db/line"},
    {"nor one among the keys", "postgresql://db/line?password=s3cret&connect_timeout=3", "db -1  line | password='s3cret' connect_timeout='3'", "postgresql://db/line?connect_timeout=3"},
    {"a quote in a value", "postgresql://db/line?application_name=it's", "db -1  line | application_name='it\\'s' connect_timeout=10", "postgresql://db/line?application_name=it\\s"},
    {"an IPv6 host", "postgresql://[::1]:5432/line", "::1 5432  line | connect_timeout=10", "postgresql://[::1]:5432/line"},
    {"a key in capitals", "postgresql://db/line?Host=x", "postgresql://db/line?Host=x is not a PostgreSQL URL: 'Host' is no connection keyword", ""},
    {"a database with a slash", "postgresql://db/a/b", "postgresql://db/a/b is not a PostgreSQL URL: a database name has no '/'", ""},
    {"a refusal hides the password", "postgresql://u:pw@[::1/x", "postgresql://u@[::1/x is not a PostgreSQL URL", ""}};
// clang-format on

} // namespace

// A run of its own for the pool tests: issues `count` values of the counter from 1000 and then
// ends as told: "exit" without closing (as a killed run would), "wait" until its input closes,
// "program" marking each programmed. Its identity may claim the parent's pid (with its own,
// later start time), another host or another boot. Arguments: --pool-child pool count end pid
// host boot.
int childRun(const QStringList& a) {
    RunIdentity run = RunIdentity::ofThisProcess(QStringLiteral("child-%1").arg(::getpid()));
    if (a[4] == QLatin1String("parent"))
        run.pid = ::getppid();
    run.host = a[5].isEmpty() ? run.host : a[5];
    run.bootId = a[6].isEmpty() ? run.bootId : a[6];
    auto pool = SerialPool::open(a[1], counter(), run);
    if (!pool)
        return std::printf("failed: %s\n", qPrintable(pool.failure().detail)), 2;
    for (int i = 0; i < a[2].toInt(); ++i) {
        auto v = (*pool)->issue(QStringLiteral("c%1").arg(i));
        const Failure* failed = v ? nullptr : &v.failure();
        const Result<void> programmed =
            v && a[3] == QLatin1String("program") ? stored((*pool)->programmed(*v, {"t"})) : success();
        std::printf("%s\n", qPrintable(failed       ? "failed: " + failed->detail
                                       : programmed ? v->text
                                                    : "failed: " + programmed.failure().detail));
        std::fflush(stdout);
    }
    std::printf("done\n");
    std::fflush(stdout);
    if (a[3] == QLatin1String("exit"))
        ::_exit(0);
    while (a[3] == QLatin1String("wait") && std::getchar() != EOF) {
    }
    return (*pool)->close() ? 0 : 2;
}

class TestStore : public QObject {
    Q_OBJECT

private slots:
    void values_data() { addRows(ValueRows); }
    void values() {
        const ValueRow& row = ValueRows[fetchRow()];
        const auto v = encodeSerialText(row.format, row.size, QString::fromLatin1(row.text));
        QCOMPARE(v ? v->text + ' ' + v->bytes.toHex() : v.failure().detail, QString::fromLatin1(row.outcome));
    }

    void counters_data() { addRows(CounterRows); }
    void counters() {
        const CounterRow& row = CounterRows[fetchRow()];
        auto c = serialCounter(row.format, row.size, QString::fromLatin1(row.start),
                               QString::fromLatin1(row.step));
        const auto v = c ? counterValue(*c, row.ordinal) : Result<SerialBytes>(c.failure());
        const QString cause = v ? "" : v.failure().cause == Failure::Cause::Exhausted ? "E " : "U ";
        QCOMPARE(v ? v->text : cause + v.failure().detail, QString::fromLatin1(row.outcome));
    }

    void image_data() { addRows(ImageRows); }
    void image() {
        const ImageRow& row = ImageRows[fetchRow()];
        const QByteArray original = hexText(row.records, row.lower, row.fill);
        const LineStore lines = storeOf(original);
        const QByteArray bytes = QByteArray::fromHex(row.bytes);
        const auto image = serializedImage(lines, row.address, bytes);
        QCOMPARE(image ? QString() : image.failure().detail,
                 QString::fromLatin1(row.refused ? row.refused : ""));
        if (!image)
            return;
        // Lines before the end-of-file record changed in place or kept; the new ones right before it.
        const int added = image->count() - lines.count();
        int end = 1, changed = 0;
        while (end <= lines.count() && !lines.line(end).startsWith(":00000001"))
            ++end;
        QByteArray text;
        for (int n = 1; n <= image->count(); ++n) {
            const bool isNew = n >= end && n < end + added;
            changed += !isNew && image->line(n) != lines.line(n < end ? n : n - added);
            text += image->line(n).toByteArray() + "\r\n";
        }
        QCOMPARE(joined(changed, added), joined(row.changed, row.added));
        QVERIFY(!row.lower || text == text.toLower());
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("in.hex"), original) && writeFile(dir.filePath("out.hex"), text));
        const QString from = QString::number(row.address),
                      to = QString::number(quint64(row.address) + bytes.size());
        // The bytes at the address, '?' where none is.
        const QStringList at{"-crop", from, to, "-fill", "0x3F", from, to, "-offset", "-" + from};
        QCOMPARE(srecCat(dir.filePath("out.hex"), at, "-binary").toHex(), bytes.toHex());
        QCOMPARE(srecCat(dir.filePath("out.hex"), {"-exclude", from, to}),
                 srecCat(dir.filePath("in.hex"), {"-exclude", from, to}));
    }

    void lists_data() { addRows(ListRows); }
    void lists() {
        const ListRow& row = ListRows[fetchRow()];
        const auto list = parseSerialList(row.text, "l.txt", row.format, row.size);
        QStringList texts;
        for (const SerialBytes& v : list ? list->values : QList<SerialBytes>{})
            texts << v.text;
        QCOMPARE(list ? texts.join(' ') : list.failure().detail, QString::fromLatin1(row.outcome));
    }

    void sqtp_data() { addRows(SqtpRows); }
    void sqtp() {
        const SqtpRow& row = SqtpRows[fetchRow()];
        const auto file = parseSqtpFile(hexText(row.records), "s.num");
        QStringList records;
        for (const SqtpRecord& r : file ? file->records : QList<SqtpRecord>{})
            records << r.data.toHex().toUpper() + '@' + QString::number(r.address, 16) + (r.used ? "*" : "");
        QCOMPARE(file ? records.join(' ') : file.failure().detail, QString::fromLatin1(row.outcome));
    }

    // Issue, settle, end a run and go on: each step as another connection reads it at once.
    void states_data() { addRows(StateRows); }
    void states() {
        const StateRow& row = StateRows[fetchRow()];
        QTemporaryDir dir;
        const QString path = poolAt(dir);
        std::vector<std::unique_ptr<SerialPool>> runs;
        QList<SerialValue> issued;
        QStringList log;
        for (const QString& step : QString(row.script).split(' ')) {
            if (runs.empty() || step == "r") {
                auto opened = SerialPool::open(path, counter(), RunIdentity::ofThisProcess("r"));
                QVERIFY2(opened, qPrintable(opened ? QString() : opened.failure().detail));
                runs.push_back(std::move(*opened));
            }
            SerialPool& pool = *runs.back();
            const SerialValue v = step.size() > 1 ? issued[step.mid(1).toInt()] : SerialValue();
            const ProgrammedInfo info{"t" + QString::number(v.ordinal), "127.0.0.1:111", "VELTA BOOT", "ab"};
            const auto got = step == "i" ? pool.issue("d" + QString::number(issued.size())) : SerialValue();
            const Result<void> done = step[0] == 'p'   ? stored(pool.programmed(v, info))
                                      : step[0] == 'v' ? stored(pool.voided(v, "failed"))
                                      : step == "c"    ? pool.close()
                                                       : Result<void>();
            if (step == "i")
                issued << (got ? *got : SerialValue());
            log << (step == "r" ? "" : step != "i" ? (done ? "ok" : "no") : got ? got->text : "no");
            QCOMPARE(entriesText(*SerialPool::list(path)), entriesText(*pool.entries()));
        }
        log.removeAll("");
        QCOMPARE(log.join(' ') + '|' + entriesText(*SerialPool::list(path)), QString(row.outcome));
    }

    // A run that died leaves its values issued; the next run voids them unless the run lives on.
    void recovery_data() { addRows(RecoveryRows); }
    void recovery() {
        const RecoveryRow& row = RecoveryRows[fetchRow()];
        QTemporaryDir dir;
        const QString path = poolAt(dir);
        Child child(path, 3, row.end, {row.pid, row.host, row.boot});
        QVERIFY(child.waitDone());
        QCOMPARE(child.values, QStringList({"1000", "1001", "1002"}));
        if (QByteArray(row.end) == "kill")
            child.process.kill();
        QVERIFY(QByteArray(row.end) == "wait" || child.process.waitForFinished(30000));
        auto pool = std::move(*SerialPool::open(path, counter(), RunIdentity::ofThisProcess("next")));
        // On PostgreSQL a run is alive while its connection is: another host's dead run is seen too.
        const bool voided = row.voided || (pg && QByteArray(row.end) != "wait");
        const QString state = voided ? "void" : "issued";
        QCOMPARE(entriesText(*pool->entries()), QString("1000:%1:c0 1001:%1:c1 1002:%1:c2").arg(state));
        QCOMPARE(pool->issue("mine")->text, QStringLiteral("1003"));
        // A run that lives on ends in its own time, and voids what it left issued.
        child.process.closeWriteChannel();
        QVERIFY(child.process.state() == QProcess::NotRunning || child.process.waitForFinished(30000));
        QCOMPARE(entriesText(*pool->entries()).endsWith("1002:void:c2 1003:issued:mine"),
                 voided || row.host[0] == 0);
    }

    // Two processes taking values from one pool at once never get the same one.
    void twoProcesses() {
        QTemporaryDir dir;
        const QString path = poolAt(dir);
        Child a(path, 40, "program"), b(path, 40, "program");
        QVERIFY2(a.waitDone() && b.waitDone(), qPrintable((a.values + b.values).join(' ')));
        QStringList all = a.values + b.values, expected;
        for (int i = 0; i < 80; ++i)
            expected << QString::number(1000 + i);
        std::sort(all.begin(), all.end());
        QCOMPARE(all, expected);
        QVERIFY(a.process.waitForFinished(30000) && b.process.waitForFinished(30000));
        QCOMPARE(entriesText(*SerialPool::list(path)).count(":programmed:"), 80);
    }

    // A pool goes on with the source it was made for and refuses any other; a list or an SQTP
    // file is known by its bytes, wherever it lies.
    void sources_data() { addRows(SourceRows); }
    void sources() {
        const SourceRow& row = SourceRows[fetchRow()];
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("a.txt"), "1000\n1001\n") &&
                writeFile(dir.filePath("b.txt"), "1000\n1001\n") &&
                writeFile(dir.filePath("c.txt"), "1000\n1001\n1002\n") &&
                writeFile(dir.filePath("s.num"), hexText("D0000=01 D0000=02 E")));
        const auto source = [&](const QString& words) {
            const QStringList w = words.split(' ');
            return w[0] == "list" ? *listSerials(dir.filePath(w[1]), SerialFormat::BigEndian, 4)
                   : w[0] == "sqtp"
                       ? *sqtpSerials(dir.filePath(w[1]), 1)
                       : counter(qPrintable(w[1]), qPrintable(w[2]), *serialFormatNamed(w[3]), w[4].toInt());
        };
        const QString path = poolAt(dir);
        QCOMPARE(SerialPool::open(path, source(row.first), RunIdentity::ofThisProcess("1"))
                     .value()
                     ->issue("d")
                     ->ordinal,
                 0);
        auto again = SerialPool::open(path, source(row.second), RunIdentity::ofThisProcess("2"));
        const QString refused = again ? "" : again.failure().detail.section(';', 0, 0).section(" was ", 1);
        QCOMPARE(again ? (*again)->issue("d")->text : QString(refused).remove(dir.path() + '/'),
                 QString(row.outcome));
    }

    // Sources that run out refuse the next value and issue nothing for it; an SQTP file is known by
    // its SHA-256 and never written.
    void runningOut_data() { addRows(OutRows); }
    void runningOut() {
        const OutRow& row = OutRows[fetchRow()];
        QTemporaryDir dir;
        const QByteArray file =
            row.kind[0] == 's' ? hexText("L0000 D7FF0=0A0B U7FF0=0C0D D7FF0=0E0F E") : "1000\n1001\n";
        QVERIFY(writeFile(dir.filePath("f"), file));
        const auto source = row.kind[0] == 'l'   ? listSerials(dir.filePath("f"), SerialFormat::BigEndian, 4)
                            : row.kind[0] == 's' ? sqtpSerials(dir.filePath("f"), 2)
                                                 : counterSerials(SerialFormat::BigEndian, 1, u"254", u"1");
        auto pool = std::move(*SerialPool::open(poolAt(dir), *source, RunIdentity::ofThisProcess("r")));
        QStringList log;
        for (int i = 0; i < 4; ++i) {
            auto v = pool->issue("d");
            log << (v ? v->text + (v->address ? "@" + QString::number(*v->address, 16) : "")
                    : v.failure().cause == Failure::Cause::Exhausted ? "E"
                                                                     : v.failure().detail);
        }
        QCOMPARE(log.join(' '), QString(row.outcome));
        QCOMPARE(pool->entries()->size(), 2);
        QFile read(dir.filePath("f"));
        QVERIFY(read.open(QIODevice::ReadOnly) && read.readAll() == file);
        const QByteArray sha = QCryptographicHash::hash(file, QCryptographicHash::Sha256).toHex();
        QCOMPARE(source->sha256, row.kind[0] == 'c' ? QString() : QString(sha));
    }

    void locations_data() { addRows(LocationRows); }
    void locations() {
        const LocationRow& row = LocationRows[fetchRow()];
        if (pg)
            QSKIP("no store is opened");
        const auto where = StoreLocation::parse(row.text);
        const QString parts =
            !where ? where.failure().detail
            : !where->isPostgres()
                ? "file " + where->path
                : QStringList{where->host, QString::number(where->port), where->user, where->database}.join(
                      ' ') +
                      " | " + where->options.join(' ');
        QVERIFY2(parts.startsWith(row.parts), qPrintable(parts));
        QCOMPARE(where ? where->shown() : QString(), QString(row.shown));
        QCOMPARE(storeShown(row.text).contains("s3cret") || storeShown(row.text).contains(":pw@"), false);
    }

    // The history keeps each record once, however often it comes, and finds it by its serial, its
    // target or device, and the SHA-256 of its file or image, in any case.
    void history() {
        QTemporaryDir dir;
        const QString at = poolAt(dir);
        auto history = History::open(at);
        QVERIFY2(history, qPrintable(history ? QString() : history.failure().detail));
        // Written out as the report writes them (moc reads no raw strings).
        const QByteArray device =
            "{\"type\":\"device\",\"run_id\":\"r1\",\"station\":\"s\",\"target\":\"t1\","
            "\"device_key\":\"127.0.0.1:7/16\",\"serial\":\"1000\",\"sha256\":\"" +
            QByteArray(64, 'a') + "\",\"image_sha256\":\"" + QByteArray(64, 'c') +
            "\",\"result\":\"ok\",\"start\":\"2026-01-01T00:00:00.000Z\"}";
        const QByteArray run = "{\"type\":\"run\",\"run_id\":\"r1\",\"station\":\"s\",\"exit_code\":0}";
        for (const QByteArray& r : {device, device, run, run})
            QCOMPARE(int((*history)->add(r).value()), int(History::Added::Stored));
        QVERIFY(!(*history)->add("not json"));
        QVERIFY(!(*history)->add("{\"type\":\"device\"}")); // no run id
        for (const QString& what :
             {QString("1000"), QString("t1"), QString("127.0.0.1:7/16"), QString(64, 'a'), QString(64, 'C')})
            QCOMPARE(History::find(at, what)->size(), 1);
        QCOMPARE(History::find(at, "1001")->size(), 0);
        QCOMPARE(History::find(at, "1000")->first(), device);
        // The pool's tables and the history's in one store.
        QVERIFY(SerialPool::open(at, counter(), RunIdentity::ofThisProcess("r")));
        QCOMPARE(History::find(at, "t1")->size(), 1);
    }

    // The server goes away under a run: the outcome and the records wait in the spool, the run
    // issues nothing more, and the next run delivers them once.
    void serverAway() {
        if (!pg)
            QSKIP("a server of its own");
        QTemporaryDir dir, state;
        qputenv("XDG_STATE_HOME", state.path().toUtf8());
        const QString at = poolAt(dir);
        auto pool = std::move(*SerialPool::open(at, counter(), RunIdentity::ofThisProcess("away")));
        auto history = std::move(*History::open(at));
        const SerialValue a = *pool->issue("a"), b = *pool->issue("b");
        QCOMPARE(pg->stop(), QString());
        const auto programmed = pool->programmed(a, {"t"});
        QVERIFY2(programmed, qPrintable(programmed ? QString() : programmed.failure().detail));
        QCOMPARE(int(*programmed), int(SerialPool::Settled::Spooled));
        QCOMPARE(int(pool->voided(b, "failed").value()), int(SerialPool::Settled::Spooled));
        QVERIFY(!pool->issue("c"));
        const QByteArray record = "{\"type\":\"device\",\"run_id\":\"away\",\"target\":\"t\",\"device_key\":"
                                  "\"k\",\"serial\":\"1000\"}";
        QCOMPARE(int(history->add(record).value()), int(History::Added::Spooled));
        QCOMPARE(history->finish(), 1); // still away
        QCOMPARE(pg->start(), QString());
        history.reset();
        pool.reset();
        // Delivered by the next run, before it voids what a dead run left: 1000 programmed.
        auto next = std::move(*SerialPool::open(at, counter(), RunIdentity::ofThisProcess("next")));
        QCOMPARE(entriesText(*next->entries()), "1000:programmed:a@t 1001:void:b");
        const auto found = History::find(at, "1000");
        QVERIFY2(found, qPrintable(found ? QString() : found.failure().detail));
        QCOMPARE(found->size(), 1);
        QCOMPARE(History::find(at, "1000")->size(), 1); // and only once
        QDir spool(state.path() + "/velta");
        for (const QString& f : spool.entryList(QDir::Files))
            QCOMPARE(QFileInfo(spool.filePath(f)).size(), 0);
        qunsetenv("XDG_STATE_HOME");
    }

    // The spool keeps what no store took: a line that is no entry is kept for a person, never
    // dropped, and a link planted at its name is not written through.
    void spool() {
        QTemporaryDir dir;
        const Spool spool(dir.filePath("s.jsonl"));
        QVERIFY(spool.append({{"n", 1}}) && spool.append({{"n", 2}}));
        QFile f(dir.filePath("s.jsonl"));
        QVERIFY(f.open(QIODevice::Append) && f.write("garbage\n") > 0);
        f.close();
        QStringList seen;
        const auto delivered = spool.deliver([&](const QJsonObject& e) -> Result<void> {
            seen << QString::number(e["n"].toInt());
            return e["n"].toInt() == 2 ? Result<void>(Failure{Failure::Cause::Store, "away"}) : success();
        });
        QVERIFY(!delivered);
        QCOMPARE(seen.join(' '), "1 2");
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : "?", "{\"n\":2}\ngarbage\n"); // the first went
        f.close();
        QCOMPARE(*spool.deliver([](const QJsonObject&) { return success(); }), 1);
        QCOMPARE(f.open(QIODevice::ReadOnly) ? f.readAll() : "?", "garbage\n");
        f.close();
        QVERIFY(QFile::link(dir.filePath("elsewhere"), dir.filePath("l.jsonl")));
        QVERIFY(!Spool(dir.filePath("l.jsonl")).append({{"n", 3}}));
        QVERIFY(!QFile::exists(dir.filePath("elsewhere")));
    }

    // Paths that hold no pool of ours are refused, and left as they were.
    void notPools_data() { addRows(NotPoolRows); }
    void notPools() {
        const NotPoolRow& row = NotPoolRows[fetchRow()];
        if (pg)
            QSKIP("files only");
        const QByteArray kind = row.kind;
        QTemporaryDir dir;
        const QString path = dir.filePath("pool.db");
        QVERIFY(kind != "fifo" || ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        QVERIFY(kind != "text" || writeFile(path, "serials: 1000 1001\n"));
        if (kind == "later")
            (void)SerialPool::open(path, counter(), RunIdentity::ofThisProcess("r"));
        if (kind == "foreign" || kind == "later") {
            {
                QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", kind);
                db.setDatabaseName(path);
                QVERIFY(db.open() &&
                        QSqlQuery(db).exec(kind == "later" ? "UPDATE velta_schema SET version = 3"
                                                           : "CREATE TABLE parts (id INTEGER)"));
            }
            QSqlDatabase::removeDatabase(kind);
        }
        QFile file(path); // never opened when it is a FIFO: that would wait for a writer
        const QByteArray before = kind != "fifo" && file.open(QIODevice::ReadOnly) ? file.readAll() : "";
        file.close();
        const auto refused =
            kind == "none" ? SerialPool::list(path).failure()
                           : SerialPool::open(path, counter(), RunIdentity::ofThisProcess("r")).failure();
        QCOMPARE(QString(refused.detail).replace(path, "P"), QString(row.outcome));
        QCOMPARE(kind != "fifo" && file.open(QIODevice::ReadOnly) ? file.readAll() : "", before);
    }
};

int main(int argc, char** argv) {
    if (argc > 1 && qstrcmp(argv[1], "--pool-child") == 0) {
        QCoreApplication app(argc, argv);
        return childRun(app.arguments().mid(1));
    }
    QCoreApplication app(argc, argv);
    TestStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    const int onFiles = QTest::qExec(&test, argc, argv);
    std::printf("\n== the same on a PostgreSQL server of the test's own ==\n");
    PgServer server;
    if (!server.error().isEmpty()) {
        std::printf("FAIL: the test's PostgreSQL server: %s\n", qPrintable(server.error()));
        return 1;
    }
    pg = &server;
    const int onServer = QTest::qExec(&test, argc, argv);
    pg = nullptr;
    return onFiles + onServer;
}

#include "test_store.moc"
