// The address book file, the reply history with its trimming, and the watchdog rule.
#include "address_book.h"
#include "link_watchdog.h"
#include "receive_history.h"

#include <QTest>

class TestLink : public QObject {
    Q_OBJECT

private slots:
    void addressBookFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("entries"); // after the one sort, as the list shows them
        const QStringList fallback{"192.168.1.25"};
        const struct {
            const char* name;
            QByteArray content;
            QStringList entries;
        } rows[] = {
            {"empty", "", fallback},
            {"only empty lines and blanks", "\r\n\r\n  \n\r,,,", fallback},
            {"empty line between", "10.0.0.2\r\n\r\n10.0.0.1\r\n", {"10.0.0.1", "10.0.0.2"}},
            {"comma splits, quotes dropped", "b,\"a,c\"\r\n", {"a,c", "b"}},
            {"sorted once, case-insensitive, stable", "zeta\nbeta\nAlpha\nalpha\n10.1.1.1", {"10.1.1.1", "Alpha", "alpha", "beta", "zeta"}},
            {"Latin-1 byte", "h\xF6st\r\n", {QString::fromLatin1("h\xF6st")}},
            // A failure part way keeps what was read and adds the default entry.
            {"entry past the limit", "z\r\n" + QByteArray(AddressBook::MaxEntryBytes + 1, 'x'), {"192.168.1.25", "z"}},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << r.content << r.entries;
    }

    void addressBookFiles() {
        QFETCH(QByteArray, content);
        FieldReader reader(content);
        QStringList entries = AddressBook::entriesFrom(reader);
        AddressBook::sort(entries);
        QTEST(entries, "entries");
    }

    void addressBookSaves() {
        QCOMPARE(AddressBook::fileBytes({}), QByteArray());
        const QStringList plain{"10.0.0.1", "host.example", QString::fromLatin1("\xE9")};
        QCOMPARE(AddressBook::fileBytes(plain), QByteArray("10.0.0.1\r\nhost.example\r\n\xE9\r\n"));
        FieldReader back(AddressBook::fileBytes(plain + QStringList{"a,b"}));
        QCOMPARE(AddressBook::entriesFrom(back), plain + QStringList({"a", "b"})); // a comma comes back as two
        QStringList list{"10", "A", "c"};
        for (const char* e : {"a", "B", "2", "10"})
            list.insert(AddressBook::sortedInsertIndex(list, QString::fromLatin1(e)), QString::fromLatin1(e));
        QCOMPARE(list, (QStringList{"10", "10", "2", "A", "a", "B", "c"})); // after equal entries
    }

    void history() {
        QCOMPARE(trimTrailingSpaces(QStringLiteral("  OK  ")), QStringLiteral("  OK"));
        QCOMPARE(trimTrailingSpaces(QStringLiteral("OK \t \r\n")), QStringLiteral("OK \t \r\n"));
        QCOMPARE(trimTrailingSpaces(QStringLiteral("   ")), QString());
        ReceiveHistory h;
        QCOMPARE(h.consoleText(QStringLiteral("|")), QStringLiteral("|||||"));
        h.push(QStringLiteral("one"));
        QCOMPARE(h.consoleText(QStringLiteral("\r\n")), QStringLiteral("\r\n\r\n\r\n\r\n\r\none"));
        for (const char* r : {"2", "3", "4", "5", "6", "7"})
            h.push(QString::fromLatin1(r));
        QCOMPARE(h.consoleText(QStringLiteral("|")), QStringLiteral("2|3|4|5|6|7"));
        QCOMPARE(h.at(0), QStringLiteral("7"));
        QCOMPARE(h.at(5), QStringLiteral("2"));
    }

    void watchdog() {
        qint16 silence = LinkWatchdog::AfterStartup;
        QVERIFY(!LinkWatchdog::tick(silence)); // the first tick after start shows the link lost
        QCOMPARE(silence, LinkWatchdog::Lost);
        silence = LinkWatchdog::AfterDatagram;
        for (int i = 2; i <= 50; ++i) {
            QVERIFY(LinkWatchdog::tick(silence));
            QCOMPARE(silence, qint16(i));
        }
        QVERIFY(!LinkWatchdog::tick(silence));
        QCOMPARE(silence, qint16(51));
        silence = 32767; // however long the silence lasts, the count never leaves its range
        QVERIFY(!LinkWatchdog::tick(silence));
        QCOMPARE(silence, qint16(51));
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "test_link.moc"
