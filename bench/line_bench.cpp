// A line through the station's window against the same line through velta-flash, side by side in
// the same rounds: DEVICES simulators on loopback (one core of their own), each loaded with a
// LINES-line file and verified. The window runs in this process, shown and painting (offscreen
// unless QT_QPA_PLATFORM says otherwise), timed from Start to the run's end; velta-flash is timed
// as a whole process, as a script sees it. While the window runs, its table's repaints are counted
// and a click is posted every 100 ms and timed until it is handled. Prints the medians and
// spreads, and last the ratio window/flasher.
//
//   line_bench VELTA_FLASH DEVSIM [DEVICES=30] [LINES=9000] [ROUNDS=3]
#include "bench_common.h"
#include "line_command.h"
#include "line_window.h"
#include "synthetic_hex.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QWindow>

#include <memory>

namespace {
double runFlash(const QString& flash, const QString& hosts, const QString& hexPath) {
    QProcess p;
    p.setProgram(flash);
    p.setArguments({"--quiet", "--hosts", hosts, hexPath});
    QElapsedTimer t;
    t.start();
    p.start();
    if (!p.waitForFinished(1200000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "velta-flash failed: %s\n", p.readAllStandardError().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e9;
}

// Counts the table's paints, and times the clicks posted to the messages pane until they are
// handled, on the clock of the run.
struct Watch : QObject {
    QElapsedTimer clock;
    QList<qint64> paintsMs;
    QList<qint64> postedUs;
    QList<double> clicksMs;
    QWidget* clicked = nullptr;

    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::Paint && watched != clicked)
            paintsMs << clock.elapsed();
        if (e->type() == QEvent::MouseButtonRelease && watched == clicked && !postedUs.isEmpty())
            clicksMs << (clock.nsecsElapsed() / 1000 - postedUs.takeFirst()) / 1000.0;
        return false;
    }
    void click() {
        const QPointF at(10, 10);
        postedUs << clock.nsecsElapsed() / 1000;
        for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
            QCoreApplication::postEvent(
                clicked, new QMouseEvent(type, at, clicked->mapToGlobal(at), Qt::LeftButton,
                                         type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                         Qt::NoModifier));
    }
};

struct LineRound {
    double seconds = -1;
    int paints = 0, busiestSecond = 0;
    QList<double> clicksMs;
};

LineRound runLine(const QString& settings, const QString& hosts, const QString& hexPath, int devices) {
    LineWindow w(StationServices::real(), settings);
    LineStart start;
    start.form.hostsFiles = {hosts};
    start.form.file = hexPath;
    start.given = true;
    w.open(start);
    w.show();
    for (int i = 0; i < 200 && !(w.windowHandle() && w.windowHandle()->isExposed()); ++i)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    Watch watch;
    watch.clicked = w.findChild<QPlainTextEdit*>("messages")->viewport();
    w.findChild<QTableView*>("devices")->viewport()->installEventFilter(&watch);
    watch.clicked->installEventFilter(&watch);
    QTimer clicks;
    clicks.setInterval(100);
    QObject::connect(&clicks, &QTimer::timeout, &watch, &Watch::click);
    QEventLoop loop;
    QObject::connect(&w, &LineWindow::runEnded, &loop, &QEventLoop::quit);
    watch.clock.start();
    w.startLine();
    clicks.start();
    if (w.running())
        loop.exec();
    LineRound round;
    const qint64 ended = watch.clock.elapsed();
    if (w.exitCode() != 0 || w.model().totals() != QStringLiteral("%1 ok").arg(devices)) {
        std::fprintf(stderr, "velta-line: %s\n", qPrintable(w.model().totals()));
        return round;
    }
    round.seconds = ended / 1000.0;
    round.paints = int(watch.paintsMs.size());
    QMap<qint64, int> perSecond;
    for (const qint64 ms : std::as_const(watch.paintsMs))
        round.busiestSecond = std::max(round.busiestSecond, ++perSecond[ms / 1000]);
    round.clicksMs = watch.clicksMs;
    return round;
}

QString spread(const QList<double>& v, int decimals = 2) {
    return QStringLiteral("%1 (%2-%3)")
        .arg(Bench::median(v), 0, 'f', decimals)
        .arg(*std::min_element(v.begin(), v.end()), 0, 'f', decimals)
        .arg(*std::max_element(v.begin(), v.end()), 0, 'f', decimals);
}
} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: line_bench VELTA_FLASH DEVSIM [DEVICES] [LINES] [ROUNDS]\n");
        return 2;
    }
    const QString flash = QFileInfo(args[1]).absoluteFilePath(),
                  devsim = QFileInfo(args[2]).absoluteFilePath();
    const int devices = args.size() > 3 ? args[3].toInt() : 30;
    const int lines = args.size() > 4 ? args[4].toInt() : 9000;
    const int rounds = args.size() > 5 ? args[5].toInt() : 3;

    QTemporaryDir dir;
    const QString hexPath = dir.filePath("bench.hex"), hosts = dir.filePath("line.hosts");
    QFile hex(hexPath);
    if (!hex.open(QIODevice::WriteOnly) || hex.write(syntheticHexFile(lines)) <= 0)
        return 1;
    hex.close();
    const int simulatorCore = Bench::pinForMeasurement();
    std::vector<std::unique_ptr<Bench::Simulator>> sims;
    QByteArray targets;
    for (int i = 0; i < devices; ++i) {
        sims.push_back(
            std::make_unique<Bench::Simulator>(devsim, QStringList{"--quiet"}, "127.0.0.1", simulatorCore));
        if (!sims.back()->port()) {
            std::fprintf(stderr, "velta-devsim did not start\n");
            return 1;
        }
        targets += sims.back()->endpoint().toLatin1() + '\n';
    }
    QFile list(hosts);
    if (!list.open(QIODevice::WriteOnly) || list.write(targets) != targets.size())
        return 1;
    list.close();

    QList<double> flashS, lineS, ratio, clicksMs;
    QList<double> paintRate;
    int busiest = 0;
    for (int i = 0; i < rounds; ++i) {
        const double f = runFlash(flash, hosts, hexPath);
        const LineRound l = runLine(dir.filePath("velta-line.conf"), hosts, hexPath, devices);
        if (f <= 0 || l.seconds <= 0)
            return 1;
        flashS << f;
        lineS << l.seconds;
        ratio << l.seconds / f;
        paintRate << l.paints / l.seconds;
        busiest = std::max(busiest, l.busiestSecond);
        clicksMs += l.clicksMs;
    }
    std::printf("a line of %d devices, %d lines each (%d round trips), median (spread) of %d rounds\n",
                devices, lines, 2 * lines * devices, rounds);
    std::printf("  velta-flash (whole process):       %s s\n", qPrintable(spread(flashS)));
    std::printf("  velta-line (Start to the run's end): %s s\n", qPrintable(spread(lineS)));
    std::printf("  table repaints: %s a second, at most %d in any second (goal <= 30)\n",
                qPrintable(spread(paintRate, 1)), busiest);
    if (!clicksMs.isEmpty())
        std::printf(
            "  a click handled after: median %.2f ms, at most %.2f ms over %lld clicks (goal <= 100)\n",
            Bench::median(clicksMs), *std::max_element(clicksMs.begin(), clicksMs.end()),
            qint64(clicksMs.size()));
    std::printf("ratio velta-line/velta-flash: %s (goal <= 1.1)\n", qPrintable(spread(ratio)));
    return 0;
}
