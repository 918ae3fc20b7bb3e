// The comma-and-line delimited field reader shared by the address book and the HEX loader.
#include "field_reader.h"

#include <QTest>

#include <cstring>

class TestFieldReader : public QObject {
    Q_OBJECT

private slots:
    void fields_data();
    void fields();
    void limitsAndFailures();
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
    // Whole in memory, and one byte at a time as from a slow file: the same fields.
    for (const bool piecewise : {false, true}) {
        qsizetype at = 0;
        FieldReader reader = piecewise ? FieldReader([&](char* buffer, qsizetype) -> qsizetype {
            if (at == input.size())
                return 0;
            *buffer = input[at++];
            return 1;
        })
                                       : FieldReader(input);
        QStringList got;
        QByteArray field;
        for (int guard = 0; guard < 100 && !reader.atEnd(); ++guard) {
            QCOMPARE(reader.next(field, 1000), FieldReader::Status::Field);
            got << QString::fromLatin1(field);
        }
        QCOMPARE(got, fields);
        QCOMPARE(reader.next(field, 1000), FieldReader::Status::End);
    }
}

void TestFieldReader::limitsAndFailures() {
    QByteArray field;
    // Within the limit, at it, past it: quoted or not.
    for (const QByteArray& input : {QByteArray("abcd"), QByteArray("\"abcd\"")}) {
        FieldReader fits(input);
        QCOMPARE(fits.next(field, 4), FieldReader::Status::Field);
        FieldReader tooLong(input);
        QCOMPARE(tooLong.next(field, 3), FieldReader::Status::TooLong);
    }
    // A source that fails part way is a read error, not an end.
    int calls = 0;
    FieldReader failing([&](char* buffer, qsizetype) -> qsizetype {
        if (++calls > 1)
            return -1;
        std::memcpy(buffer, "a,b", 3);
        return 3;
    });
    QCOMPARE(failing.next(field, 10), FieldReader::Status::Field);
    QCOMPARE(failing.next(field, 10), FieldReader::Status::ReadError);
    // Fields know the line they began on, across line ends of every kind and quoted ones.
    FieldReader lines(QByteArray("a\r\n\r\nb,c\n\"d\ne\"\rf"));
    QList<int> at;
    while (lines.next(field, 10) == FieldReader::Status::Field)
        at << lines.fieldLine();
    QCOMPARE(at, (QList<int>{1, 2, 3, 3, 4, 6}));
}

QTEST_GUILESS_MAIN(TestFieldReader)
#include "test_field_reader.moc"
