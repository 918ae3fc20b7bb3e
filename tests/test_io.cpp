// The field reader, the one place that touches files, and how datagrams are shown.
#include "field_reader.h"
#include "printable.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/stat.h>

class TestIo : public QObject {
    Q_OBJECT

private slots:
    void fields_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("fields");
        const struct {
            const char *name, *input;
            QStringList fields;
        } rows[] = {
            {"empty input", "", {}},
            {"CR LF, LF, CR, none", "a\r\nb\nc\rd", {"a", "b", "c", "d"}},
            {"empty line", "a\r\n\r\nb", {"a", "", "b"}},
            {"LF CR is two ends", "a\n\rb", {"a", "", "b"}},
            {"commas", "a,,b", {"a", "", "b"}},
            {"comma takes the line end", "a,\r\nb", {"a", "b"}},
            {"blanks around", "   a  ,b  \r\n", {"a", "b"}},
            {"tab is kept", "\ta\t", {"\ta\t"}},
            {"quoted, with comma and blanks", "  \" a,b \",c", {" a,b ", "c"}},
            {"after closing quote dropped", "\"a\"xyz,b", {"a", "b"}},
            {"quote runs across lines", "\"a\r\nb\"\r\nc", {"a\r\nb", "c"}},
            {"unclosed quote", "\"abc", {"abc"}},
            {"quote inside field", "a\"b\"", {"a\"b\""}},
            {"blank line only", "   \r\n", {""}},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QByteArray(r.input) << r.fields;
        QTest::newRow("NUL and high bytes") << QByteArray("a\0\xff", 3) << QStringList{QString::fromLatin1("a\0\xff", 3)};
    }

    void fields() {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, fields);
        // Whole in memory, and one byte at a time as from a slow file: the same fields.
        for (const bool piecewise : {false, true}) {
            qsizetype at = 0;
            FieldReader reader = piecewise ? FieldReader([&](char* buffer, qsizetype) -> qsizetype {
                return at < input.size() ? (*buffer = input[at++], 1) : 0;
            })
                                           : FieldReader(input);
            QStringList got;
            QByteArray field;
            while (!reader.atEnd() && got.size() < 100) {
                QCOMPARE(reader.next(field, 1000), FieldReader::Status::Field);
                got << QString::fromLatin1(field);
            }
            QCOMPARE(got, fields);
            QCOMPARE(reader.next(field, 1000), FieldReader::Status::End);
        }
    }

    void fieldLimitsAndLines() {
        QByteArray field;
        for (const QByteArray& input : {QByteArray("abcd"), QByteArray("\"abcd\"")}) {
            FieldReader fits(input), tooLong(input);
            QCOMPARE(fits.next(field, 4), FieldReader::Status::Field);
            QCOMPARE(tooLong.next(field, 3), FieldReader::Status::TooLong);
        }
        int calls = 0;
        FieldReader failing([&](char* buffer, qsizetype) -> qsizetype {
            return ++calls > 1 ? -1 : (std::memcpy(buffer, "a,b", 3), 3);
        });
        QCOMPARE(failing.next(field, 10), FieldReader::Status::Field);
        QCOMPARE(failing.next(field, 10), FieldReader::Status::ReadError);
        // Fields know the line they began on, across every kind of line end and quoted ones.
        FieldReader lines(QByteArray("a\r\n\r\nb,c\n\"d\ne\"\rf\n\r\n"));
        QList<int> at;
        while (lines.next(field, 10) == FieldReader::Status::Field)
            at << lines.fieldLine();
        QCOMPARE(at, (QList<int>{1, 2, 3, 3, 4, 6, 7}));
    }

    void files() {
        QTemporaryDir dir;
        const auto path = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
        QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
        // Reading: only a regular file, never waiting on a FIFO.
        const auto openError = [](const QString& p) {
            auto opened = InputFile::open(p);
            return std::holds_alternative<RuntimeError>(opened) ? std::get<RuntimeError>(opened).number : 0;
        };
        QCOMPARE(openError(path("fifo")), 75);
        QCOMPARE(openError(dir.path()), 75);
        QCOMPARE(openError(path("absent")), 53);
        QCOMPARE(openError(path("no/such")), 76);

        // Writing: through a link to the file it names, keeping the mode; never over anything
        // that is not a regular file, and never leaving a temporary behind.
        QVERIFY(!writeFileAtomically(path("book"), "one"));
        QVERIFY(QFile::setPermissions(path("book"), QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(QFile::link(path("book"), path("link")));
        QVERIFY(!writeFileAtomically(path("link"), "two"));
        QFile book(path("book"));
        QVERIFY(book.open(QIODevice::ReadOnly));
        QCOMPARE(book.readAll(), "two");
        QCOMPARE(book.permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QVERIFY(QFileInfo(path("link")).isSymLink());
        QCOMPARE(writeFileAtomically(path("fifo"), "x").value_or(RuntimeError{}).number, 75);
        QVERIFY(QFileInfo(path("fifo")).isFile() == false && QFileInfo::exists(path("fifo")));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 3);

        QVERIFY(isRegularFileOrAbsent(path("book")) && isRegularFileOrAbsent(path("absent")));
        QVERIFY(!isRegularFileOrAbsent(path("link")) && !isRegularFileOrAbsent(path("fifo")));
        QVERIFY(::link(QFile::encodeName(path("book")).constData(), QFile::encodeName(path("hard")).constData()) == 0);
        QVERIFY(isSameFile(path("link"), path("book")) && isSameFile(path("hard"), path("book")));
        QVERIFY(!isSameFile(path("fifo"), path("book")) && !isSameFile(path("absent"), path("absent")));
    }

    void printableBytes() {
        QCOMPARE(printable(QByteArray("OK\r\n\\\x01\xff", 7), 10), QStringLiteral("OK\\r\\n\\\\\\x01\\xff"));
        QCOMPARE(printable("abcdef", 3), QStringLiteral("abc ... (6 bytes)"));
        QByteArray latin1;
        latin1Into(QStringLiteral("a\u00e9\u20ac"), latin1);
        QCOMPARE(latin1, QByteArray("a\xe9?"));
    }
};

QTEST_GUILESS_MAIN(TestIo)
#include "test_io.moc"
