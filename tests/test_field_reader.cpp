// The comma-and-line delimited field reader shared by the address book and the HEX loader.
#include "field_reader.h"

#include <QTest>

class TestFieldReader : public QObject {
    Q_OBJECT

private slots:
    void fields_data();
    void fields();
    void readAtEndFails();
};

void TestFieldReader::fields_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("empty input") << QByteArray() << QStringList{};
    QTest::newRow("one line CRLF") << QByteArray("abc\r\n") << QStringList{"abc"};
    QTest::newRow("no terminator") << QByteArray("abc") << QStringList{"abc"};
    QTest::newRow("LF lines") << QByteArray("a\nb\n") << QStringList{"a", "b"};
    QTest::newRow("CR lines") << QByteArray("a\rb\r") << QStringList{"a", "b"};
    QTest::newRow("mixed ends") << QByteArray("a\r\nb\nc\rd") << QStringList{"a", "b", "c", "d"};
    QTest::newRow("empty line") << QByteArray("a\r\n\r\nb") << QStringList{"a", "", "b"};
    QTest::newRow("LF CR is two ends") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
    QTest::newRow("comma") << QByteArray("a,b\r\n") << QStringList{"a", "b"};
    QTest::newRow("empty between commas") << QByteArray("a,,b") << QStringList{"a", "", "b"};
    QTest::newRow("comma before line end") << QByteArray("a,\r\nb") << QStringList{"a", "b"};
    QTest::newRow("leading blanks") << QByteArray("   a\r\n") << QStringList{"a"};
    QTest::newRow("trailing blanks") << QByteArray("a   ,b  \r\n") << QStringList{"a", "b"};
    QTest::newRow("tab is kept") << QByteArray("\ta\t") << QStringList{"\ta\t"};
    QTest::newRow("quoted") << QByteArray("\"a b\"\r\n") << QStringList{"a b"};
    QTest::newRow("quoted comma") << QByteArray("\"a,b\",c") << QStringList{"a,b", "c"};
    QTest::newRow("quoted keeps blanks") << QByteArray("  \" a \"") << QStringList{" a "};
    QTest::newRow("after closing quote dropped") << QByteArray("\"a\"xyz,b") << QStringList{"a", "b"};
    QTest::newRow("quote runs across lines") << QByteArray("\"a\r\nb\"\r\nc") << QStringList{"a\r\nb", "c"};
    QTest::newRow("unclosed quote") << QByteArray("\"abc") << QStringList{"abc"};
    QTest::newRow("quote inside field") << QByteArray("a\"b\"") << QStringList{"a\"b\""};
    QTest::newRow("NUL and high bytes")
        << QByteArray("a\0\xff", 3) << QStringList{QString::fromLatin1("a\0\xff", 3)};
    QTest::newRow("blank line only") << QByteArray("   \r\n") << QStringList{""};
}

void TestFieldReader::fields() {
    QFETCH(QByteArray, input);
    QFETCH(QStringList, fields);
    FieldReader reader(input);
    QStringList got;
    QString field;
    for (int guard = 0; guard < 100 && !reader.atEnd(); ++guard) {
        QVERIFY(reader.readField(field));
        got << field;
    }
    QCOMPARE(got, fields);
}

void TestFieldReader::readAtEndFails() {
    FieldReader reader("x");
    QString field;
    QVERIFY(reader.readField(field));
    QVERIFY(reader.atEnd());
    QVERIFY(!reader.readField(field));
    QVERIFY(field.isEmpty());
}

QTEST_GUILESS_MAIN(TestFieldReader)
#include "test_field_reader.moc"
