// The reply rules and the transfer step, without a window.
#include "hex_loader.h"
#include "transfer_engine.h"

#include <QTest>

Q_DECLARE_METATYPE(ReplyRule)

namespace {
TransferState armed(int lines, qint16 verify = 0) {
    TransferState s;
    for (int i = 1; i <= lines; ++i)
        s.LineStore[size_t(i)] = QStringLiteral(":L%1:x").arg(i).toLatin1();
    s.LineCount = qint16(lines);
    s.TransferArmed = 1;
    s.VerifyPhase = verify;
    return s;
}
} // namespace

class TestTransferEngine : public QObject {
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
    void stepForms();
    void stepNeverLeavesTheStore_data();
    void stepNeverLeavesTheStore();
    void hexLines_data();
    void hexLines();
};

void TestTransferEngine::rules_data() {
    QTest::addColumn<QString>("reply");
    QTest::addColumn<qint16>("armed");
    QTest::addColumn<qint16>("verify");
    QTest::addColumn<ReplyRule>("rule");
    QTest::addColumn<qint16>("armedAfter");
    QTest::addColumn<qint16>("verifyAfter");
    QTest::addColumn<QString>("barText");

    using R = ReplyRule;
    auto row = [](const char* tag, const char* reply, int a, int v, R rule, int a2, int v2,
                  const char* text) {
        QTest::newRow(tag) << QString::fromLatin1(reply) << qint16(a) << qint16(v) << rule << qint16(a2)
                           << qint16(v2) << QString::fromLatin1(text);
    };
    row("OK steps", "OK", 1, 0, R::OkStep, 1, 0, "");
    row("OK anywhere", "xxOKxx", 1, 1, R::OkStep, 1, 1, "");
    row("lower-case ok", "ok", 1, 0, R::None, 1, 0, "");
    row("nothing", "hello", 1, 0, R::None, 1, 0, "");
    row("VER= armed", "VER=1", 1, 0, R::VersionStep, 1, 0, "");
    row("VER= beats ERROR", "VER=1 ERROR", 1, 0, R::VersionStep, 1, 0, "");
    row("VER= beats DOWNLOAD", "DOWNLOAD VER=", 1, 1, R::VersionStep, 1, 1, "");
    row("VER= idle falls through to DOWNLOAD", "VER=1 DOWNLOAD", 0, 0, R::StartVerify, 0, 1, "VERIFY");
    row("VER= idle alone", "VER=1", 0, 0, R::None, 0, 0, "");
    row("ERROR", "ERROR", 1, 0, R::Error, 1, 0, "ERROR");
    row("ERROR beats OK", "OK ERROR", 1, 0, R::Error, 1, 0, "ERROR");
    row("ERROR beats DOWNLOAD", "DOWNLOAD ERROR", 1, 1, R::Error, 1, 1, "ERROR");
    row("ERROR idle", "ERROR", 0, 0, R::Error, 0, 0, "ERROR");
    row("DOWNLOAD starts verify", "DOWNLOAD", 1, 0, R::StartVerify, 1, 1, "VERIFY");
    row("DOWNLOAD beats OK", "DOWNLOAD OK", 1, 0, R::StartVerify, 1, 1, "VERIFY");
    row("DOWNLOAD ends verify", "DOWNLOAD", 1, 1, R::End, 0, 0, "END");
    row("DOWNLOAD idle", "DOWNLOAD", 0, 0, R::StartVerify, 0, 1, "VERIFY");
    row("DOWNLOAD idle flagged", "DOWNLOAD", 0, 1, R::End, 0, 0, "END");
    row("case matters", "download", 1, 0, R::None, 1, 0, "");
    row("split keyword", "DOWN LOAD", 1, 0, R::None, 1, 0, "");
}

void TestTransferEngine::rules() {
    QFETCH(QString, reply);
    QFETCH(qint16, armed);
    QFETCH(qint16, verify);
    QFETCH(ReplyRule, rule);
    QFETCH(qint16, armedAfter);
    QFETCH(qint16, verifyAfter);
    QFETCH(QString, barText);

    TransferState s = ::armed(4, verify);
    s.TransferArmed = armed;
    s.LinePos = 2;
    const ReplyEffects e = applyReply(reply, s);
    QCOMPARE(e.rule, rule);
    QCOMPARE(s.TransferArmed, armedAfter);
    QCOMPARE(s.VerifyPhase, verifyAfter);
    QCOMPARE(e.barText.value_or(QString()), barText);
    QCOMPARE(e.step,
             rule == ReplyRule::OkStep || rule == ReplyRule::VersionStep || rule == ReplyRule::StartVerify);
    QCOMPARE(e.transferEnded, rule == ReplyRule::End);
    if (rule == ReplyRule::Error)
        QCOMPARE(*e.barColor, 255u);
    else if (rule == ReplyRule::End)
        QCOMPARE(*e.barColor, 65280u);
    else
        QVERIFY(!e.barColor);
    // A pass that starts or ends restarts the line count; other rules keep it.
    QCOMPARE(s.LinePos, qint16(rule == ReplyRule::End || rule == ReplyRule::StartVerify ? 0 : 2));
}

void TestTransferEngine::stepForms() {
    TransferState s = armed(2);
    auto r = transferStep(s);
    QVERIFY(r);
    QCOMPARE(r->commandLine, QStringLiteral("OOT:L1:x\r\n"));
    QCOMPARE(r->sentForm, QStringLiteral(":L1:x"));
    QVERIFY(r->downloadPass);
    QCOMPARE(r->barValue, qint16(1));
    QCOMPARE(s.LinePos, qint16(1));
    r = transferStep(s);
    QCOMPARE(r->barValue, qint16(2));
    QCOMPARE(s.LinePos, qint16(0)); // wrapped after the last line
    s.VerifyPhase = 1;
    r = transferStep(s);
    QCOMPARE(r->commandLine, QStringLiteral("OOT#L1#x\r\n"));
    QCOMPARE(r->sentForm, QStringLiteral("#L1#x"));
    QVERIFY(!r->downloadPass);
    s.TransferArmed = 0;
    QVERIFY(!transferStep(s));
    QCOMPARE(s.LinePos, qint16(1));
}

void TestTransferEngine::stepNeverLeavesTheStore_data() {
    QTest::addColumn<int>("lineCount");
    QTest::addColumn<int>("linePos");
    QTest::newRow("no lines") << 0 << 0;
    QTest::newRow("position past the count") << 3 << 3;
    QTest::newRow("position far past") << 3 << 9001;
    QTest::newRow("negative position") << 3 << -1;
    QTest::newRow("count beyond the store") << 9001 << 9000;
    QTest::newRow("negative count") << -5 << 0;
}

void TestTransferEngine::stepNeverLeavesTheStore() {
    QFETCH(int, lineCount);
    QFETCH(int, linePos);
    TransferState s = armed(3);
    s.LineCount = qint16(lineCount);
    s.LinePos = qint16(linePos);
    QVERIFY(!transferStep(s));
    QCOMPARE(s.TransferArmed, qint16(0));
    QCOMPARE(s.LinePos, qint16(0));
}

void TestTransferEngine::hexLines_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("max");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("error");
    QTest::newRow("plain") << QByteArray(":A\r\n:B\r\n") << 10 << QStringList{":A", ":B"} << 0;
    QTest::newRow("no final end") << QByteArray(":A\r\n:B") << 10 << QStringList{":A", ":B"} << 0;
    QTest::newRow("blank lines skipped")
        << QByteArray("\r\n:A\r\n\r\n\n:B\r\n\r\n") << 10 << QStringList{":A", ":B"} << 0;
    QTest::newRow("exactly the limit")
        << QByteArray(":A\n:B\n:C\n") << 3 << QStringList{":A", ":B", ":C"} << 0;
    QTest::newRow("one over") << QByteArray(":A\n:B\n:C\n:D\n") << 3 << QStringList{} << 9;
    QTest::newRow("blank lines do not count")
        << QByteArray(":A\n\n\n:B\n\n:C\n\n") << 3 << QStringList{":A", ":B", ":C"} << 0;
    QTest::newRow("empty") << QByteArray() << 3 << QStringList{} << 0;
    QTest::newRow("entry at the size limit") << QByteArray(MaxHexEntryBytes, 'A') << 3
                                             << QStringList{QString(MaxHexEntryBytes, 'A')} << 0;
    QTest::newRow("entry past the size limit") << QByteArray(MaxHexEntryBytes + 1, 'A') << 3 << QStringList{} << 7;
}

void TestTransferEngine::hexLines() {
    QFETCH(QByteArray, content);
    QFETCH(int, max);
    QFETCH(QStringList, lines);
    QFETCH(int, error);
    FieldReader reader(content);
    const auto r = readHexLines(reader, max);
    if (error) {
        QVERIFY(std::holds_alternative<RuntimeError>(r));
        QCOMPARE(std::get<RuntimeError>(r).number, error);
    } else {
        QStringList got;
        for (const QByteArray& line : std::get<QByteArrayList>(r))
            got << QString::fromLatin1(line);
        QCOMPARE(got, lines);
    }
}

QTEST_GUILESS_MAIN(TestTransferEngine)
#include "test_transfer_engine.moc"
