// Command framing, gateway forms and the "Set Addr" number reading.
#include "commands.h"

#include <QTest>

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void basicVal_data();
    void basicVal();
    void rounding_data();
    void rounding();
};

void TestProtocol::framing_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("console");
    QTest::addColumn<bool>("gateway");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("payload"); // hex; "-" for nothing sent

    QTest::newRow("OOTi direct") << "OOTi\r\n" << false << false << "16" << QByteArray("4F4F54690D0A");
    QTest::newRow("OOTi gateway") << "OOTi\r\n"
                                  << false << true << "16"
                                  << QByteArray("4D4442203136 2C4F4F54690D0A").replace(' ', "");
    QTest::newRow("VER direct") << "VER\r\n" << true << false << "16" << QByteArray("5645520D0A");
    QTest::newRow("VER gateway") << "VER\r\n"
                                 << true << true << "16"
                                 << QByteArray("4D44432031362C225645522 20D0A").replace(' ', "");
    QTest::newRow("empty console line") << "\r\n"
                                        << true << true << "16" << QByteArray("4D44432031362C22220D0A");
    QTest::newRow("empty address") << "OOTi\r\n"
                                   << false << true << "" << QByteArray("4D4442202C4F4F54690D0A");
    QTest::newRow("address unchanged")
        << "OOTi\r\n"
        << false << true << " a," << QByteArray("MDB  a,,OOTi\r\n").toHex().toUpper();
    QTest::newRow("quotes not escaped")
        << "a\"b\r\n"
        << true << true << "1" << QByteArray("MDC 1,\"a\"b\"\r\n").toHex().toUpper();
    QTest::newRow("last two cut unseen")
        << "OOTiXY" << false << true << "16" << QByteArray("MDB 16,OOTi\r\n").toHex().toUpper();
    QTest::newRow("direct keeps line as is")
        << "no end" << true << false << "16" << QByteArray("no end").toHex().toUpper();
    QTest::newRow("too short to cut") << "x" << false << true << "16" << QByteArray("-");
    QTest::newRow("empty, wrapped") << "" << true << true << "16" << QByteArray("-");
    QTest::newRow("two characters") << "\r\n"
                                    << false << true << "7" << QByteArray("MDB 7,\r\n").toHex().toUpper();
}

void TestProtocol::framing() {
    QFETCH(QString, line);
    QFETCH(bool, console);
    QFETCH(bool, gateway);
    QFETCH(QString, address);
    QFETCH(QByteArray, payload);
    const auto framed =
        frameLine(line, gateway, address, console ? GatewayForm::Console : GatewayForm::Bootloader);
    if (payload == "-") {
        QVERIFY(!framed);
        return;
    }
    QVERIFY(framed);
    QCOMPARE(framed->toLatin1().toHex().toUpper(), payload);
}

void TestProtocol::basicVal_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value"); // NaN: not representable
    const double nan = std::nan("");
    QTest::newRow("integer") << "10" << 10.0;
    QTest::newRow("blanks anywhere") << " 1 2 3 " << 123.0;
    QTest::newRow("tabs and LF") << "1\t2\n3" << 123.0;
    QTest::newRow("CR ends it") << "12\r3" << 12.0;
    QTest::newRow("stops at letter") << "12abc" << 12.0;
    QTest::newRow("no number") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("sign only") << "-" << 0.0;
    QTest::newRow("period only") << "." << 0.0;
    QTest::newRow("negative") << "-7" << -7.0;
    QTest::newRow("plus") << "+7" << 7.0;
    QTest::newRow("decimal") << "12.5" << 12.5;
    QTest::newRow("leading period") << ".5" << 0.5;
    QTest::newRow("second period ends") << "1.2.3" << 1.2;
    QTest::newRow("comma is not decimal") << "1,5" << 1.0;
    QTest::newRow("exponent") << "1E3" << 1000.0;
    QTest::newRow("lower exponent") << "2e2" << 200.0;
    QTest::newRow("D exponent") << "1D2" << 100.0;
    QTest::newRow("negative exponent") << "25E-1" << 2.5;
    QTest::newRow("bare E") << "1E" << 1.0;
    QTest::newRow("E sign no digits") << "1E+" << 1.0;
    QTest::newRow("hex") << "&H1F" << 31.0;
    QTest::newRow("hex lower") << "&hff" << 255.0;
    QTest::newRow("hex stops") << "&H1G" << 1.0;
    QTest::newRow("hex empty") << "&H" << 0.0;
    QTest::newRow("hex 32-bit wraps signed") << "&HFFFFFFFF" << -1.0;
    QTest::newRow("hex wider than 32 bits") << "&H100000000" << nan;
    QTest::newRow("octal") << "&O17" << 15.0;
    QTest::newRow("octal stops at 8") << "&O78" << 7.0;
    QTest::newRow("ampersand alone") << "&" << 0.0;
    QTest::newRow("ampersand other") << "&X1" << 0.0;
    QTest::newRow("overflowing exponent") << "1E400" << nan;
    QTest::newRow("non-ASCII ends") << QString::fromUtf8("4\xC3\xA9") << 4.0;
    QTest::newRow("full-width digit ends") << QString::fromUtf8("5\xEF\xBC\x91") << 5.0;
}

void TestProtocol::basicVal() {
    QFETCH(QString, text);
    QFETCH(double, value);
    const auto v = ::basicVal(text);
    if (std::isnan(value)) {
        QVERIFY(!v);
        return;
    }
    QVERIFY(v);
    QCOMPARE(*v, value);
}

void TestProtocol::rounding_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<qlonglong>("rounded"); // LLONG_MIN: out of range
    const qlonglong out = std::numeric_limits<qlonglong>::min();
    QTest::newRow("0.5") << 0.5 << 0LL;
    QTest::newRow("1.5") << 1.5 << 2LL;
    QTest::newRow("2.5") << 2.5 << 2LL;
    QTest::newRow("-0.5") << -0.5 << 0LL;
    QTest::newRow("-1.5") << -1.5 << -2LL;
    QTest::newRow("2.6") << 2.6 << 3LL;
    QTest::newRow("max") << 2147483647.0 << 2147483647LL;
    QTest::newRow("max + 0.5 rounds to even, out") << 2147483647.5 << out;
    QTest::newRow("min") << -2147483648.0 << -2147483648LL;
    QTest::newRow("min - 0.5 rounds to even, in") << -2147483648.5 << -2147483648LL;
    QTest::newRow("below min") << -2147483649.0 << out;
    QTest::newRow("huge") << 1e300 << out;
}

void TestProtocol::rounding() {
    QFETCH(double, value);
    QFETCH(qlonglong, rounded);
    const auto r = roundToInt32(value);
    if (rounded == std::numeric_limits<qlonglong>::min()) {
        QVERIFY(!r);
        return;
    }
    QVERIFY(r);
    QCOMPARE(qlonglong(*r), rounded);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "test_protocol.moc"
