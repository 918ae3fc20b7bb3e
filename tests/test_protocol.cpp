// The bytes of a command line, the "Set Addr" digits, and Intel HEX records and images.
#include "commands.h"
#include "intel_hex.h"

#include <QTest>

namespace {
HexImage imageOf(const QByteArray& text) {
    auto loaded = loadHexFile(text);
    if (auto* problem = std::get_if<HexFileProblem>(&loaded))
        qFatal("test image does not load: %s", qPrintable(problem->reason));
    return std::get<HexImage>(loaded);
}
} // namespace

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void framing_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("form"); // 0 direct, 1 bootloader, 2 console
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("payload"); // "-": nothing to send
        const struct {
            const char *name, *line;
            int form;
            const char *address, *payload;
        } rows[] = {
            {"OOTi direct", "OOTi\r\n", 0, "16", "OOTi\r\n"},
            {"OOTi gateway", "OOTi\r\n", 1, "16", "MDB 16,OOTi\r\n"},
            {"VER console", "VER\r\n", 2, "16", "MDC 16,\"VER\"\r\n"},
            {"empty console line", "\r\n", 2, "16", "MDC 16,\"\"\r\n"},
            {"empty address", "OOTi\r\n", 1, "", "MDB ,OOTi\r\n"},
            {"address unchanged", "OOTi\r\n", 1, " a,", "MDB  a,,OOTi\r\n"},
            {"quotes not escaped", "a\"b\r\n", 2, "1", "MDC 1,\"a\"b\"\r\n"},
            {"last two cut unseen", "OOTiXY", 1, "16", "MDB 16,OOTi\r\n"},
            {"direct keeps the line", "no end", 0, "16", "no end"},
            {"two characters", "\r\n", 1, "7", "MDB 7,\r\n"},
            {"too short to cut", "x", 1, "16", "-"},
            {"empty, wrapped", "", 2, "16", "-"},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString(r.line) << r.form << QString(r.address) << QByteArray(r.payload);
    }

    void framing() {
        QFETCH(QString, line);
        QFETCH(int, form);
        QFETCH(QString, address);
        QFETCH(QByteArray, payload);
        const auto framed = frameLine(line, form != 0, address, form == 2 ? GatewayForm::Console : GatewayForm::Bootloader);
        QCOMPARE(framed ? framed->toLatin1() : QByteArray("-"), payload);
    }

    // The value read as classic BASIC reads it, rounded half to even, low byte in hex; "-" where
    // the value cannot be a 32-bit number. "00" sends nothing.
    void setAddressDigits_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("digits");
        const char* const rows[][2] = {
            {"10", "0A"},        {"255", "FF"},      {"256", "00"},       {"300", "2C"},       {"-1", "FF"},
            {"12.5", "0C"},      {"13.5", "0E"},     {"1E3", "E8"},       {"&H1F", "1F"},      {"&hff", "FF"},
            {"0", "00"},         {"512", "00"},      {"", "00"},          {"abc", "00"},       {" 1 2\t3\n", "7B"},
            {"12\r3", "0C"},     {"12abc", "0C"},    {"-", "00"},         {".", "00"},         {"+7", "07"},
            {".5", "00"},        {"1.5", "02"},      {"2.6", "03"},       {"1.2.3", "01"},     {"1,5", "01"},
            {"2e2", "C8"},       {"1D2", "64"},      {"25E-1", "02"},     {"1E", "01"},        {"1E+", "01"},
            {"&H1G", "01"},      {"&H", "00"},       {"&HFFFFFFFF", "FF"}, {"&O17", "0F"},     {"&O78", "07"},
            {"&", "00"},         {"&X1", "00"},      {"&H100000000", "-"}, {"1E400", "-"},     {"4\xC3\xA9", "04"},
            {"2147483647", "FF"}, {"2147483647.5", "-"}, {"-2147483648.5", "00"}, {"-2147483649", "-"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString::fromUtf8(r[0]) << QString::fromLatin1(r[1]);
    }

    void setAddressDigits() {
        QFETCH(QString, text);
        QTEST(::setAddressDigits(text).value_or(QStringLiteral("-")), "digits");
    }

    void records_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("parsed"); // "type address data" or the reason it does not parse
        const char* const rows[][3] = {
            {"data", ":10010000214601360121470136007EFE09D2190140", "0 256 214601360121470136007efe09d21901"},
            {"empty data", ":0000000000", "0 0 "},
            {"end of file", ":00000001FF", "1 0 "},
            {"extended segment", ":020000021200EA", "2 0 1200"},
            {"start segment", ":0400000300003800C1", "3 0 00003800"},
            {"start linear", ":04000005000000CD2A", "5 0 000000cd"},
            {"lower case, CR LF and blanks after", ":0300300002337a1e  \r\n", "0 48 02337a"},
            {"verify start code", "#0300300002337A1E", "0 48 02337a"},
            {"no start code", "00000001FF", "bad start code"},
            {"leading blank", " :00000001FF", "bad start code"},
            {"odd digits", ":00000001F", "odd number of hex digits"},
            {"non-hex digit", ":0000000G01FF", "bad hex digit"},
            {"trailing tab", ":00000001FF\t", "bad hex digit"},
            {"too short", ":00FF", "length mismatch"},
            {"count above data", ":0400300002337A1E", "length mismatch"},
            {"address record of one byte", ":0100000401FA", "length mismatch"},
            {"end of file with data", ":01000001AA54", "length mismatch"},
            {"checksum off by one", ":0300300002337A1F", "bad checksum"},
            {"type 06", ":00000006FA", "unknown record type"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QByteArray(r[1]) << QString(r[2]);
    }

    void records() {
        QFETCH(QByteArray, line);
        const HexParseResult result = parseHexRecord(line, line.startsWith('#') ? '#' : ':');
        const auto* r = std::get_if<HexRecord>(&result);
        QTEST(r ? QStringLiteral("%1 %2 %3").arg(r->type).arg(r->address).arg(QString(r->data.toHex()))
                : std::get<HexParseError>(result).reason,
              "parsed");
        QCOMPARE(parseHexRecord(":00000001FF", '#').index(), 1u); // the verify form only with '#'
    }

    void formatAndAddresses() {
        QCOMPARE(hexChecksum(QByteArray::fromHex("0300300002337A")), quint8(0x1E));
        QCOMPARE(hexChecksum(QByteArray::fromHex("8080")), quint8(0x00));
        QCOMPARE(formatHexRecord(0, 0x0030, QByteArray::fromHex("02337a"), '#'), QByteArray("#0300300002337A1E\r\n"));
        const QByteArray data = QByteArray::fromHex("00FF7F80");
        QCOMPARE(std::get<HexRecord>(parseHexRecord(formatHexRecord(0, 0xABCD, data))), (HexRecord{0, 0xABCD, data}));
        // Extended segment (x16) and linear (<<16) bases; a later base replaces an earlier one.
        const struct {
            const char* text;
            quint32 at;
        } bases[] = {{":02001000AABB89\n", 0x10},
                     {":020000021200EA\n:02001000AABB89\n", 0x12010},
                     {":020000040800F2\n:020000021200EA\n:02001000AABB89\n", 0x12010},
                     {":020000040001F9\n:02FFFE00AABB9C\n", 0x1FFFE}};
        for (const auto& b : bases) {
            const HexImage image = imageOf(b.text + QByteArray(":00000001FF"));
            QCOMPARE(image.size(), 2);
            QCOMPARE(image.firstDifference(b.at, QByteArray::fromHex("AABB")), std::nullopt);
        }
    }

    void imageRuns() {
        // Writes in any order, overlapping, touching or apart, give one image for the same bytes.
        HexImage inOrder, scattered;
        inOrder.write(0x10, QByteArray::fromHex("0102030405060708"));
        inOrder.write(0x40, QByteArray::fromHex("AA"));
        for (const auto& [at, hex] : std::initializer_list<std::pair<quint32, const char*>>{
                 {0x16, "0708"}, {0x40, "AA"}, {0x10, "01FF"}, {0x13, "04"}, {0x11, "0203"}, {0x14, "0506"}})
            scattered.write(at, QByteArray::fromHex(hex));
        QVERIFY(scattered == inOrder);
        QCOMPARE(scattered.size(), 9);
        QCOMPARE(scattered.byteAt(0x17), std::optional<quint8>(0x08));
        QCOMPARE(scattered.byteAt(0x18), std::nullopt);
        QCOMPARE(scattered.byteAt(0x0F), std::nullopt);
        QCOMPARE(scattered.firstDifference(0x16, QByteArray::fromHex("0709")), std::optional<quint32>(0x17));
        scattered.write(0x0E, QByteArray(0x40, 'x')); // over several runs and the gaps between
        QCOMPARE(scattered.size(), 0x40);
        QCOMPARE(scattered.firstDifference(0x0E, QByteArray(0x40, 'x')), std::nullopt);
        HexImage top; // the top of the address space does not wrap around
        top.write(0xFFFFFFFE, QByteArray::fromHex("010203"));
        QCOMPARE(top.size(), 2);
        QCOMPARE(top.byteAt(0), std::nullopt);

        // As text: 16-byte lines on 16-byte boundaries, an 04 record where the upper bits change.
        HexImage image;
        image.write(0x0008, QByteArray::fromHex("0102030405060708090A"));
        image.write(0x0001FFFE, QByteArray::fromHex("01020304"));
        image.write(0x00020038, QByteArray::fromHex("AA"));
        const QByteArray text = ":080008000102030405060708CC\r\n:02001000090ADB\r\n:020000040001F9\r\n:02FFFE000102FE\r\n"
                                ":020000040002F8\r\n:020000000304F7\r\n:01003800AA1D\r\n:00000001FF\r\n";
        QCOMPARE(image.toHexText(), text);
        QVERIFY(imageOf(text) == image);
        QCOMPARE(HexImage().toHexText(), QByteArray(":00000001FF\r\n"));
    }

    void fileProblems_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("problem"); // "line: reason", empty when the file loads
        QTest::newRow("good, blank lines and blanks around") << QByteArray("  :0300300002337A1E\t\r\n\r\n:00000001FF  ") << "";
        QTest::newRow("blank line still counts") << QByteArray(":0300300002337A1E\r\n\r\n:0300300002337A1F\r\n") << "3: bad checksum";
        QTest::newRow("CR only") << QByteArray(":0300300002337A1E\r:03003000Z2337A1E\r") << "2: bad hex digit";
        QTest::newRow("no end of file") << QByteArray(":0300300002337A1E\r\n") << "0: missing end-of-file record";
        QTest::newRow("empty") << QByteArray() << "0: missing end-of-file record";
        QTest::newRow("record after the end") << QByteArray(":00000001FF\r\n\r\n:0300300002337A1E\r\n") << "3: record after end of file";
    }

    void fileProblems() {
        QFETCH(QByteArray, content);
        const auto loaded = loadHexFile(content);
        const auto* p = std::get_if<HexFileProblem>(&loaded);
        QTEST(p ? QStringLiteral("%1: %2").arg(p->line).arg(p->reason) : QString(), "problem");
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "test_protocol.moc"
