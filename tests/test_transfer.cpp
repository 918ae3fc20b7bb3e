// The reply rules, the transfer step and reading the lines of a HEX file, without a window.
#include "hex_loader.h"
#include "transfer_engine.h"

#include <QTest>

namespace {
TransferState armed(int lines, bool verify = false) {
    TransferState s;
    for (int i = 1; i <= lines; ++i)
        s.lineStore.append(":L" + QByteArray::number(i) + ":x");
    s.lineCount = qint16(lines);
    s.armed = true;
    s.verifyPhase = verify;
    return s;
}
} // namespace

class TestTransfer : public QObject {
    Q_OBJECT

private slots:
    // The first rule that applies is taken: VER= (armed) > ERROR > DOWNLOAD > OK.
    void rules_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("armedBefore");
        QTest::addColumn<bool>("verifyBefore");
        QTest::addColumn<QString>("outcome"); // rule, armed and verify after, bar text
        const struct {
            const char *name, *reply;
            bool armed, verify;
            const char* outcome;
        } rows[] = {
            {"OK steps", "OK", true, false, "5 1 0 "},
            {"OK anywhere", "xxOKxx", true, true, "5 1 1 "},
            {"lower-case ok", "ok", true, false, "6 1 0 "},
            {"case and splits matter", "download DOWN LOAD", true, false, "6 1 0 "},
            {"VER= armed", "VER=1", true, false, "1 1 0 "},
            {"VER= beats ERROR and DOWNLOAD", "DOWNLOAD VER= ERROR", true, true, "1 1 1 "},
            {"VER= idle falls through", "VER=1 DOWNLOAD", false, false, "4 0 1 VERIFY"},
            {"VER= idle alone", "VER=1", false, false, "6 0 0 "},
            {"ERROR beats OK", "OK ERROR", true, false, "2 1 0 ERROR"},
            {"ERROR beats DOWNLOAD, idle too", "DOWNLOAD ERROR", false, true, "2 0 1 ERROR"},
            {"DOWNLOAD beats OK: verify", "DOWNLOAD OK", true, false, "4 1 1 VERIFY"},
            {"DOWNLOAD ends verify", "DOWNLOAD", true, true, "3 0 0 END"},
            {"DOWNLOAD idle", "DOWNLOAD", false, false, "4 0 1 VERIFY"},
            {"DOWNLOAD idle flagged", "DOWNLOAD", false, true, "3 0 0 END"},
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << QString(r.reply) << r.armed << r.verify << QString(r.outcome);
    }

    void rules() {
        QFETCH(QString, reply);
        QFETCH(bool, armedBefore);
        QFETCH(bool, verifyBefore);
        TransferState s = armed(4, verifyBefore);
        s.armed = armedBefore;
        s.linePos = 2;
        const ReplyEffects e = applyReply(reply, s);
        QTEST(QStringLiteral("%1 %2 %3 %4").arg(int(e.rule)).arg(int(s.armed)).arg(int(s.verifyPhase)).arg(e.barText.value_or(QString())),
              "outcome");
        QCOMPARE(e.step, e.rule == ReplyRule::OkStep || e.rule == ReplyRule::VersionStep || e.rule == ReplyRule::StartVerify);
        QCOMPARE(e.transferEnded, e.rule == ReplyRule::End);
        QCOMPARE(e.barColor.value_or(0), e.rule == ReplyRule::Error ? 255u : e.rule == ReplyRule::End ? 65280u : 0u);
        // A pass that starts or ends restarts the line count; other rules keep it.
        QCOMPARE(s.linePos, qint16(e.rule == ReplyRule::End || e.rule == ReplyRule::StartVerify ? 0 : 2));
    }

    void steps() {
        TransferState s = armed(2);
        const auto sent = [&] {
            const auto r = transferStep(s);
            return r ? QStringLiteral("%1|%2|%3|%4").arg(r->commandLine, r->sentForm).arg(r->downloadPass).arg(r->barValue)
                     : QStringLiteral("-");
        };
        QCOMPARE(sent(), QStringLiteral("OOT:L1:x\r\n|:L1:x|1|1"));
        QCOMPARE(sent(), QStringLiteral("OOT:L2:x\r\n|:L2:x|1|2"));
        QCOMPARE(s.linePos, qint16(0)); // back to the start after the last line
        s.verifyPhase = true;
        QCOMPARE(sent(), QStringLiteral("OOT#L1#x\r\n|#L1#x|0|1")); // every ':' becomes '#'
        s.armed = false;
        QCOMPARE(sent(), QStringLiteral("-"));
        QCOMPARE(s.linePos, qint16(1));
        // A position outside the store disarms instead of reading there.
        for (const auto& [count, pos] : {std::pair(0, 0), {3, 3}, {3, 9001}, {3, -1}, {4, 0}, {-5, 0}}) {
            TransferState bad = armed(3);
            bad.lineCount = qint16(count);
            bad.linePos = qint16(pos);
            QVERIFY(!transferStep(bad));
            QVERIFY(!bad.armed);
            QCOMPARE(bad.linePos, qint16(0));
        }
    }

    void hexLines_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("max");
        QTest::addColumn<QString>("lines"); // joined with '|', or the error number
        QTest::newRow("blank lines skipped, no final end") << QByteArray("\r\n:A\r\n\r\n\n:B") << 10 << ":A|:B";
        QTest::newRow("exactly the limit") << QByteArray(":A\n\n:B\n\n:C\n") << 3 << ":A|:B|:C";
        QTest::newRow("one over") << QByteArray(":A\n:B\n:C\n:D\n") << 3 << "9";
        QTest::newRow("fields") << QByteArray(":01,:02\r\n\"  :03\"\n") << 10 << ":01|:02|  :03";
        QTest::newRow("empty") << QByteArray() << 3 << "";
        QTest::newRow("entry at the size limit") << QByteArray(MaxHexEntryBytes, 'A') << 3 << "1 of 1048576";
        QTest::newRow("entry past the size limit") << QByteArray(MaxHexEntryBytes + 1, 'A') << 3 << "7";
    }

    void hexLines() {
        QFETCH(QByteArray, content);
        QFETCH(int, max);
        FieldReader reader(content);
        const auto r = readHexLines(reader, max);
        QString got;
        if (const auto* lines = std::get_if<LineStore>(&r)) {
            QStringList all;
            for (int i = 1; i <= lines->count(); ++i)
                all << QString::fromLatin1(lines->line(i));
            got = all.size() == 1 && all[0].size() > 100 ? QStringLiteral("1 of %1").arg(all[0].size()) : all.join('|');
        } else {
            got = QString::number(std::get<RuntimeError>(r).number);
        }
        QTEST(got, "lines");
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "test_transfer.moc"
