#include "intel_hex.h"

#include <QTest>

namespace {
HexRecord record(quint8 type, quint16 address, const char* hexData) {
    return HexRecord{type, address, QByteArray::fromHex(hexData)};
}

// Applies the records of one pass, as the device and the file loader do.
HexImage imageOf(const QList<QByteArray>& lines) {
    HexImage image;
    HexCursor cursor;
    for (const QByteArray& line : lines) {
        const HexParseResult parsed = parseHexRecord(line);
        if (!std::holds_alternative<HexRecord>(parsed))
            qFatal("test record does not parse: %s", line.constData());
        image.apply(std::get<HexRecord>(parsed), cursor);
    }
    return image;
}
} // namespace

class TestIntelHex : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void format();
    void extendedAddressing_data();
    void extendedAddressing();
    void imageRuns();
    void imageToTextAndBack();
    void checkFile_data();
    void checkFile();
};

void TestIntelHex::parse_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<char>("startCode");
    QTest::addColumn<QString>("reason"); // empty: the record parses
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("data");

    const auto good = [](const char* name, const char* line, char start, int type, int address,
                         const char* data) {
        QTest::newRow(name) << QByteArray(line) << start << QString() << type << address
                            << QByteArray::fromHex(data);
    };
    const auto bad = [](const char* name, const char* line, char start, const char* reason) {
        QTest::newRow(name) << QByteArray(line) << start << QString::fromLatin1(reason) << 0 << 0
                            << QByteArray();
    };

    good("data", ":10010000214601360121470136007EFE09D2190140", ':', 0, 0x0100,
         "214601360121470136007EFE09D21901");
    good("empty data", ":0000000000", ':', 0, 0, "");
    good("end of file", ":00000001FF", ':', 1, 0, "");
    good("extended segment", ":020000021200EA", ':', 2, 0, "1200");
    good("start segment", ":0400000300003800C1", ':', 3, 0, "00003800");
    good("extended linear", ":020000040800F2", ':', 4, 0, "0800");
    good("start linear", ":04000005000000CD2A", ':', 5, 0, "000000CD");
    good("lower case", ":0300300002337a1e", ':', 0, 0x0030, "02337A");
    good("verify start code", "#0300300002337A1E", '#', 0, 0x0030, "02337A");
    good("trailing CR LF and spaces", ":00000001FF  \r\n", ':', 1, 0, "");

    bad("no start code", "00000001FF", ':', "bad start code");
    bad("leading blank", " :00000001FF", ':', "bad start code");
    bad("colon where # expected", ":00000001FF", '#', "bad start code");
    bad("odd digits", ":00000001F", ':', "odd number of hex digits");
    bad("non-hex digit", ":0000000G01FF", ':', "bad hex digit");
    bad("text after checksum", ":00000001FF x", ':', "bad hex digit");
    bad("trailing tab", ":00000001FF\t", ':', "bad hex digit");
    bad("second start code", ":00000001FF:", ':', "bad hex digit");
    bad("too short", ":00FF", ':', "length mismatch");
    bad("count above data", ":0400300002337A1E", ':', "length mismatch");
    bad("address record of one byte", ":0100000401FA", ':', "length mismatch");
    bad("end of file with data", ":01000001AA54", ':', "length mismatch");
    bad("checksum off by one", ":0300300002337A1F", ':', "bad checksum");
    bad("type 06", ":00000006FA", ':', "unknown record type");
}

void TestIntelHex::parse() {
    QFETCH(QByteArray, line);
    QFETCH(char, startCode);
    QFETCH(QString, reason);
    QFETCH(int, type);
    QFETCH(int, address);
    QFETCH(QByteArray, data);

    const HexParseResult result = parseHexRecord(line, startCode);
    if (reason.isEmpty()) {
        if (const auto* error = std::get_if<HexParseError>(&result))
            QFAIL(qPrintable(error->reason));
        const auto& r = std::get<HexRecord>(result);
        QCOMPARE(int(r.type), type);
        QCOMPARE(int(r.address), address);
        QCOMPARE(r.data, data);
    } else {
        QVERIFY(std::holds_alternative<HexParseError>(result));
        QCOMPARE(std::get<HexParseError>(result).reason, reason);
    }
}

void TestIntelHex::format() {
    // The checksum makes the record's bytes sum to zero, wrapping at 256.
    QCOMPARE(hexChecksum(QByteArray::fromHex("0300300002337A")), quint8(0x1E));
    QCOMPARE(hexChecksum(QByteArray::fromHex("00000001")), quint8(0xFF));
    QCOMPARE(hexChecksum(QByteArray::fromHex("8080")), quint8(0x00));
    QCOMPARE(hexChecksum({}), quint8(0x00));

    QCOMPARE(formatHexRecord(0, 0x0030, QByteArray::fromHex("02337a")), QByteArray(":0300300002337A1E\r\n"));
    QCOMPARE(formatHexRecord(0, 0x0030, QByteArray::fromHex("02337a"), '#'),
             QByteArray("#0300300002337A1E\r\n"));
    QCOMPARE(formatHexRecord(1, 0, {}), QByteArray(":00000001FF\r\n"));
    // What is written parses back to the same record.
    const QByteArray data = QByteArray::fromHex("00FF7F80");
    const HexParseResult back = parseHexRecord(formatHexRecord(0, 0xABCD, data));
    QCOMPARE(std::get<HexRecord>(back), (HexRecord{0, 0xABCD, data}));
}

void TestIntelHex::extendedAddressing_data() {
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<quint32>("address");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("no base") << QList<QByteArray>{":02001000AABB89"} << 0x00000010u
                             << QByteArray::fromHex("AABB");
    QTest::newRow("segment 1200 -> 0x12000") << QList<QByteArray>{":020000021200EA", ":02001000AABB89"}
                                             << 0x00012010u << QByteArray::fromHex("AABB");
    QTest::newRow("linear 0800 -> 0x08000000")
        << QList<QByteArray>{":020000040800F2", ":0100040011EA"} << 0x08000004u << QByteArray::fromHex("11");
    QTest::newRow("later base replaces earlier")
        << QList<QByteArray>{":020000040800F2", ":020000021200EA", ":0100040011EA"} << 0x00012004u
        << QByteArray::fromHex("11");
    QTest::newRow("linear 0001 at end of segment") << QList<QByteArray>{":020000040001F9", ":02FFFE000102FE"}
                                                   << 0x0001FFFEu << QByteArray::fromHex("0102");
}

void TestIntelHex::extendedAddressing() {
    QFETCH(QList<QByteArray>, lines);
    QFETCH(quint32, address);
    QFETCH(QByteArray, bytes);

    const HexImage image = imageOf(lines);
    QCOMPARE(image.size(), bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i)
        QCOMPARE(image.byteAt(address + quint32(i)), std::optional<quint8>(quint8(bytes[i])));
    // Nothing landed at the record's own offset without the base.
    if (address > 0xFFFF)
        QCOMPARE(image.byteAt(address & 0xFFFF), std::nullopt);
}

void TestIntelHex::imageRuns() {
    const HexImage image = imageOf({":020000040800F2", ":0300300002337A1E"});
    QCOMPARE(image.firstDifference(0x08000030, QByteArray::fromHex("02337A")), std::nullopt);
    QCOMPARE(image.firstDifference(0x08000030, QByteArray::fromHex("02337B")), std::optional<quint32>(0x08000032));
    QCOMPARE(image.firstDifference(0x08000031, QByteArray::fromHex("337A00")), std::optional<quint32>(0x08000033));
    HexCursor cursor;
    QVERIFY(cursor.follow(record(4, 0, "0800")));
    QCOMPARE(cursor.base(), 0x08000000u);
    QVERIFY(!cursor.follow(record(0, 0, "0000"))); // a data record is not an address record
    QCOMPARE(cursor.base(), 0x08000000u);

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
    // One write over several runs and the gaps between them.
    scattered.write(0x0E, QByteArray(0x40, 'x'));
    QCOMPARE(scattered.size(), 0x40);
    QCOMPARE(scattered.firstDifference(0x0E, QByteArray(0x40, 'x')), std::nullopt);
    // The top of the address space does not wrap around.
    HexImage top;
    top.write(0xFFFFFFFE, QByteArray::fromHex("010203"));
    QCOMPARE(top.size(), 2);
    QCOMPARE(top.byteAt(0), std::nullopt);
}

void TestIntelHex::imageToTextAndBack() {
    HexImage image;
    QByteArray first;
    for (int i = 0; i < 18; ++i)
        first += char(i);
    image.write(0, first);
    image.write(0x0001FFFE, QByteArray::fromHex("01020304")); // crosses into the next 64 KiB
    image.write(0x00020038, QByteArray::fromHex("AA"));       // same upper bits: no new 04 record

    const QByteArray expected = ":10000000000102030405060708090A0B0C0D0E0F78\r\n"
                                ":020010001011CD\r\n"
                                ":020000040001F9\r\n"
                                ":02FFFE000102FE\r\n"
                                ":020000040002F8\r\n"
                                ":020000000304F7\r\n"
                                ":01003800AA1D\r\n"
                                ":00000001FF\r\n";
    QCOMPARE(image.toHexText(), expected);

    const auto loaded = loadHexFile(expected);
    QVERIFY(std::holds_alternative<HexImage>(loaded));
    QVERIFY(std::get<HexImage>(loaded) == image);

    HexImage other = std::get<HexImage>(loaded);
    other.write(0x00020038, QByteArray::fromHex("AB"));
    QVERIFY(!(other == image));

    // An unaligned run is split at the 16-byte line boundary.
    HexImage unaligned;
    unaligned.write(0x0008, QByteArray::fromHex("0102030405060708090A"));
    QCOMPARE(unaligned.toHexText(), QByteArray(":080008000102030405060708CC\r\n"
                                               ":02001000090ADB\r\n"
                                               ":00000001FF\r\n"));
    QCOMPARE(HexImage().toHexText(), QByteArray(":00000001FF\r\n"));
}

void TestIntelHex::checkFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("line"); // -1: no problem
    QTest::addColumn<QString>("reason");

    QTest::newRow("good, CR LF, blank lines")
        << QByteArray(":0300300002337A1E\r\n\r\n:020000040800F2\r\n:00000001FF\r\n\r\n") << -1 << QString();
    QTest::newRow("good, LF, blanks around records")
        << QByteArray("  :0300300002337A1E\t\n:00000001FF  \n") << -1 << QString();
    QTest::newRow("good, no final line end") << QByteArray(":00000001FF") << -1 << QString();
    QTest::newRow("blank line still counts")
        << QByteArray(":0300300002337A1E\r\n\r\n:0300300002337A1F\r\n:00000001FF\r\n") << 3
        << QStringLiteral("bad checksum");
    QTest::newRow("CR only line ends") << QByteArray(":0300300002337A1E\r:03003000Z2337A1E\r:00000001FF\r")
                                       << 2 << QStringLiteral("bad hex digit");
    QTest::newRow("first of two bad records")
        << QByteArray(":0300300002337A1E\n:0400300002337A1E\n:00000006FA\n:00000001FF\n") << 2
        << QStringLiteral("length mismatch");
    QTest::newRow("missing start code on line 1")
        << QByteArray("00000001FF\n") << 1 << QStringLiteral("bad start code");
    QTest::newRow("missing end of file")
        << QByteArray(":0300300002337A1E\r\n") << 0 << QStringLiteral("missing end-of-file record");
    QTest::newRow("empty file") << QByteArray() << 0 << QStringLiteral("missing end-of-file record");
    QTest::newRow("record after end of file") << QByteArray(":00000001FF\r\n\r\n:0300300002337A1E\r\n") << 3
                                              << QStringLiteral("record after end of file");
}

void TestIntelHex::checkFile() {
    QFETCH(QByteArray, content);
    QFETCH(int, line);
    QFETCH(QString, reason);

    const auto loaded = loadHexFile(content);
    const auto* problem = std::get_if<HexFileProblem>(&loaded);
    if (line < 0) {
        QVERIFY2(!problem, problem ? qPrintable(problem->reason) : "");
    } else {
        QVERIFY(problem);
        QCOMPARE(problem->line, line);
        QCOMPARE(problem->reason, reason);
    }
}

QTEST_APPLESS_MAIN(TestIntelHex)
#include "test_intel_hex.moc"
