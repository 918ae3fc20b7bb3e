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
// else than a resend happens, "w" shows the wait asked for (in us), "f" the copy just sent could not
// go for a moment. The trace shows what was sent after each event: i (boot information), Dk / Vk
// (line k in download or verify form), R (a resend; Rxn: n of them), . (nothing); then the result
// and the lines answered. The mode: "verify" (verify only), "expect X" (the boot information's
// version), "retries N", "probe" (the first two records wait for duplicates; elsewhere none do).
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
    {"an inventory: a device that does not answer", 2, "scan", "t*", "i Rx3 . timeout 0", "no reply to the boot-information request"},
    {"ERROR VERIFY after a clean download: another image at once", 2, "", "<VER= <OK <DOWNLOAD t <ERROR_VERIFY_0000", "i D1 D2 . V1 . device_error 2", "the device answered \"ERROR VERIFY 0000\" to line 1 of 2 in the verify pass"},
    {"ERROR VERIFY after a download with a stray: download and verify again", 2, "", "<VER= <huh <OK <DOWNLOAD t <ERROR_VERIFY_0000 <ERROR t <OK <DOWNLOAD t <OK <DOWNLOAD t", "i D1 . D2 . V1 . . D1 D2 . V1 V2 . . ok 4", ""},
    {"... at most --retries times, then said what the line did", 2, "retries 1", "<VER= <huh <OK <DOWNLOAD t <ERROR_VERIFY_0000 t <huh <OK <DOWNLOAD t <ERROR_VERIFY_0010", "i D1 . D2 . V1 . D1 . D2 . V1 . device_error 2", "to line 1 of 2 in the verify pass; in each of the 2 download passes the line made replies ambiguous (1 in the last"},
    {"sends refused for a moment are losses: resent, and said at the end", 1, "", "<VER= f t f t f t f t", "i D1 R R R . timeout 0", "(timeout 10 s, 4 sends); 4 of the sends failed: Operation not permitted"}};
// clang-format on

// Lines a station meets, each played 100 times with its own seed on a 300-line file: at least
// `minOk` runs end "ok", an "ok" always means the device holds the file, no line waits beyond its
// bound, and at most `maxResends` copies go again in a run. The service time: a device that takes
// 200 us a record and writes a flash row (3 to 3.6 ms) every 4th record of a download.
using Draw = std::function<LineFault(QRandomGenerator&, bool toDevice)>;
// clang-format off
const struct BadLineRow { const char* name; bool rowWrites; Draw draw; int minOk, maxResends; } BadLineRows[] = {
    {"the simulator's bad line: 2% lost, 5% twice, up to 5 ms late", false, [](QRandomGenerator& g, bool toDevice) {
        return LineFault{g.bounded(100.0) < 2, !toDevice && g.bounded(100.0) < 5 ? 2 : 1, toDevice ? 0 : Micros(g.bounded(5001))}; }, 99, 60},
    {"30% of the replies twice, 0.2 to 2 ms apart; 10% of the requests lost", false, [](QRandomGenerator& g, bool toDevice) {
        const bool twice = !toDevice && g.bounded(100.0) < 30;
        return LineFault{toDevice && g.bounded(100.0) < 10, twice ? 2 : 1, 0, {}, twice ? Micros(200 + g.bounded(1801)) : 0}; }, 99, 400},
    {"2% lost and 2% twice, both ways", false, [](QRandomGenerator& g, bool) {
        return LineFault{g.bounded(100.0) < 2, g.bounded(100.0) < 2 ? 2 : 1}; }, 100, 60},
    {"a device writing flash rows, clean: nothing sent twice", true, [](QRandomGenerator&, bool) { return LineFault{}; }, 100, 0},
    {"... 2% lost both ways", true, [](QRandomGenerator& g, bool) { return LineFault{g.bounded(100.0) < 2}; }, 100, 60}};
// clang-format on

// A device's time for a request: 200 us a record, and a flash row (3 to 3.6 ms, drawn from `draw`)
// each 4th record of a download.
std::function<Micros(QByteArrayView)> rowWritingDevice(QRandomGenerator& draw) {
    return [&draw, records = 0](QByteArrayView d) mutable -> Micros {
        if (!d.startsWith("OOT:"))
            return d.startsWith("OOT#") ? 200 : 0;
        return ++records % 4 == 0 ? 3000 + draw.bounded(601) : 200;
    };
}

// The flasher's clock, read as rows: after these events (times in us; "xN" repeats one N times),
// the time-out, the next copy's wait, the horizon, the soonest answer and the wait after answers.
// c: a record answered at its first send, b: the boot information, d: any answer's delay,
// s: a needless resend's first round trip, t: a copy waited in vain, r: a line answered at its
// first send, u: a duplicate trailing its answer, p: a reply that answered nothing while a line was
// awaited, a: a line answered. The longest wait is 3 s.
// clang-format off
const struct ClockRow { const char *name, *events, *expected; } ClockRows[] = {
    {"nothing learnt: the longest wait", "", "3000000 3000000 300 0 0"},
    {"the first contact's round trip, twice, and a young floor", "b300", "4000 4000 600 0 0"},
    {"a quiet loopback: never below the floor", "c50x16", "1000 1000 300 16 0"},
    {"every 4th record writes a flash row: its slow tail and a quarter more", "c200x3 c3200 c200x3 c3200 c200x10", "4000 4000 6400 20 0"},
    {"the row writes leave the window after 64 records, the horizon after 32", "c3200x4 c200x64", "1000 1000 400 20 0"},
    {"a needless resend: never again below its round trip and a quarter", "c50x16 s8000 c50x64", "10000 10000 300 16 0"},
    {"... but never above the longest wait", "c50x16 s9000000", "3000000 3000000 300 16 0"},
    {"... and halves after 1024 lines without another", "c50x16 s8000 ax1024", "10000 10000 300 16 0"},
    {"... 1025", "c50x16 s8000 ax1025", "5000 5000 300 16 0"},
    {"waits in vain double the wait, up to the longest", "c200x16 t t t", "1000 8000 400 20 0"},
    {"... and a line answered at its first send ends that", "c200x16 t t t c200", "1000 1000 400 20 0"},
    {"the horizon: twice the longest recent delay", "c100x16 d900", "1000 1000 1800 20 0"},
    {"... at most twice the longest wait", "d4000000", "3000000 3000000 6000000 0 0"},
    {"... and the recent delays only: 32 of them", "d5000 c100x32", "1000 1000 300 20 0"},
    {"the soonest answer: a third of the second shortest round trip", "c30 c45 c300x14", "1000 1000 600 15 0"},
    {"... in any order", "c300x62 c45 c30 c60", "1000 1000 600 15 0"},
    {"... of the last 64 only", "c30 c45 c300x63", "1000 1000 600 20 0"},
    {"... or the one there is", "c27", "4000 4000 300 9 0"},
    {"a duplicate 100 us behind its answer: the next lines wait twice that", "c100x16 u100", "1000 1000 300 20 201"},
    {"one 5 ms behind: the horizon at most, unless a second bears it out", "c100x16 u5000", "1000 1000 300 20 300"},
    {"... as far as a second bears out", "c100x16 u5000 u4000", "1000 1000 300 20 8001"},
    {"... the second longest of them", "c100x16 u3000 u5000 u100 u4000", "1000 1000 300 20 8001"},
    {"a stray while a line was awaited: wait the horizon, and learn", "c100x16 d400 p", "1000 1000 800 20 800"},
    {"no duplicate for 256 lines: the pace comes back", "c100x16 u100 ax256", "1000 1000 300 20 201"},
    {"... 257", "c100x16 u100 ax257", "1000 1000 300 20 0"}};
// clang-format on

// The clock after `events`, as the rows above write them.
ReplyClock replayed(const char* events) {
    ReplyClock clock(3000000);
    for (const QString& event : QString(events).split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = event.mid(1).split('x');
        const Micros us = parts.first().toLongLong();
        for (int i = 0; i < (parts.size() > 1 ? parts.last().toInt() : 1); ++i) {
            switch (event[0].toLatin1()) {
            case 'c':
                clock.cleanTrip(us);
                break;
            case 'b':
                clock.bootTrip(us);
                break;
            case 'd':
                clock.delay(us);
                break;
            case 's':
                clock.spurious(us);
                break;
            case 't':
                clock.timedOut();
                break;
            case 'u':
                clock.duplicateTrailed(us);
                break;
            case 'p':
                clock.lineDuplicates();
                break;
            case 'a':
                clock.answered();
                break;
            }
        }
    }
    return clock;
}

// How long a lone link asks for an answer before it sleeps, after these events.
// clang-format off
const struct SpinRow { const char *name, *events; Micros spinUs; } SpinRows[] = {
    {"nothing learnt: sleep at once", "", 0},
    {"a loopback's round trips: ask for up to 100 us", "c40x16", 100},
    {"the first contact's round trip counts as well", "b50", 100},
    {"a smoothed round trip of 100 us still", "c100x16", 100},
    {"101 us: a slower device, sleep at once", "c101x16", 0},
    {"a device writing flash rows", "c200x3 c3200 c200x3 c3200", 0},
    {"one slow trip among fast ones: for a few lines", "c40x16 c1000", 0},
    {"... then again", "c40x16 c1000 c40x8", 100}};
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
        s.expectVersion = mode.startsWith("expect") ? mode.section(' ', 1) : QString();
        s.retries = mode.startsWith("retries") ? mode.section(' ', 1).toInt() : s.retries;
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
            } else if (event == "f") {
                session.sendFailed("Operation not permitted");
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

    void clockRows_data() { addRows(ClockRows); }
    void clockRows() {
        const ClockRow& r = ClockRows[fetchRow()];
        const ReplyClock clock = replayed(r.events);
        QCOMPARE(joined(clock.timeoutUs(), clock.waitUs(), clock.horizonUs(), clock.soonestAnswerUs(),
                        clock.duplicateGapUs()),
                 r.expected);
    }

    void spinRows_data() { addRows(SpinRows); }
    void spinRows() {
        const SpinRow& r = SpinRows[fetchRow()];
        QCOMPARE(replayed(r.events).spinUs(), r.spinUs);
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

    void healthyDevicesOnBadLines_data() { addRows(BadLineRows); }
    void healthyDevicesOnBadLines() {
        const BadLineRow& r = BadLineRows[fetchRow()];
        const QByteArray file = syntheticHexFile(300);
        int ok = 0, mostResends = 0;
        for (quint32 seed = 1; seed <= 100; ++seed) {
            QRandomGenerator draw(seed);
            DeviceModel device;
            FlasherConversation host(linesOf(file), {.gateway = false});
            InProcessLine line(device,
                               [&](bool toDevice, int, QByteArrayView) { return r.draw(draw, toDevice); });
            if (r.rowWrites)
                line.serviceUs = rowWritingDevice(draw);
            LineBound bound(Protocol::Defaults::Retries, Protocol::Defaults::TimeoutMs,
                            Protocol::Defaults::FirstTimeoutMs);
            bool bounded = true;
            line.onAction = [&](const FlashAction& a) {
                bounded = bounded && bound.holds(host, a, line.now);
            };
            const FlashResult result = line.run(host);
            QVERIFY2(result != FlashResult::Success || device.image() == *hexFileImage(file),
                     qPrintable(QString::number(seed)));
            QVERIFY2(bounded, qPrintable(QString::number(seed)));
            ok += result == FlashResult::Success;
            mostResends = std::max(mostResends, host.resends());
        }
        QVERIFY2(ok >= r.minOk && mostResends <= r.maxResends, qPrintable(joined(ok, mostResends)));
    }

    // What the line's faults cost on the virtual clock, against the same device on a clean line:
    // a device writing flash rows (the time-out is set by its slowest records), 2000 lines, ten
    // seeds. A loss waits one time-out, and the answer to its resend lets the next line go as soon
    // as any copy still owed would have been answered.
    void aLossCostsOneWait() {
        const QByteArray file = syntheticHexFile(2000);
        const auto flashedIn = [&](quint32 seed, double lossPercent) {
            QRandomGenerator draw(seed);
            DeviceModel device;
            // Before anything is learnt a loss waits the longest: cut, as that is not the point here.
            FlasherConversation host(linesOf(file),
                                     {.gateway = false, .timeoutMs = 50, .firstTimeoutMs = 50});
            InProcessLine line(device, [&](bool, int, QByteArrayView) {
                return LineFault{draw.bounded(100.0) < lossPercent};
            });
            line.serviceUs = rowWritingDevice(draw);
            const Micros start = line.now;
            const bool ok = line.run(host) == FlashResult::Success && device.image() == *hexFileImage(file);
            return std::pair{ok ? line.now - start : Micros(-1), host.resends()};
        };
        double clean = 0, lossy = 0;
        int resends = 0;
        for (quint32 seed = 1; seed <= 10; ++seed) {
            const auto [cleanUs, cleanResends] = flashedIn(seed, 0);
            const auto [lossyUs, lossyResends] = flashedIn(seed, 2);
            QVERIFY2(cleanUs > 0 && lossyUs > 0 && cleanResends == 0, qPrintable(QString::number(seed)));
            clean += double(cleanUs);
            lossy += double(lossyUs);
            resends += lossyResends;
        }
        // Each resend: the time-out of this device's slowest records (about 4.5 ms) and the
        // device's time for the copy, 5.4 ms in all; waiting out the horizon after the resend's
        // answer made it 6.3 ms.
        const double perResendUs = (lossy - clean) / resends;
        qInfo("2%% lost: %.3f times the clean line's time, %.0f us a resend", lossy / clean, perResendUs);
        QVERIFY2(perResendUs < 6000, qPrintable(QString::number(perResendUs)));
    }

    // A device that falls silent is given up when fixed waits would give it up, from the line's
    // first send: --retries + 1 times the longest wait, however the copies' waits grew.
    void aSilentDeviceEndsWhenFixedWaitsWould() {
        for (const int silentFrom :
             {1, 2, 20}) { // the first record (--first-timeout), the next, a verify line
            DeviceModel device;
            FlasherConversation host(
                linesOf(File), {.gateway = false, .retries = 2, .timeoutMs = 200, .firstTimeoutMs = 700});
            InProcessLine line(device, [&](bool toDevice, int i, QByteArrayView) {
                return LineFault{toDevice && i >= silentFrom};
            });
            Micros lineStart = 0;
            line.onAction = [&](const FlashAction& a) {
                lineStart = a.send && !a.resend ? line.now : lineStart;
            };
            QCOMPARE(line.run(host), FlashResult::Timeout);
            QCOMPARE(joined(silentFrom, line.now - lineStart),
                     joined(silentFrom, silentFrom == 1 ? 2100000 : 600000));
        }
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
