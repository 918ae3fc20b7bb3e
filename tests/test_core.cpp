// The core on its own: the field reader and the files, command lines and "Set Addr" digits,
// Intel HEX, the address book, the reply rules and the transfer step.
#include "synthetic_hex.h"
#include "table.h"

#include "core/conversation/framing.h"
#include "core/conversation/window_conversation.h"
#include "core/io/files.h"
#include "core/io/printable.h"
#include "core/io/runtime_error.h"
#include "core/link/address_book.h"
#include "core/protocol/intel_hex.h"
#include "core/protocol/set_address.h"
#include "core/transfer/hex_loader.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::literals;

namespace {
bool writeFile(const QString& path, const QByteArray& bytes, int mode) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() &&
           ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

int errorNumber(const Result<void>& r) {
    return r ? 0 : RuntimeError::of(r.failure()).number;
}

// One byte a read, as from a slow file: every field and every limit crosses reads.
FieldReader trickle(const QByteArray& input) {
    return FieldReader([input, at = qsizetype(0)](char* b, qsizetype) mutable -> qsizetype {
        return at < input.size() ? (*b = input[at++], 1) : 0;
    });
}

QString allLines(const LineStore& lines) {
    QStringList all;
    for (int i = 1; i <= lines.count(); ++i)
        all << QString::fromLatin1(lines.line(i));
    return all.join('|');
}

LineStore lines(int count) {
    LineStore store;
    for (int i = 1; i <= count; ++i)
        store.append(":L" + QByteArray::number(i) + ":x");
    return store;
}

// The window's conversation at line 2 of a pass (armed), or with nothing armed.
WindowConversation conversationAt(bool armed, bool verify) {
    WindowConversation w;
    if (armed)
        (void)w.loaded(lines(4));
    if (verify) // armed: into the verify pass; idle: the verify pass flagged
        (void)w.reply(u"DOWNLOAD");
    if (armed)
        (void)w.reply(u"OK");
    return w;
}

// Saving keeps what a stored setup relies on, and a save that fails (a full disk, no right to
// write) loses nothing; replacing never follows a link. The outcome: error number (0: saved),
// then what is there: content as the other name sees it, inode kept or new, mode, owner.
// clang-format off
const struct SaveRow { const char *name, *how, *kind, *outcome; } SaveRows[] = {
    {"new file", "save", "absent", "0 two new 644 me"}, {"own file: through a rename", "save", "own", "0 two new 600 me"},
    {"through a link to the file", "save", "link", "0 two new 600 me"}, {"a link to nothing yet: made where it points", "save", "dangling", "0 two new 644 me"},
    {"a second hard link", "save", "hardlink", "0 two kept 600 me"},
    {"another user's file", "save", "theirs", "0 two kept 640 them"}, {"a folder the operator cannot write", "save", "lockedfolder", "0 two kept 666 them"},
    {"a FIFO", "save", "fifo", "75"}, {"a folder", "save", "folder", "75"}, {"replace: a FIFO stays", "replace", "fifo", "75"},
    {"replace: a link is replaced, not followed", "replace", "link", "0 one new 644 me"}, {"replace: the mode stays", "replace", "own", "0 two new 600 me"},
    {"a book and folder the operator cannot write", "save", "readonly", "70 old book kept 644 me"},
    {"the operator's read-only book, their folder", "save", "ownreadonly", "70 old book kept 444 them"},
    {"root's read-only book: root may write it", "save", "rootreadonly", "0 two new 444 me"}, {"a full disk", "save", "full", "61 o kept 600 me"},
    {"a full disk, another user's book (written in place)", "save", "fulltheirs", "61 o kept 640 them"}};

// After the fields, how reading stopped when not at the end.
const struct FieldRow { const char* name; QByteArrayView input; int limit; QByteArrayView fields; } FieldRows[] = {
    {"CR LF, LF, CR, none", "a\r\nb\nc\rd", 1000, "a|b|c|d"}, {"empty line; LF CR is two ends", "a\r\n\r\nb\n\rc", 1000, "a||b||c"},
    {"commas; one takes the line end", "a,,b,\r\nc", 1000, "a||b|c"}, {"blanks around; a tab is kept", "   a  ,\tb\t \r\n", 1000, "a|\tb\t"},
    {"quoted, comma and blanks kept", "  \" a,b \",c", 1000, " a,b |c"}, {"after the closing quote dropped", "\"a\"xyz,b", 1000, "a|b"},
    {"quote runs across lines", "\"a\r\nb\"\r\nc", 1000, "a\r\nb|c"}, {"unclosed quote; quote inside", "x\"y\"\r\n\"abc", 1000, "x\"y\"|abc"},
    {"blank line only", "   \r\n", 1000, ""}, {"at the limit", "abcd", 4, "abcd"}, {"over the limit", "ab,abcd", 3, "ab too long"},
    {"quoted at the limit", "\"abcd\"", 4, "abcd"}, {"quoted over the limit", "\"abcd\"", 3, " too long"}, {"NUL, \\xff", "a\0\xff,\"\0\""sv, 1000, "a\0\xff|\0"sv}};

// The value read as classic BASIC reads it, rounded half to even, low byte in hex; "-" where the
// value cannot be a 32-bit number. "00" sends nothing.
const struct DigitRow { const char *name, *digits; } DigitRows[] = {
    {"10", "0A"}, {"255", "FF"}, {"256", "00"}, {"300", "2C"}, {"-1", "FF"}, {"12.5", "0C"}, {"13.5", "0E"},
    {"1E3", "E8"}, {"&H1F", "1F"}, {"&haf", "AF"}, {"0", "00"}, {"512", "00"}, {"", "00"}, {"abc", "00"},
    {" 1 2\t3\n", "7B"}, {"12\r3", "0C"}, {"12abc", "0C"}, {"-", "00"}, {".", "00"}, {"+7", "07"}, {".7", "01"},
    {"1.5", "02"}, {"2.6", "03"}, {"1.2.3", "01"}, {"1,5", "01"}, {"2e2", "C8"}, {"1D2", "64"}, {"25E-1", "02"},
    {"1E", "01"}, {"1E+", "01"}, {"&H1G", "01"}, {"&H", "00"}, {"&HFFFFFFFF", "FF"}, {"&O17", "0F"},
    {"&O78", "07"}, {"&", "00"}, {"&X1", "00"}, {"&H100000000", "-"}, {"1E400", "-"}, {"4\xC3\xA9", "04"},
    {"2147483647", "FF"}, {"2147483647.5", "-"}, {"-2147483648.5", "00"}, {"-2147483649", "-"}};

// A record line: "type address data", or the reason it does not parse.
const struct RecordRow { const char *name, *line, *parsed; } RecordRows[] = {
    {"data", ":10010000214601360121470136007EFE09D2190140", "0 256 214601360121470136007efe09d21901"},
    {"end of file", ":00000001FF", "1 0 "}, {"start linear", ":04000005000000CD2A", "5 0 000000cd"},
    {"lower case, CR LF and blanks after", ":0300300002337a1e  \r\n", "0 48 02337a"},
    {"verify start code", "#0300300002337A1E", "0 48 02337a"}, {"no start code", " :00000001FF", "bad start code"},
    {"odd digits", ":00000001F", "odd number of hex digits"}, {"trailing tab", ":00000001FF\t", "bad hex digit"},
    {"too short", ":00FF", "length mismatch"}, {"count above data", ":0400300002337A1E", "length mismatch"},
    {"address record of one byte", ":0100000401FA", "length mismatch"}, {"end of file with data", ":01000001AA54", "length mismatch"},
    {"checksum off by one", ":0300300002337A1F", "bad checksum"}, {"type 06", ":00000006FA", "unknown record type"}};

// A command line as it goes out: form 0 direct, 1 bootloader, 2 console; "-": nothing to send.
const struct FramingRow { const char *name, *line; int form; const char *address, *payload; } FramingRows[] = {
    {"OOTi direct", "OOTi\r\n", 0, "16", "OOTi\r\n"}, {"OOTi gateway", "OOTi\r\n", 1, "16", "MDB 16,OOTi\r\n"},
    {"VER console", "VER\r\n", 2, "16", "MDC 16,\"VER\"\r\n"}, {"empty console line", "\r\n", 2, "16", "MDC 16,\"\"\r\n"},
    {"empty address", "OOTi\r\n", 1, "", "MDB ,OOTi\r\n"}, {"address unchanged", "OOTi\r\n", 1, " a,", "MDB  a,,OOTi\r\n"},
    {"quotes not escaped", "a\"b\r\n", 2, "1", "MDC 1,\"a\"b\"\r\n"}, {"last two cut unseen", "OOTiXY", 1, "16", "MDB 16,OOTi\r\n"},
    {"direct keeps the line", "no end", 0, "16", "no end"}, {"two characters", "\r\n", 1, "7", "MDB 7,\r\n"},
    {"too short to cut", "x", 1, "16", "-"}, {"empty, wrapped", "", 2, "16", "-"}};

// The first rule that applies is taken: VER= (armed) > ERROR > DOWNLOAD > OK. The outcome: the
// rule, armed and verify after, the bar's text and colour, the line sent ("-": none).
const struct RuleRow { const char *name, *reply; bool armed, verify; const char* outcome; } RuleRows[] = {
    {"OK steps", "OK", true, false, "5 1 0 DOWNLOAD - 3"}, {"OK anywhere", "xxOKxx", true, true, "5 1 1 - - 3"},
    {"lower-case ok", "ok", true, false, "6 1 0 - - -"}, {"case and splits matter", "download DOWN LOAD", true, false, "6 1 0 - - -"},
    {"VER= armed", "VER=1", true, false, "1 1 0 DOWNLOAD - 3"}, {"VER= beats ERROR and DOWNLOAD", "DOWNLOAD VER= ERROR", true, true, "1 1 1 - - 3"},
    {"VER= idle falls through", "VER=1 DOWNLOAD", false, false, "4 0 1 VERIFY - -"}, {"VER= idle alone", "VER=1", false, false, "6 0 0 - - -"},
    {"ERROR beats OK", "OK ERROR", true, false, "2 1 0 ERROR 255 -"}, {"ERROR beats DOWNLOAD, idle too", "DOWNLOAD ERROR", false, true, "2 0 1 ERROR 255 -"},
    {"DOWNLOAD beats OK: verify", "DOWNLOAD OK", true, false, "4 1 1 VERIFY - 1"}, {"DOWNLOAD ends verify", "DOWNLOAD", true, true, "3 0 0 END 65280 -"},
    {"DOWNLOAD idle", "DOWNLOAD", false, false, "4 0 1 VERIFY - -"}, {"DOWNLOAD idle flagged", "DOWNLOAD", false, true, "3 0 0 END 65280 -"}};
// clang-format on
} // namespace

class TestCore : public QObject {
    Q_OBJECT

private slots:
    void fields_data() { addRows(FieldRows); }
    void fields() {
        const FieldRow& r = FieldRows[fetchRow()];
        FieldReader reader = trickle(r.input.toByteArray());
        QStringList got;
        QByteArray field;
        FieldReader::Status status;
        while ((status = reader.next(field, r.limit)) == FieldReader::Status::Field && got.size() < 100)
            got << QString::fromLatin1(field);
        QCOMPARE(got.join('|') + (status == FieldReader::Status::TooLong ? " too long" : ""),
                 QString::fromLatin1(r.fields));
        QVERIFY(status == FieldReader::Status::End || status == FieldReader::Status::TooLong);
    }

    void fieldLimitsLinesAndFailures() {
        QByteArray field;
        int calls = 0;
        FieldReader failing([&](char* b, qsizetype) -> qsizetype {
            return ++calls > 1 ? -1 : (std::memcpy(b, "a,b", 3), 3);
        });
        QCOMPARE(failing.next(field, 10), FieldReader::Status::Field);
        QCOMPARE(failing.next(field, 10), FieldReader::Status::ReadError);
        // The line a field began on, across every kind of line end and quoted ones.
        FieldReader lines(QByteArray("a\r\n\r\nb,c\n\"d\ne\"\rf\n\r\n"));
        QList<int> at;
        while (lines.next(field, 10) == FieldReader::Status::Field)
            at << lines.fieldLine();
        QCOMPARE(at, (QList<int>{1, 2, 3, 3, 4, 6, 7}));
        QCOMPARE(printable(QByteArray("OK\r\n\\\x01\xff", 7), 10) + printable("abcdef", 3),
                 QStringLiteral("OK\\r\\n\\\\\\x01\\xffabc ... (6 bytes)"));
    }

    void saves_data() { addRows(SaveRows); }
    void saves() {
        const SaveRow& r = SaveRows[fetchRow()];
        const QString how = r.how, kind = r.kind;
        const bool theirs =
            kind == "theirs" || kind == "lockedfolder" || kind == "fulltheirs" || kind == "ownreadonly";
        const bool operatorChild = kind == "lockedfolder" || kind == "readonly" || kind == "ownreadonly";
        if ((theirs || operatorChild || kind == "rootreadonly") && ::geteuid() != 0)
            QSKIP("needs root to give the file to another user");
        QTemporaryDir dir;
        const QString folder = dir.filePath("f"), path = folder + "/book", other = dir.filePath("other");
        const auto n = [](const QString& p) { return QFile::encodeName(p); };
        const uid_t them = 65534;
        QVERIFY(QDir().mkdir(folder) && writeFile(other, "one", 0600));
        QString seenThrough = path;
        const QMap<QString, int> modes{{"own", 0600},          {"hardlink", 0600},    {"theirs", 0640},
                                       {"lockedfolder", 0666}, {"readonly", 0644},    {"full", 0600},
                                       {"fulltheirs", 0640},   {"ownreadonly", 0444}, {"rootreadonly", 0444}};
        const bool full = kind.startsWith("full"); // a book of one byte, and no room for more
        if (modes.contains(kind))
            QVERIFY(writeFile(path, full ? "o" : "old book", modes[kind]));
        if (kind == "hardlink")
            QCOMPARE(::link(n(path).constData(), n(seenThrough = folder + "/second").constData()), 0);
        if (theirs)
            QCOMPARE(::chown(n(path).constData(), them, them), 0);
        const bool linked = kind == "link" || kind == "dangling"; // the latter relative to its folder
        if (linked && QFile::link(kind == "link" ? other : "../new", path))
            seenThrough = how == "save" ? (kind == "link" ? other : dir.filePath("new")) : path;
        if (kind == "fifo")
            QCOMPARE(::mkfifo(n(path).constData(), 0600), 0);
        if (kind == "folder")
            QVERIFY(QDir().mkdir(path));
        struct stat before {};
        ::stat(n(seenThrough).constData(), &before);
        const uint descriptors = QDir(QStringLiteral("/proc/self/fd")).count(); // none left open
        const auto mask = ::umask(022);
        int number = 0;
        if (operatorChild || full) {
            // In a child: the operator (not root; the effective ids only, as every access is
            // checked) in a folder they cannot write, or a disk that is full (a file size limit,
            // whose signal is ignored).
            const QMap<QString, int> folderModes{{"ownreadonly", 0777}, {"full", 0755}, {"fulltheirs", 0755}};
            QVERIFY(::chmod(n(dir.path()).constData(), 0755) == 0 &&
                    ::chmod(n(folder).constData(), mode_t(folderModes.value(kind, 0555))) == 0);
            const pid_t child = ::fork();
            const rlimit oneByte{1, 1};
            if (child == 0 &&
                (full ? ::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && ::setrlimit(RLIMIT_FSIZE, &oneByte) == 0
                      : ::setegid(them) == 0 && ::seteuid(them) == 0))
                ::_exit(errorNumber(saveFile(path, "two")));
            if (child == 0)
                ::_exit(99);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            number = WEXITSTATUS(status);
        } else {
            number = errorNumber(how == "save" ? saveFile(path, "two") : replaceFile(path, "two"));
        }
        ::umask(mask);
        QCOMPARE(QDir(QStringLiteral("/proc/self/fd")).count(), descriptors);
        QStringList outcome{QString::number(number)};
        struct stat after {};
        if (::stat(n(seenThrough).constData(), &after) == 0 && S_ISREG(after.st_mode)) // what a failure left
            outcome << QString::fromLatin1(
                           *readSmallFile(kind == "link" && how == "replace" ? other : seenThrough, 10))
                    << (after.st_ino == before.st_ino ? "kept" : "new")
                    << QString::number(after.st_mode & 0777, 8)
                    << (after.st_uid == ::geteuid() ? "me"
                        : after.st_uid == them      ? "them"
                                                    : "?");
        QCOMPARE(outcome.join(' '), r.outcome);
        QCOMPARE(QFileInfo(path).isSymLink(), linked && how == "save");
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::System).filter("book.").size(), 0);
        ::chmod(n(folder).constData(), 0755);
    }

    void filesAndRecords() {
        QTemporaryDir dir;
        const auto path = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
        QVERIFY(saveFile(path("book"), "two"));
        QCOMPARE(*readSmallFile(path("book"), 3), QByteArray("two"));
        QCOMPARE(readSmallFile(path("book"), 2).failure().cause, Failure::Cause::TooLong);
        // The same file by any name; two files not there yet are the same where both would be made.
        QVERIFY(QFile::link(path("book"), path("link")) && QFile::link(path("nothing"), path("dangling")));
        QVERIFY(isSameFile(path("link"), path("book")) && !isSameFile(path("book"), path("absent")));
        QVERIFY(isSameFile(path("absent"), dir.path() + "/./absent") &&
                isSameFile(path("dangling"), path("nothing")));
        QVERIFY(!isSameFile(path("absent"), path("other")));
        // A run over thousands of devices holds a socket each: the first ask raises the open-file
        // limit to what the system allows.
        rlimit files{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max > 64);
        const rlimit low{64, files.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
        const int limit = openFileLimit();
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &files) == 0);
        QCOMPARE(
            joined(limit == int(std::min<rlim_t>(files.rlim_max, INT_MAX)), files.rlim_cur == files.rlim_max),
            "1 1");
        // Device text in a table: control characters escaped as the report's JSON escapes them.
        QCOMPARE(escapedText(QString::fromLatin1("V=1\0\x1b[2J\r\n\t\\ \x7f\x9b\xe9", 16)),
                 QStringLiteral("V=1\\u0000\\u001b[2J\\r\\n\\t\\\\ \\u007f\\u009b\u00e9"));
    }

    void framing_data() { addRows(FramingRows); }
    void framing() {
        const FramingRow& r = FramingRows[fetchRow()];
        const auto framed = frameLine(QString(r.line), r.form != 0, QString(r.address),
                                      r.form == 2 ? GatewayForm::Console : GatewayForm::Bootloader);
        QCOMPARE(framed ? framed->toLatin1() : QByteArray("-"), r.payload);
    }

    void setAddressDigits_data() { addRows(DigitRows); }
    void setAddressDigits() {
        const DigitRow& r = DigitRows[fetchRow()];
        QCOMPARE(::setAddressDigits(QString::fromUtf8(r.name)).value_or("-"), QString(r.digits));
    }

    void records_data() { addRows(RecordRows); }
    void records() {
        const RecordRow& r = RecordRows[fetchRow()];
        const HexParseResult result = parseHexRecord(r.line, r.line[0] == '#' ? '#' : ':');
        const auto* record = std::get_if<HexRecord>(&result);
        QCOMPARE(record ? joined(record->type, record->address, record->data.toHex())
                        : std::get<HexParseError>(result).reason,
                 QString(r.parsed));
    }

    void hexImages() {
        QCOMPARE(formatHexRecord(0, 0x0030, QByteArray::fromHex("02337a"), '#'), "#0300300002337A1E\r\n");
        QCOMPARE(hexChecksum(QByteArray::fromHex("8080")), quint8(0x00));
        // Extended segment (x16) and linear (<<16) bases; a later base replaces an earlier one. Past
        // offset FFFF a segment's offset wraps to its start, a linear address runs on; srec_cat, a
        // reader of the format, places every byte alike.
        for (const auto& [text, a, b] :
             {std::tuple(":02001000AABB89\n", 0x10u, 0x11u),
              {":020000021200EA\n:02001000AABB89\n", 0x12010u, 0x12011u},
              {":020000040800F2\n:020000021200EA\n:02001000AABB89\n", 0x12010u, 0x12011u},
              {":020000040001F9\n:02FFFE00AABB9C\n", 0x1FFFEu, 0x1FFFFu},
              {":020000021000EC\n:02FFFF00AABB9B\n", 0x1FFFFu, 0x10000u},
              {":02000002FFFFFE\n:02FFFF00AABB9B\n", 0x10FFEFu, 0xFFFF0u},
              {":020000021000EC\n:020000040001F9\n:02FFFF00AABB9B\n", 0x1FFFFu, 0x20000u},
              {":02FFFF00AABB9B\n", 0xFFFFu, 0x10000u}}) {
            const QByteArray file = text + QByteArray(":00000001FF\n");
            const HexImage image = *hexFileImage(file);
            QCOMPARE(joined(image.size(), image.byteAt(a).value_or(0), image.byteAt(b).value_or(0)),
                     "2 170 187");
            QProcess srec; // srecord, installed by scripts/install-deps
            srec.start("srec_cat", {"-", "-intel", "-o", "-", "-intel"});
            srec.write(file);
            srec.closeWriteChannel();
            QVERIFY2(srec.waitForFinished(10000) && srec.exitCode() == 0, "srec_cat did not run");
            QVERIFY(hexFileImage(srec.readAllStandardOutput()) == image);
        }
        // Writes in any order, overlapping, touching or apart, give one image for the same bytes.
        HexImage inOrder, scattered;
        inOrder.write(0x10, QByteArray::fromHex("0102030405060708"));
        inOrder.write(0x40, QByteArray::fromHex("AA"));
        for (const QString& w : QStringLiteral("16:0708 40:AA 10:01FF 13:04 11:0203 14:0506").split(' '))
            scattered.write(w.section(':', 0, 0).toUInt(nullptr, 16),
                            QByteArray::fromHex(w.section(':', 1).toLatin1()));
        QVERIFY(scattered == inOrder && scattered.size() == 9);
        QCOMPARE(scattered.byteAt(0x17), std::optional<quint8>(0x08));
        QVERIFY(!scattered.byteAt(0x18) && !scattered.byteAt(0x0F));
        QCOMPARE(scattered.firstDifference(0x16, QByteArray::fromHex("0709")), std::optional<quint32>(0x17));
        scattered.write(0x0E, QByteArray(0x40, 'x')); // over several runs and the gaps between
        QVERIFY(scattered.size() == 0x40 && !scattered.firstDifference(0x0E, QByteArray(0x40, 'x')));
        HexImage top; // the top of the address space does not wrap around
        top.write(0xFFFFFFFE, QByteArray::fromHex("010203"));
        QVERIFY(top.size() == 2 && !top.byteAt(0));
        // As text: 16-byte lines on 16-byte boundaries, an 04 record where the upper bits change.
        HexImage image;
        image.write(0x0008, QByteArray::fromHex("0102030405060708090A"));
        image.write(0x0001FFFE, QByteArray::fromHex("01020304"));
        image.write(0x00020038, QByteArray::fromHex("AA"));
        const QByteArray text =
            ":080008000102030405060708CC\r\n:02001000090ADB\r\n:020000040001F9\r\n:02FFFE000102FE\r\n"
            ":020000040002F8\r\n:020000000304F7\r\n:01003800AA1D\r\n:00000001FF\r\n";
        QCOMPARE(image.toHexText(), text);
    }

    void addressBook() {
        // Sorted once, case-insensitively and stable; a failure part way keeps what was read and
        // adds the default entry, as an empty book has it.
        for (const auto& [content, entries] :
             {std::pair(QByteArray("\r\n\r\n  \n\r,,,"), "192.168.1.25"),
              {"b,\"a,c\"\r\nAlpha\nalpha\nB\n", "a,c|Alpha|alpha|b|B"},
              {"z\r\n" + QByteArray(AddressBook::MaxEntryBytes + 1, 'x'), "192.168.1.25|z"}}) {
            FieldReader reader(content);
            QStringList list = AddressBook::entriesFrom(reader);
            AddressBook::sort(list);
            QCOMPARE(list.join('|'), QString(entries));
        }
        const QStringList plain{"10.0.0.1", QString::fromLatin1("h\xF6st")};
        QCOMPARE(AddressBook::fileBytes(plain), QByteArray("10.0.0.1\r\nh\xF6st\r\n"));
        FieldReader back(AddressBook::fileBytes(plain + QStringList{"a,b"}));
        QCOMPARE(AddressBook::entriesFrom(back),
                 plain + QStringList({"a", "b"})); // a comma comes back as two
    }

    void rules_data() { addRows(RuleRows); }
    void rules() {
        const RuleRow& r = RuleRows[fetchRow()];
        WindowConversation w = conversationAt(r.armed, r.verify);
        const WindowEffects e = w.reply(QString(r.reply));
        const auto sent = e.send ? QRegularExpression("L(\\d+)").match(*e.send).captured(1) : QString("-");
        QCOMPARE(joined(int(e.rule), w.armed(), w.verifying(), e.barText.value_or("-"),
                        e.barColor ? QString::number(*e.barColor) : QString("-"), sent),
                 r.outcome);
        QCOMPARE(e.transferEnded, e.rule == ReplyRule::End);
        QCOMPARE(e.barValue.value_or(-1), e.send ? sent.toInt() : -1);
        QCOMPARE(WindowConversation::classify(QString(r.reply), r.armed, r.verify), e.rule);
    }

    void steps() {
        QCOMPARE(recordCommand(":L1:x", false) + recordCommand(":L1:x", true), "OOT:L1:x\r\nOOT#L1#x\r\n");
        // A position outside the store disarms instead of reading there.
        for (const auto& [count, pos] :
             {std::pair<qint16, qint16>(0, 0), {3, 3}, {3, 9001}, {3, -1}, {4, 0}, {-5, 0}}) {
            TransferState bad{.linePos = pos, .lineStore = lines(3), .lineCount = count, .armed = true};
            QVERIFY(!advanceLine(bad) && !bad.armed && bad.linePos == 0);
        }
        // The lines of a file: blank lines skipped, fields as the book reads them, the limits exactly
        // (one more fails, as the window's load rows show).
        for (const auto& [content, max, loaded] :
             {std::tuple(QByteArray("\r\n:A\r\n\r\n\n:B"), 10, QString(":A|:B")),
              {":A\n\n:B\n\n:C\n", 3, ":A|:B|:C"},
              {":01,:02\r\n\"  :03\"\n", 10, ":01|:02|  :03"},
              {QByteArray(MaxHexEntryBytes, 'A'), 1, QString(MaxHexEntryBytes, 'A')}}) {
            FieldReader reader(content);
            const auto r = readHexLines(reader, max);
            QCOMPARE(r ? allLines(*r) : QString::number(RuntimeError::of(r.failure()).number), loaded);
        }
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "test_core.moc"
