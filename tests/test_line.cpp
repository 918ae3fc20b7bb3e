// The line window: its command line and form against velta-flash's, its model and views offscreen,
// and the real engine against simulators on loopback, driven with keys and clicks.
#include "flash_options.h"
#include "line_command.h"
#include "line_delegates.h"
#include "line_window.h"
#include "run_until.h"
#include "simulator_process.h"
#include "store/history.h"
#include "synthetic_hex.h"
#include "table.h"

#include <QAbstractButton>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <deque>
#include <functional>

namespace {
// velta-line's arguments ($H: a hosts file naming "a" and "b:7/3") and the form they fill ("given
// run scan hosts;targets;direct operation start;version;report;log;options;file") or the refusal.
// clang-format off
const struct CommandRow { const char *name, *args, *outcome; } CommandRows[] = {
    {"nothing: the station's settings fill it", "", "0 0 0 ;;0 flash 0;;;;;;"},
    {"the windowing system's own", "-platform offscreen -display :9", "0 0 0 ;;0 flash 0;;;;;;"},
    {"a shortcut's whole set-up", "--hosts $H --report r.jsonl --skip-verified --start --expect-version 2.10 --run fw.hex",
     "1 1 0 $H;;0 check-then-flash 1;2.10;r.jsonl;;;fw.hex;"},
    {"options without a control", "--direct --timeout .5 --retries 2 --no-check --jobs 3 --log l fw.hex c d:7",
     "1 0 0 ;c d:7;1 flash 0;;;l;--timeout .5 --retries 2 --jobs 3 --no-check;fw.hex;"},
    {"an inventory: every argument a target", "--scan --hosts $H h:5/0-31", "1 0 1 $H;h:5/0-31;0 flash 0;;;;;;"},
    {"serial numbers from a counter", "--serial-db p.db --serial-start 1000 --serial-step 2 --serial-at 0x7FF0 --serial-size 4 --serial-format le fw.hex h",
     "1 0 0 ;h;0 flash 0;;;;;fw.hex;counter p.db 0x7FF0 4 le 1000 2 -"},
    {"serial numbers from an SQTP file", "--serial-db p.db --serial-sqtp s.num fw.hex h", "1 0 0 ;h;0 flash 0;;;;;fw.hex;sqtp p.db - - be - - s.num"},
    {"a history on a server, a station's name", "--history postgresql://line@db/line?sslmode=require --station bench-3 fw.hex h",
     "1 0 0 ;h;0 flash 0;;;;;fw.hex;;postgresql://line@db/line?sslmode=require @bench-3"},
    {"--run needs a line", "--run fw.hex", "--run needs FILE.hex and a TARGET"},
    {"a misspelt option", "--retires 2", "Unknown option 'retires'; did you mean --retries?"},
    {"velta-flash's ways of showing are its own", "--progress never", "Unknown option 'progress'."},
    {"a range to flash", "f h/0-3", "h/0-3: a range of device addresses is for --scan only"},
    {"an output onto an input", "--report $H --hosts $H f", "--report $H is --hosts $H"}};

// A device's job in a state; the row shown ("device address phase lines resends word: message")
// and the colours of its result cell and of its bar at a tenth and at nine tenths.
constexpr QRgb Green = 0xff008000, Red = 0xffc80000, Amber = 0xffffb000, Grey = 0xffc8c8c8, Base = 1; // the view's own
void finished(DeviceJob& j, FlashResult result, const char* phase, int answered = 80) {
    j.outcome = DeviceJob::Outcome::Finished, j.result = result, j.phase = phase, j.acknowledged = answered, j.linesToAnswer = 80;
}
const struct RowRow { const char* name; bool inRun; void (*make)(DeviceJob&); const char* shown; QRgb result, tenth, nineTenths; } RowRows[] = {
    {"not run yet", false, [](DeviceJob&) {}, "16 127.0.0.1   0 : ", Base, Base, Base},
    {"waiting for its turn", true, [](DeviceJob& j) { j.gatewayAddress.reset(); }, "direct 127.0.0.1 waiting  0 waiting: ", Grey, Base, Base},
    {"ok", true, [](DeviceJob& j) { finished(j, FlashResult::Success, "done"), j.resends = 2; }, "16 127.0.0.1 done 80/80 2 ok: ", Green, Green, Green},
    {"skipped", true, [](DeviceJob& j) { finished(j, FlashResult::Success, "done", 40), j.skipped = true; }, "16 127.0.0.1 done 40/80 0 skipped: ", Green, Green, Base},
    {"a device error half way, in words", true, [](DeviceJob& j) { finished(j, FlashResult::DeviceError, "download", 40), j.message = "the device answered \"ERROR\" to line 41 of 40"; },
     "16 127.0.0.1 download 40/80 0 device error: the device answered \"ERROR\" to line 41 of 40", Red, Red, Base},
    {"another image", true, [](DeviceJob& j) { finished(j, FlashResult::DeviceError, "verify", 41), j.refusal = DeviceRefusal::VerifyMismatch; }, "16 127.0.0.1 verify 41/80 0 verify mismatch: ", Red, Red, Base},
    {"a name not looked up", true, [](DeviceJob& j) { finished(j, FlashResult::NetworkError, "", 0), j.target.address.clear(), j.message = "cannot look up h"; },
     "16 - - 0/80 0 network error: cannot look up h", Red, Base, Base},
    {"interrupted before it began", true, [](DeviceJob& j) { finished(j, FlashResult::Interrupted, "", 0), j.linesToAnswer = 0; }, "16 127.0.0.1 -  0 interrupted: ", Amber, Base, Base}};
// clang-format on

QString formText(const StationForm& f) {
    return QStringList{f.hostsFiles.join(' '),
                       f.targets,
                       joined(f.direct, operationKey(f.operation), f.start),
                       f.expectVersion,
                       f.reportFile,
                       f.logFile,
                       f.options,
                       f.file,
                       f.serialSource.isEmpty()
                           ? QString()
                           : QStringList{f.serialSource, f.serialPool, f.serialAt, f.serialSize,
                                         f.serialFormat, f.serialStart, f.serialStep, f.serialFile}
                                 .replaceInStrings(QRegularExpression("^$"), "-")
                                 .join(' ')}
               .join(";") +
           (f.history.isEmpty() && f.station.isEmpty() ? QString() : ";" + f.history + " @" + f.station);
}
// What a run is told, in one line, to compare the window's runs with velta-flash's.
QString settingsText(const LineSettings& s) {
    QString text = joined(s.file, s.remotePort, s.gateway, s.gatewayAddress, s.timeoutMs, s.firstTimeoutMs,
                          s.retries, s.jobs, s.check, s.verifyOnly, s.skipVerified, s.start, s.expectVersion,
                          s.logFile, s.reportFile, s.failedHostsFile, s.scan, s.history, s.station);
    const SerialSettings& z = s.serial;
    text += " " + joined(int(z.source), z.pool, z.address.value_or(0), z.size, serialFormatName(z.format),
                         z.start, z.step, z.file);
    for (const HostEntry& h : s.hosts)
        text += " " + h.written;
    return text;
}
QList<QJsonObject> records(const QString& path, const char* type = "device") {
    QFile f(path);
    QList<QJsonObject> out;
    for (const QByteArray& line : f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>())
        if (const QJsonObject o = QJsonDocument::fromJson(line).object(); o["type"] == type)
            out << o;
    return out;
}

// A window with services that answer from a script and record what was asked.
struct Station {
    QTemporaryDir dir;
    QList<std::optional<QString>> files; // the file dialog's answers, in turn; none left: cancelled
    QList<bool> answers;                 // the questions' answers, in turn
    QStringList asked;                   // "title" of each question, "title in folder" of each dialog
    std::unique_ptr<LineWindow> w;
    std::unique_ptr<QSignalSpy> ended;

    Station() { reopen(); }
    void reopen() {
        w.reset();
        StationServices s{
            [this](QWidget*, const FileQuestion& q) {
                asked << q.title + " in " + q.folder;
                return files.isEmpty() ? std::nullopt : files.takeFirst();
            },
            [this](QWidget*, const QString& title, const QString&, const QString&, const QString&) {
                asked << title;
                return !answers.isEmpty() && answers.takeFirst();
            },
            HostLookup::system()};
        w = std::make_unique<LineWindow>(s, path("config/velta-line.conf"));
        ended = std::make_unique<QSignalSpy>(w.get(), &LineWindow::runEnded);
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    QString write(const QString& name, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path(name)).path());
        QFile f(path(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(f.fileName()));
        return f.fileName();
    }
    template <typename T = QWidget> T* control(const char* name) { return w->findChild<T*>(name); }
    const StationForm& form() const { return w->form(); }
    QString text(const char* name) { return control<QLabel>(name)->text(); }
    // Into the field as the technician types: a click, everything selected, the new text.
    void type(const char* name, const QString& text) {
        auto* e = control<QLineEdit>(name);
        QTest::mouseClick(e, Qt::LeftButton);
        e->selectAll();
        QTest::keyClick(e, Qt::Key_Backspace);
        QTest::keyClicks(e, text);
    }
    void key(Qt::Key k, Qt::KeyboardModifiers m = {}) { QTest::keyClick(w->focusWidget(), k, m); }
    // Alt and a button's underlined letter: the button shows its press, then acts.
    void mnemonic(Qt::Key k, const std::function<bool()>& acted) {
        key(k, Qt::AltModifier);
        QVERIFY(runUntil(acted));
    }
    // Waits for the `n`th run to end; its exit code.
    int runEnded(qsizetype n) {
        return runUntil([&] { return ended->size() >= n; }, 60000) ? ended->at(n - 1).at(0).toInt() : -1;
    }
    QStringList column(int c) {
        QStringList cells;
        for (int r = 0; r < w->model().rowCount(); ++r)
            cells << w->model().index(r, c).data().toString();
        return cells;
    }
};
} // namespace

class TestLine : public QObject {
    Q_OBJECT

private slots:
    void commandLine_data() { addRows(CommandRows); }
    void commandLine() {
        const CommandRow& row = CommandRows[fetchRow()];
        QTemporaryDir dir;
        const QString hosts = dir.filePath("line.hosts");
        QFile f(hosts);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("a\nb:7/3\n") > 0);
        f.close();
        const QStringList args = QString(row.args).replace("$H", hosts).split(' ', Qt::SkipEmptyParts);
        const auto parsed = parseLineArguments(args);
        const auto* start = parsed ? std::get_if<LineStart>(&*parsed) : nullptr;
        const QString got = !parsed
                                ? parsed.failure().detail
                                : joined(start->given, start->run, start->scan) + " " + formText(start->form);
        QCOMPARE(got, QString(row.outcome).replace("$H", hosts));
        // The form runs the line exactly as velta-flash runs the same arguments.
        const auto flash = parseFlashArguments(args.filter(QRegularExpression("^(?!--run$)")));
        if (start && !start->scan && !start->form.file.isEmpty() && flash) {
            const auto options = start->form.lineOptions();
            QVERIFY2(options, options ? "" : qPrintable(options.failure().detail));
            QCOMPARE(settingsText(*options), settingsText(std::get<FlashOptions>(*flash)));
        }
    }

    // The model and the views together: each row's words and the colours the table paints.
    void rows_data() { addRows(RowRows); }
    void rows() {
        const RowRow& row = RowRows[fetchRow()];
        DeviceJob job; // outlives the window that shows it
        Station st;
        job.target = {"127.0.0.1:5111/16", QHostAddress::LocalHost, 5111};
        job.gatewayAddress = 16;
        row.make(job);
        LineModel& model = st.w->model();
        model.showLine({&job});
        if (row.inRun)
            model.takeRun({0}, {&job}, false);
        const RowView& v = model.view(0);
        QCOMPARE(joined(v.device, v.address, v.phase, v.lines, v.resends, v.word) + ": " + v.message,
                 QString(row.shown));
        QCOMPARE(model.index(0, LineModel::Target).data().toString(), job.target.label);
        auto* table = st.control<QTableView>("devices");
        const QImage shot = table->viewport()->grab().toImage();
        const QRect result = table->visualRect(model.index(0, LineModel::Result));
        const QRect bar = table->visualRect(model.index(0, LineModel::Progress)).adjusted(3, 4, -4, -5);
        const QRgb base = table->palette().base().color().rgba();
        const auto colour = [&](QRgb c) { return QString::number(c == Base ? base : c, 16); };
        const auto at = [&](int x, int y) { return QString::number(shot.pixel(x, y), 16); };
        QCOMPARE(joined(at(result.left() + 3, result.top() + 3),
                        at(bar.left() + bar.width() / 10, bar.top() + 2),
                        at(bar.left() + bar.width() * 9 / 10, bar.top() + 2)),
                 joined(colour(row.result), colour(row.tenth), colour(row.nineTenths)));
        // A picked row keeps its colours inside a frame; the columns say what they hold.
        table->selectRow(0);
        QCOMPARE(table->viewport()->grab().toImage().pixel(result.left() + 1, result.center().y()),
                 table->palette().highlight().color().rgb());
        QCOMPARE(model.headerData(LineModel::Result, Qt::Horizontal, Qt::DisplayRole).toString(), "Result");
    }

    // Events only mark rows; a refresh reads the marked and the running ones and repaints those
    // that changed, side by side together.
    void refreshesWhatChanged() {
        LineModel model;
        std::deque<DeviceJob> jobs(5);
        QList<const DeviceJob*> all;
        for (DeviceJob& j : jobs)
            all << &j;
        model.showLine(all);
        model.takeRun({0, 1, 2, 3, 4}, all, false);
        QSignalSpy painted(&model, &QAbstractItemModel::dataChanged);
        const auto repainted = [&] {
            QStringList ranges;
            for (const QList<QVariant>& s : std::as_const(painted))
                ranges << joined(s[0].toModelIndex().row(), s[1].toModelIndex().row(),
                                 s[1].toModelIndex().column());
            painted.clear();
            return ranges.join(", ");
        };
        for (const int i : {1, 2, 4})
            jobs[size_t(i)].outcome = DeviceJob::Outcome::Running;
        model.tick();
        QCOMPARE(repainted(), "1 2 9, 4 4 9");
        jobs[2].acknowledged = 5, jobs[2].linesToAnswer = 10;
        jobs[0].target.address = QHostAddress("127.0.0.9"); // looked up: no event marks it
        model.tick();
        QCOMPARE(joined(repainted(), model.view(2).lines, model.view(2).permille), "2 2 9 5/10 500");
        model.setLive(false); // the last refresh reads every row
        QCOMPARE(repainted(), "0 0 9");
        QCOMPARE(joined(model.totals(), model.finishedRows(), model.failedRows().size()), "0 ok 0 0");
        model.setFailed({3}, "file-error", "fw.hex:4: bad checksum"); // a run that ended before it began
        QCOMPARE(joined(repainted(), model.view(3).word, model.totals()),
                 "3 3 9 file error 0 ok, 1 failed: 1 file-error");
    }

    // While running, a check and the verify pass after a download show apart.
    void phaseOfACheck() {
        QUdpSocket device; // answers the boot information and the download, never a verify line
        QVERIFY(device.bind(QHostAddress::LocalHost, 0));
        connect(&device, &QUdpSocket::readyRead, this, [&] {
            while (device.hasPendingDatagrams()) {
                const QNetworkDatagram d = device.receiveDatagram();
                const QByteArray reply = d.data().startsWith("OOTi")           ? "VELTA BOOT VER=2.10\r\n"
                                         : d.data().startsWith("OOT:00000001") ? "DOWNLOAD\r\n"
                                         : d.data().startsWith("OOT:")         ? "OK\r\n"
                                                                               : "";
                if (!reply.isEmpty())
                    device.writeDatagram(reply, d.senderAddress(), quint16(d.senderPort()));
            }
        });
        LineStore lines;
        lines.append(":0400000001020304F2");
        lines.append(":00000001FF");
        for (const bool check : {true, false}) {
            DeviceJob job;
            job.target = {"dev", QHostAddress::LocalHost, device.localPort()};
            job.outcome = DeviceJob::Outcome::Running;
            job.link = std::make_unique<DeviceLink>(
                job.target, lines, FlashSettings{.gateway = false, .verifyOnly = check}, nullptr);
            QVERIFY(job.link->bind(0));
            job.link->start();
            QVERIFY(runUntil([&] { return job.link->session().pass() == FlashPass::Verify; }));
            QCOMPARE(rowView(job, true, true).phase, check ? "check" : "verify");
            job.link->interrupt();
        }
    }

    // A line of five: ok, ERROR at line 3, two behind one gateway, a silent one. Enter runs it,
    // "Rerun failed" the two that failed, Esc stops after a question, closing asks too.
    void aLineRun() {
        Station st;
        SimulatorProcess ok(VELTA_DEVSIM, {"--direct-only"}),
            error(VELTA_DEVSIM, {"--direct-only", "--error-at-line", "3"}),
            gateway(VELTA_DEVSIM, {"--address", "16,17"}), silent(VELTA_DEVSIM, {"--drop-every", "1"});
        const QStringList targets{ok.endpoint(), error.endpoint(), gateway.endpoint() + "/16",
                                  gateway.endpoint() + "/17", silent.endpoint()};
        st.type("hostsFiles", st.write("line.hosts", (targets.join('\n') + '\n').toUtf8()));
        st.files << st.write("fw/fw.hex", syntheticHexFile(40));
        QTest::mouseClick(st.control<QAbstractButton>("pickFirmware"), Qt::LeftButton);
        st.type("reportFile", st.path("line.jsonl"));
        st.type("options", "--timeout 0.2 --retries 1");
        st.type("history", st.path("history.db"));
        st.type("station", "bench 3");
        QTest::keyClick(st.control("direct"), Qt::Key_Space);
        // Serial numbers from a counter, each device its own, in its row.
        st.control("serialSource")->setFocus();
        st.key(Qt::Key_Down); // a counter
        st.type("serialPool", st.path("line.pool"));
        st.type("serialAt", "0x7FF0");
        st.type("serialSize", "4");
        st.type("serialStart", "1000");
        QCOMPARE(joined(st.text("lineStatus"), st.text("firmwareLines"), st.text("firmwareName")),
                 "5 devices 40 fw.hex");
        st.key(Qt::Key_Return);
        QCOMPARE(st.runEnded(1), 1);
        QCOMPARE(st.column(LineModel::Result).join(','), "ok,device error,ok,ok,timeout");
        QCOMPARE(st.column(LineModel::Phase).join(','), "done,download,done,done,boot-info");
        QCOMPARE(st.text("totals"), "3 ok, 2 failed: 1 device-error, 1 timeout");
        QVERIFY(st.column(LineModel::Message)[1].startsWith("the device answered \"ERROR"));
        QStringList serials = st.column(LineModel::Serial);
        serials.sort();
        QCOMPARE(serials.join(','), "1000,1001,1002,1003,1004");
        QVERIFY(st.w->windowTitle().endsWith("line.hosts - 3 ok, 2 failed: 1 device-error, 1 timeout"));
        // Exactly the two again, a run of their own in the same report.
        QTest::mouseClick(st.control<QAbstractButton>("rerunButton"), Qt::LeftButton);
        QCOMPARE(st.runEnded(2), 1);
        const QList<QJsonObject> devices = records(st.path("line.jsonl")),
                                 runs = records(st.path("line.jsonl"), "run");
        QStringList rerun;
        for (const QJsonObject& r : devices.mid(5))
            rerun << r["target"].toString() + (r["run_id"] == runs[1]["run_id"] ? "" : " in another run");
        rerun.sort();
        QStringList failed{error.endpoint(), silent.endpoint()};
        failed.sort();
        QCOMPARE(joined(devices.size(), runs.size(), runs[1]["devices"].toInt(), rerun.join(' ')),
                 joined(7, 2, 2, failed.join(' ')));
        QVERIFY(runs[0]["run_id"] != runs[1]["run_id"]);
        QCOMPARE(st.text("totals"), "3 ok, 2 failed: 1 device-error, 1 timeout");
        const QStringList after = st.column(LineModel::Serial);
        QCOMPARE(QSet<QString>(after.cbegin(), after.cend()).size(), 5);
        QCOMPARE(joined(after[1] >= "1005", after[4] >= "1005"), "1 1"); // the rerun's fresh values
        // Esc asks; "Go on" goes on, "Stop" stops at once, as Ctrl-C does; closing asks too.
        st.answers << false << true << false << true;
        st.key(Qt::Key_Return);
        st.key(Qt::Key_Escape);
        QVERIFY(st.w->running());
        st.key(Qt::Key_Escape);
        QCOMPARE(st.runEnded(3), 130);
        QCOMPARE(st.column(LineModel::Result).join(','),
                 "interrupted,interrupted,interrupted,interrupted,interrupted");
        st.key(Qt::Key_Return);
        QVERIFY(!st.w->close() && st.w->running()); // "Go on"
        QVERIFY(!st.w->close());
        QCOMPARE(st.runEnded(4), 130);
        QVERIFY(runUntil([&] { return !st.w->isVisible(); }));
        QCOMPARE(
            st.asked.join('|'),
            "Pick the firmware in |Stop the line|Stop the line|Close the line window|Close the line window");
        QCOMPARE(records(st.path("line.jsonl"), "run").size(), 4);
        // The history holds what the report holds, each record naming the station.
        const auto held = History::find(st.path("history.db"), ok.endpoint());
        QVERIFY(held && !held->isEmpty());
        const QList<QJsonObject> reported = records(st.path("line.jsonl"));
        QCOMPARE(held->size(),
                 int(std::count_if(reported.cbegin(), reported.cend(),
                                   [&](const QJsonObject& r) { return r["target"] == ok.endpoint(); })));
        for (const QByteArray& r : *held)
            QCOMPARE(QJsonDocument::fromJson(r)["station"].toString(), "bench 3");
        // The station keeps its settings, never the firmware itself, and nothing beside it.
        st.reopen();
        QCOMPARE(joined(st.control<QLineEdit>("hostsFiles")->text() == st.path("line.hosts"),
                        st.control<QLineEdit>("reportFile")->text(), st.control<QLineEdit>("options")->text(),
                        st.control<QAbstractButton>("direct")->isChecked(), st.text("firmwareName")),
                 joined(1, st.path("line.jsonl"), "--timeout 0.2 --retries 1", 1, "none picked"));
        QCOMPARE(joined(st.form().history, st.form().station), joined(st.path("history.db"), "bench 3"));
        st.mnemonic(Qt::Key_F, [&] { return st.asked.size() == 6; });
        QCOMPARE(st.asked.last(), "Pick the firmware in " + st.path("fw"));
        QCOMPARE(QDir(st.path("fw")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"fw.hex"});
        QTest::keyClick(st.control("startAfter"), Qt::Key_Space);
        st.control("flash")->setFocus();
        st.key(Qt::Key_Down); // the next way to go: verify only
        st.type("expectVersion", "2.10");
        QVERIFY(st.w->close());
        st.reopen();
        QCOMPARE(joined(st.control<QAbstractButton>("startAfter")->isChecked(),
                        st.control<QAbstractButton>("verifyOnly")->isChecked(), st.form().expectVersion),
                 "1 1 2.10");
    }

    // A bad file is refused with its line and the reason, and nothing starts; an inventory opens
    // the line with the devices that answered.
    void refusedFileAndInventory() {
        Station st;
        SimulatorProcess gateway(VELTA_DEVSIM, {"--address", "16,17"});
        const QByteArray bad = syntheticHexFile(5).replace(":10002000", ":10002100");
        st.files << st.write("bad.hex", bad);
        st.mnemonic(Qt::Key_F, [&] { return st.files.isEmpty(); });
        QCOMPARE(st.text("firmwareStatus"), "Refused: " + st.path("bad.hex") + ":4: bad checksum");
        st.type("targets", gateway.endpoint() + "/15-18");
        QCOMPARE(joined(st.text("lineStatus").endsWith("a range of device addresses is for --scan only"),
                        st.w->model().rowCount()),
                 "1 4");
        st.key(Qt::Key_Return);
        QVERIFY(!st.w->running() && !st.control("startButton")->isEnabled());
        st.type("options", "--version");
        QCOMPARE(st.text("lineStatus"), "--help and --version are no options of a run");
        st.type("options", "--timeout 0.05 --retries 0");
        st.mnemonic(Qt::Key_C, [&] { return st.w->running(); }); // Scan
        QCOMPARE(st.runEnded(1), 0);
        const QString found = gateway.endpoint() + "/16 " + gateway.endpoint() + "/17";
        QCOMPARE(st.control<QLineEdit>("targets")->text(), found);
        QCOMPARE(joined(st.w->model().rowCount(), st.text("lineStatus")), "2 2 devices");
        QVERIFY(st.control<QPlainTextEdit>("messages")->toPlainText().contains("2 answered, 2 silent"));
        // A file spoilt after it was picked is refused at Start as velta-flash refuses it, with a
        // record for each device; one device named twice is refused once the names are looked up.
        const QString fw = st.write("fw.hex", syntheticHexFile(5));
        st.files << fw;
        st.mnemonic(Qt::Key_F, [&] { return st.files.isEmpty(); });
        st.type("reportFile", st.path("line.jsonl"));
        st.write("fw.hex", bad);
        st.key(Qt::Key_Return);
        QCOMPARE(st.runEnded(2), 3);
        QCOMPARE(st.column(LineModel::Result).join(','), "file error,file error");
        QCOMPARE(st.column(LineModel::Message)[1], fw + ":4: bad checksum");
        QCOMPARE(records(st.path("line.jsonl")).size(), 2);
        st.write("fw.hex", syntheticHexFile(5));
        st.type("targets", found + " " + gateway.endpoint() + "/16");
        st.key(Qt::Key_Return);
        QCOMPARE(st.runEnded(3), 2);
        QCOMPARE(st.column(LineModel::Result).join(','), "refused,refused,refused");
        QVERIFY(st.column(LineModel::Message)[0].endsWith("are the same device"));
    }

    // Tab walks the form top to bottom, then the run; every control has a name for screen readers.
    void keyboardAndNames() {
        Station st;
        st.control("hostsFiles")->setFocus();
        QStringList order;
        for (int i = 0; i < 40 && !order.contains(st.w->focusWidget()->objectName()); ++i) {
            order << st.w->focusWidget()->objectName();
            st.key(Qt::Key_Tab);
        }
        QCOMPARE(order.join(' '),
                 "hostsFiles openHosts targets direct pickFirmware flash startAfter expectVersion "
                 "reportFile chooseReport logFile chooseLog failedHostsFile chooseFailedHosts history "
                 "chooseHistory "
                 "station options "
                 "serialSource serialPool chooseSerialPool serialFile chooseSerialFile serialAt serialSize "
                 "serialFormat serialStart serialStep devices messages");
        static const QRegularExpression qts("^(qt_|_q_|$)");
        for (QWidget* c : st.w->findChildren<QWidget*>())
            QVERIFY2(qts.match(c->objectName()).hasMatch() || !c->accessibleName().isEmpty(),
                     qPrintable(c->objectName()));
    }
};

QTEST_MAIN(TestLine)
#include "test_line.moc"
