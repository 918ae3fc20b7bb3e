// Address book file rules, the receive history and the watchdog rule.
#include "address_book.h"
#include "link_watchdog.h"
#include "receive_history.h"

#include <QTest>

class TestLink : public QObject {
    Q_OBJECT

private slots:
    void saveBytes_data();
    void saveBytes();
    void saveThenLoadRoundTrip();
    void sortedInsert();
    void trimming_data();
    void trimming();
    void history();
    void watchdogCounts();
};

void TestLink::saveBytes_data() {
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty list") << QStringList{} << QByteArray();
    QTest::newRow("one") << QStringList{"10.0.0.1"} << QByteArray("10.0.0.1\r\n");
    QTest::newRow("two, in list order") << QStringList{"b", "a"} << QByteArray("b\r\na\r\n");
    QTest::newRow("text as it is") << QStringList{" a,\"b\""} << QByteArray(" a,\"b\"\r\n");
    QTest::newRow("Latin-1") << QStringList{QString::fromLatin1("\xE9")} << QByteArray("\xE9\r\n");
}

void TestLink::saveBytes() {
    QFETCH(QStringList, entries);
    QFETCH(QByteArray, bytes);
    QCOMPARE(AddressBook::fileBytes(entries), bytes);
}

void TestLink::saveThenLoadRoundTrip() {
    const auto load = [](const QByteArray& bytes) {
        FieldReader reader(bytes);
        return AddressBook::entriesFrom(reader);
    };
    const QStringList plain{"10.0.0.1", "host.example", "192.168.1.25"};
    QCOMPARE(load(AddressBook::fileBytes(plain)), plain);
    // An entry with a comma comes back as two.
    QCOMPARE(load(AddressBook::fileBytes({"a,b"})), (QStringList{"a", "b"}));
    QCOMPARE(load(",,,\r\n"), QStringList{"192.168.1.25"});
    // A failure part way keeps what was read and adds the default entry.
    QCOMPARE(load("z\r\n" + QByteArray(AddressBook::MaxEntryBytes + 1, 'x')), (QStringList{"z", "192.168.1.25"}));
}

void TestLink::sortedInsert() {
    QStringList list;
    for (const char* e : {"b", "A", "c", "a", "B", "10", "2"})
        list.insert(AddressBook::sortedInsertIndex(list, QString::fromLatin1(e)), QString::fromLatin1(e));
    // Case-insensitive; equal entries keep their order of arrival, with one sort as with inserts.
    const QStringList expected{"10", "2", "A", "a", "b", "B", "c"};
    QCOMPARE(list, expected);
    QStringList sorted{"b", "A", "c", "a", "B", "10", "2"};
    AddressBook::sort(sorted);
    QCOMPARE(sorted, expected);
}

void TestLink::trimming_data() {
    QTest::addColumn<QString>("in");
    QTest::addColumn<QString>("out");
    QTest::newRow("spaces") << "OK   "
                            << "OK";
    QTest::newRow("only spaces") << "    "
                                 << "";
    QTest::newRow("CRLF stays") << "OK\r\n"
                                << "OK\r\n";
    QTest::newRow("space before CRLF stays") << "OK \r\n"
                                             << "OK \r\n";
    QTest::newRow("tab stays") << "OK\t"
                               << "OK\t";
    QTest::newRow("leading kept") << "  OK"
                                  << "  OK";
    QTest::newRow("empty") << ""
                           << "";
}

void TestLink::trimming() {
    QFETCH(QString, in);
    QFETCH(QString, out);
    QCOMPARE(trimTrailingSpaces(in), out);
}

void TestLink::history() {
    ReceiveHistory h;
    QCOMPARE(h.consoleText("|"), QStringLiteral("|||||"));
    h.push("one");
    QCOMPARE(h.consoleText("\r\n"), QStringLiteral("\r\n\r\n\r\n\r\n\r\none"));
    for (const char* r : {"2", "3", "4", "5", "6", "7"})
        h.push(QString::fromLatin1(r));
    QCOMPARE(h.consoleText("|"), QStringLiteral("2|3|4|5|6|7"));
    QCOMPARE(h.at(0), QStringLiteral("7"));
    QCOMPARE(h.at(5), QStringLiteral("2"));
}

void TestLink::watchdogCounts() {
    qint16 silence = LinkWatchdog::AfterStartup;
    QVERIFY(!LinkWatchdog::tick(silence));
    QCOMPARE(silence, qint16(51));
    silence = LinkWatchdog::AfterConnect;
    for (int i = 1; i <= 50; ++i) {
        QVERIFY2(LinkWatchdog::tick(silence), qPrintable(QString::number(i)));
        QCOMPARE(silence, qint16(i));
    }
    QVERIFY(!LinkWatchdog::tick(silence));
    QCOMPARE(silence, qint16(51));
    silence = LinkWatchdog::AfterDatagram;
    for (int i = 0; i < 49; ++i)
        QVERIFY(LinkWatchdog::tick(silence));
    QVERIFY(!LinkWatchdog::tick(silence));
    // However long the silence lasts, the count never leaves its range.
    silence = 32767;
    QVERIFY(!LinkWatchdog::tick(silence));
    QCOMPARE(silence, qint16(51));
}

QTEST_GUILESS_MAIN(TestLink)
#include "test_link.moc"
