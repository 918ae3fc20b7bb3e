// The flasher's conversation against the device model in one process, on a virtual clock, over
// a line that loses, duplicates and delays datagrams as each row scripts it.
#include "in_process_line.h"
#include "synthetic_hex.h"
#include "table.h"

#include <QRandomGenerator>
#include <QTest>

namespace {
LineStore linesOf(const QByteArray& file) {
    LineStore lines;
    for (const QByteArray& line : file.trimmed().split('\n'))
        lines.append(line.trimmed());
    return lines;
}

// The device holds `file` already, as a completed download leaves it.
void holdImage(DeviceModel& device, const QByteArray& file) {
    for (const QByteArray& line : file.trimmed().split('\n'))
        (void)device.handle("OOT" + line.trimmed() + "\r\n");
}

const QByteArray File = syntheticHexFile(12);
// The same file with the first two bytes of its third line swapped: the checksum still holds.
const QByteArray Other = [] {
    QList<QByteArray> lines = File.split('\n');
    lines[2] = lines[2].left(9) + lines[2].mid(11, 2) + lines[2].mid(9, 2) + lines[2].mid(13);
    return lines.join('\n');
}();

// In each pass the reply to line 2 (at 0000) twice, the first request for line 3 (at 0010) lost.
InProcessLine::Faults duplicateThenRequestLost() {
    return [sent = QByteArray(), lost = QSet<QByteArray>()](bool toDevice, int, QByteArrayView d) mutable {
        if (!toDevice)
            return LineFault{false, sent.mid(4, 8) == "10000000" ? 2 : 1};
        sent = d.toByteArray();
        return LineFault{sent.mid(4, 8) == "10001000" && !lost.contains(sent) && (lost.insert(sent), true)};
    };
}

// The device holds `held` (none: empty) before the run; "verify" runs the verify pass only. The
// outcome: the result and, for "ok", "image" when the device holds the file, else "hole", and the resends.
// clang-format off
const struct Row { const char *name; InProcessLine::Faults faults; const char *mode, *held, *outcome; } Rows[] = {
    {"clean", {}, "", "", "ok image 0"},
    {"every 7th request lost", [](bool toDevice, int i, QByteArrayView) { return LineFault{toDevice && i % 7 == 6}; }, "", "", "ok image 4"},
    {"every 5th reply lost", [](bool toDevice, int i, QByteArrayView) { return LineFault{!toDevice && i % 5 == 4}; }, "", "", "ok image 6"},
    {"every 3rd reply twice", [](bool toDevice, int i, QByteArrayView) { return LineFault{false, !toDevice && i % 3 == 0 ? 2 : 1}; }, "", "", "ok image 0"},
    {"every reply twice: a healthy device", [](bool toDevice, int, QByteArrayView) { return LineFault{false, toDevice ? 1 : 2}; }, "", "", "ok image 0"},
    {"late and out of order within the horizon", [rng = QRandomGenerator(7)](bool, int, QByteArrayView) mutable { return LineFault{false, 1, Micros(rng.bounded(400))}; }, "", "", "ok image *"},
    {"the first record lost while the device erases", [](bool toDevice, int i, QByteArrayView) { return LineFault{toDevice && i == 1}; }, "", "", "ok image 1"},
    {"reply 2 twice, request 3 lost, in each pass", duplicateThenRequestLost(), "", "", "ok image 2"},
    {"check: the same image", {}, "verify", "file", "ok image 0"},
    {"check: another image", [](bool toDevice, int i, QByteArrayView) { return LineFault{false, !toDevice && i % 3 == 0 ? 2 : 1}; }, "verify", "other", "device_error"},
    {"an ERROR right after the last DOWNLOAD", [](bool toDevice, int, QByteArrayView d) { return LineFault{false, 1, 0, !toDevice && d.startsWith("DOWNLOAD") ? "ERROR\r\n" : ""}; }, "", "", "device_error"},
    {"the first DOWNLOAD twice, in the verify pass: run again", [twice = true](bool toDevice, int, QByteArrayView d) mutable { return LineFault{false, !toDevice && d.startsWith("DOWNLOAD") && std::exchange(twice, false) ? 2 : 1}; }, "", "", "ok image 0"},
    {"the last record never answered", [](bool toDevice, int, QByteArrayView d) { return LineFault{toDevice && d.endsWith("00000001FF\r\n")}; }, "", "", "timeout"}};

// The flasher's rules as a script of events, each from the time of the event before: "<text" a
// reply 100 us later (in time to be an answer; "_" for a blank), "=text" one 1 us later (right
// behind: too soon to answer anything), "t" the wake-up asked for, "t*" wake-ups until something
// else than a resend happens, "w" shows the wait asked for (in us). The trace shows what was
// sent after each event: i (boot information), Dk / Vk (line k in download or verify form),
// R (a resend; Rxn: n of them), . (nothing); then the result and the lines answered. The mode:
// "verify" (verify only), "expect X" (the boot information's version), "probe" (the first two
// records wait for duplicates; elsewhere none do).
const struct SessionRow { const char* name; int lines; const char *mode, *script, *trace, *message; } SessionRows[] = {
    {"good device", 3, "", "<VER=2 <OK <OK <DOWNLOAD t <OK <OK <DOWNLOAD t", "i D1 D2 D3 . V1 V2 V3 . . ok 6", ""},
    {"boot info answered OK", 2, "", "<OK <OK <DOWNLOAD t <OK <DOWNLOAD t", "i D1 D2 . V1 V2 . . ok 4", ""},
    {"words are whole: NOK, NOERROR, OKAY, OK DOWNLOAD", 2, "", "<VER= <NOK <NOERROR <OKAY <OK_DOWNLOAD <OK <DOWNLOAD t <OK <DOWNLOAD t", "i D1 . . . . D2 . V1 V2 . . ok 4", ""},
    {"DOWNLOAD FAILED ends nothing", 1, "", "<VER= <DOWNLOAD_FAILED t t t t", "i D1 . R R R . timeout 0", "no usable reply to line 1 of 1 in the download pass (timeout 10 s, 4 sends); last reply \"DOWNLOAD FAILED\""},
    {"ERROR as the first line", 2, "", "<VER= <ERROR\r\nOK", "i D1 . device_error 0", "the device answered \"ERROR\\r\\nOK\" to line 1"},
    {"ERROR as the first word", 2, "", "<VER= <ERROR_bad_checksum", "i D1 . device_error 0", "the device answered \"ERROR bad checksum\" to line 1 of 2 in the download pass"},
    {"ERROR VERIFY in a download pass is a verify pass's, late", 2, "", "<VER= <ERROR_VERIFY_0800 <OK <DOWNLOAD t <OK <DOWNLOAD t", "i D1 . D2 . V1 V2 . . ok 4", ""},
    {"DOWNLOAD answers only the last record", 3, "", "<VER= <OK <DOWNLOAD <OK t <DOWNLOAD t <OK t <OK t <DOWNLOAD t", "i D1 D2 . . D3 . V1 . V2 . V3 . . ok 6", ""},
    {"DOWNLOAD to the first record: no new image there", 2, "", "<VER= <DOWNLOAD", "i D1 . device_error 0", "answered \"DOWNLOAD\" to line 1 of 2 in the download pass: it takes the first record for the end"},
    {"OK does not answer the last record", 2, "", "<VER= <OK <OK t*", "i D1 D2 . Rx12 . timeout 1", "no usable reply to line 2 of 2 in the download pass (timeout 3 s, 13 sends); last reply \"OK\""},
    {"the boot information is no record's answer", 2, "", "<VER= <VER=2 t <OK t <DOWNLOAD t <OK <DOWNLOAD t", "i D1 . R . D2 . V1 V2 . . ok 4", ""},
    {"no usable reply to the boot information", 1, "", "<ok <DOWNLOAD t t t <STATUS t", "i . . R R R . . timeout 0", "no usable reply to the boot-information request (timeout 3 s, 4 sends); last reply \"STATUS\""},
    {"no reply", 2, "", "<VER= t t t t", "i D1 R R R . timeout 0", "no reply to line 1 of 2 in the download pass (timeout 10 s, 4 sends)"},
    {"twins of the closing DOWNLOAD: then each answer waits for its own", 3, "", "<VER= <OK <OK <DOWNLOAD =DOWNLOAD t <OK t <OK t <DOWNLOAD =DOWNLOAD t", "i D1 D2 D3 . . V1 . V2 . V3 . . . ok 6", ""},
    {"a twin right behind answers no next line", 5, "", "<VER= <OK <OK <OK =OK <OK t <DOWNLOAD t <OK =OK t <OK t <OK t <OK t <DOWNLOAD t", "i D1 D2 D3 D4 . . D5 . V1 . . V2 . V3 . V4 . V5 . . ok 10", ""},
    {"after a resend, the owed copy's answer ends the wait", 2, "", "<VER= t <OK <OK <DOWNLOAD t <OK <DOWNLOAD t", "i D1 R . D2 . V1 V2 . . ok 4", ""},
    {"a time-out after a late answer suggests a longer --timeout", 2, "", "<VER= t <OK <OK t*", "i D1 R . D2 Rx11 . timeout 1", "(timeout 3 s, 12 sends); 1 answer(s) came late, after a resend: the device may need a longer --timeout (now 3 s)"},
    {"after a resend, a twin is not the owed answer", 5, "", "<VER= <OK <OK <OK t <OK =OK t <DOWNLOAD t <OK <OK <OK <OK <DOWNLOAD t", "i D1 D2 D3 D4 R . . D5 . V1 V2 V3 V4 V5 . . ok 10", ""},
    {"a needless resend raises the floor; the wait doubles while answers come late, not after a loss", 6, "", "<VER= <OK <OK w t <OK <OK w <OK w t <OK t w", "i D1 D2 D3 w4000 R . D4 w10250 D5 w5125 R . D6 w5125 running 5", ""},
    {"a reply after its horizon lengthens the horizon", 4, "", "<VER= <OK <OK t <OK w t <OK <DOWNLOAD w", "i D1 D2 D3 R . w200 D4 . . w800 running 4", ""},
    {"the first records wait a round trip for duplicates", 4, "probe", "<VER= <OK w t <OK t <OK <DOWNLOAD t <OK <OK <OK <DOWNLOAD t", "i D1 . w100 D2 . D3 D4 . V1 V2 V3 V4 . . ok 8", ""},
    {"ERROR to a resent line", 2, "", "<VER= t <ERROR_x_", "i D1 R . device_error 0", "the device answered \"ERROR x\" to line 1 of 2 in the download pass"},
    {"a late ERROR while the copies settle", 2, "", "<VER= t <OK <ERROR", "i D1 R . . device_error 1", "the device answered \"ERROR\""},
    {"a late ERROR after a pass's closing DOWNLOAD", 1, "", "<VER= <DOWNLOAD <ERROR_x", "i D1 . . device_error 1", "the device answered \"ERROR x\" to line 1 of 1 in the download pass"},
    {"nothing after the end", 1, "", "<VER= <DOWNLOAD t <DOWNLOAD t <ERROR t", "i D1 . V1 . . . . ok 2", ""},
    {"a stray DOWNLOAD in the verify pass: the pass again", 3, "", "<VER= <OK <OK <DOWNLOAD t <OK <DOWNLOAD <OK t <DOWNLOAD t <OK t <OK t <DOWNLOAD t", "i D1 D2 D3 . V1 V2 . . V3 . V1 . V2 . V3 . . ok 6", ""},
    {"a verify pass never clean: at most --retries more", 1, "", "<VER= <DOWNLOAD t <DOWNLOAD <OK t <DOWNLOAD <OK t <DOWNLOAD <OK t <DOWNLOAD <OK t", "i D1 . V1 . . V1 . . V1 . . V1 . . . network_error 2", "1 reply answered nothing in the verify pass"},
    {"a check with a stray reply is no match", 2, "verify", "<VER= <OK <OK <DOWNLOAD t", "i V1 V2 . . . network_error 2", "the device's answers cannot be told apart"},
    {"a check: line 2 held back, ERROR to line 3", 4, "verify", "<VER= <OK t <OK t t <ERROR_VERIFY_0008", "i V1 V2 R . V3 R . device_error 2", "the device answered \"ERROR VERIFY 0008\" to line 3 of 4 in the verify pass"},
    {"a check: a twin of line 2's answer, line 3 lost", 4, "verify", "<VER= <OK <OK =OK t <ERROR_VERIFY_0008", "i V1 V2 V3 . R . device_error 2", "\"ERROR VERIFY 0008\" to line 3 of 4"},
    {"verify only", 2, "verify", "<VER= <OK <DOWNLOAD t", "i V1 V2 . . ok 2", ""},
    {"the expected version", 1, "expect 2.10", "<VER=2.10 <DOWNLOAD t <DOWNLOAD t", "i D1 . V1 . . ok 2", ""},
    {"2.1 is not 2.10", 1, "expect 2.1", "<VELTA_BOOT_VER=2.10_ADDR=16", "i . device_error 0", "answered \"VELTA BOOT VER=2.10 ADDR=16\" to the boot-information request, not version \"2.1\""},
    {"a 1 elsewhere is no version 1", 1, "expect 1", "<VELTA_BOOT_VER=2.10_ADDR=1", "i . device_error 0", "not version \"1\""},
    {"no VER= field, no version", 1, "expect 2.10", "<OK", "i . device_error 0", "answered \"OK\" to the boot-information request, not version"},
    {"an inventory: the boot information, nothing more", 2, "scan", "<VER=2", "i . ok 0", ""},
    {"an inventory: a device that does not answer", 2, "scan", "t*", "i Rx3 . timeout 0", "no reply to the boot-information request"}};
// clang-format on

FlashSettings settings(bool verify, int retries = 3) {
    return {
        .gateway = false, .retries = retries, .timeoutMs = 200, .firstTimeoutMs = 200, .verifyOnly = verify};
}

QString resultName(FlashResult r) {
    return QStringLiteral("running ok device_error timeout network_error interrupted").split(' ')[int(r)];
}
} // namespace

class TestConversation : public QObject {
    Q_OBJECT

private slots:
    void sessionScripts_data() { addRows(SessionRows); }
    void sessionScripts() {
        const SessionRow& r = SessionRows[fetchRow()];
        LineStore file;
        for (int i = 1; i <= r.lines; ++i)
            file.append(":L" + QByteArray::number(i));
        const QString mode = r.mode;
        FlashSettings s = settings(mode == "verify");
        s.timeoutMs = 3000;
        s.firstTimeoutMs = 10000;
        s.expectVersion = mode.section(' ', 1);
        s.probeLines = mode == "probe" ? 2 : 0;
        s.bootInfoOnly = mode == "scan";
        FlasherConversation session(file, s);
        Micros now = 1000000;
        std::optional<Micros> wakeAt;
        QStringList trace;
        int resends = 0;
        const auto record = [&](const FlashAction& a) {
            wakeAt = session.wakeAt();
            const QByteArray d = session.datagram();
            const int before = std::exchange(resends, session.resends());
            if (!a.send)
                trace << ".";
            else if (resends > before)
                trace << "R";
            else
                trace << (d == "OOTi\r\n" ? "i"
                                          : QString(d[3] == ':' ? 'D' : 'V') + QString(d.mid(5)).trimmed());
            if (a.send)
                session.prepareNext(); // as the program does
        };
        const auto wake = [&] {
            now = std::max(now, wakeAt.value_or(now));
            record(session.onTimer(now));
        };
        record(session.start(now));
        for (const QString& event : QString(r.script).split(' ')) {
            if (event == "t*") {
                int n = 0;
                for (; !session.finished() && n < 1000 && (wake(), trace.last() == "R"); ++n)
                    trace.removeLast();
                trace.insert(trace.size() - 1, QString("Rx%1").arg(n));
            } else if (event == "t") {
                wake();
            } else if (event == "w") {
                trace << QString("w%1").arg(wakeAt.value_or(now) - now);
            } else {
                now += event[0] == '=' ? 1 : 100;
                record(session.onReply(event.mid(1).replace('_', ' ').toLatin1() + "\r\n", now));
            }
        }
        trace << resultName(session.result()) << QString::number(session.acknowledged());
        QCOMPARE(trace.join(' '), r.trace);
        QVERIFY2(session.message().contains(r.message), qPrintable(session.message()));
        QVERIFY(session.result() != FlashResult::Success ||
                session.acknowledged() == session.linesToAnswer());
        session.interrupt(); // a finished session stays as it ended
        QCOMPARE(session.result() == FlashResult::Interrupted, trace.contains("running"));
    }

    void flasherAgainstTheDevice_data() { addRows(Rows); }
    void flasherAgainstTheDevice() {
        const Row& r = Rows[fetchRow()];
        DeviceModel device;
        if (*r.held)
            holdImage(device, QByteArray(r.held) == "file" ? File : Other);
        const HexImage before = device.image();
        FlasherConversation host(linesOf(File), settings(QByteArray(r.mode) == "verify"));
        InProcessLine line(device, r.faults);
        const FlashResult result = line.run(host);
        QString outcome = resultName(result);
        if (result == FlashResult::Success) {
            // "ok" only where the device holds the file, every line of its passes answered.
            outcome += device.image() == *hexFileImage(File) ? " image" : " hole";
            outcome += QByteArray(r.outcome).endsWith('*') ? " *" : ' ' + QString::number(host.resends());
            QCOMPARE(host.acknowledged(), host.linesToAnswer());
        } else if (*r.held) {
            QVERIFY(device.image() == before); // a check writes nothing
        }
        QVERIFY2(outcome == r.outcome, qPrintable(outcome + "; " + host.message()));
    }

    // Random losses, duplicates and delays: "ok" always means the device holds the file. Delays
    // within the shortest horizon (odd seeds): every answer taken is that line's, and the file
    // gets through; beyond it the verify pass is the guard, and a healthy device may fail.
    void randomLinesNeverFoolTheFlasher() {
        for (quint32 seed = 1; seed <= 150; ++seed) {
            QRandomGenerator rng(seed);
            const int loss = rng.bounded(16), twice = rng.bounded(10);
            const int jitter = seed % 2 ? rng.bounded(120) : rng.bounded(1000);
            const bool check = seed % 3 == 0; // of a device that holds another image
            DeviceModel device;
            if (check)
                holdImage(device, Other);
            FlasherConversation host(linesOf(File), settings(check, 12));
            InProcessLine line(device, [&](bool toDevice, int, QByteArrayView) {
                return LineFault{int(rng.bounded(100)) < loss,
                                 !toDevice && int(rng.bounded(100)) < twice ? 2 : 1,
                                 Micros(rng.bounded(jitter + 1))};
            });
            line.hostDelayUs = seed % 4 * 15; // a busy host sends a while after the event
            int foreign = 0;                  // answers taken that the device gave to another line
            line.onDelivered = [&](const InProcessLine::Delivery& d) {
                foreign += d.taken && d.answers != d.inFlight;
            };
            const FlashResult result = line.run(host);
            QVERIFY2(result != FlashResult::Success || device.image() == *hexFileImage(File),
                     qPrintable(QString::number(seed)));
            if (seed % 2)
                QCOMPARE(joined(seed, foreign, resultName(result)),
                         joined(seed, 0, check ? "device_error" : "ok"));
        }
    }
};

QTEST_GUILESS_MAIN(TestConversation)
#include "test_conversation.moc"
