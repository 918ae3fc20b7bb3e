// Transfer throughput: a whole download and verify through the real window (shown and painting
// for real, on the platform QT_QPA_PLATFORM names: offscreen unless set, xcb under Xvfb) against
// velta-devsim on loopback, side by side with a bare blocking POSIX client sending the same lines
// to the same simulator, in turns (every other round the bare client first). Prints both rates,
// the CPU each used per round trip, the paint rates of the progress bar and the console, each
// round's ratio, and last the ratio tool/bare: the median of the rounds' ratios and their spread.
//
//   transfer_bench DEVSIM_PATH [LINES=9000] [ROUNDS=3]
#include "app/services.h"
#include "app/up_config.h"
#include "bench_common.h"
#include "core/protocol/intel_hex.h"
#include "synthetic_hex.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// CPU time the whole process has used (every thread: the X connection's reader included).
double processCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct ToolRun {
    double seconds = 0;
    double cpuSeconds = 0;
    double barPaintsPerSecond = 0;
    double consolePaintsPerSecond = 0;
    bool finalPictureRight = false;
};

ToolRun runTool(quint16 port, const QString& hexPath, int lines) {
    PlatformServices services;
    services.openFile = [&](QWidget*, const QString&) { return std::optional<QString>(hexPath); };
    services.messageBox = [](QWidget*, const QString& text, const QString& title, MessageIcon) {
        std::fprintf(stderr, "message box: %s %s\n", qPrintable(title), qPrintable(text));
    };
    services.launchDetached = [](const QString&, const QStringList&) {};
    services.sleep = [](int) {};

    UP_config w(services);
    w.show();
    PaintCounter barPaints, consolePaints;
    w.bar()->installEventFilter(&barPaints);
    auto* console = w.findChild<QPlainTextEdit*>(QStringLiteral("Text3"));
    console->viewport()->installEventFilter(&consolePaints);

    w.findChild<QComboBox*>(QStringLiteral("ComboRemoteIP"))->setEditText(QStringLiteral("127.0.0.1"));
    w.findChild<QLineEdit*>(QStringLiteral("tbRemotePort"))->setText(QString::number(port));
    w.findChild<QLineEdit*>(QStringLiteral("tbLocalPort"))->setText(QStringLiteral("0"));
    w.connectOrDisconnect();

    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Connected after the window's own handler, so it sees each reply's outcome.
    QObject::connect(&w.udpSocket(), &UdpSocketControl::dataArrival, &loop, [&] {
        if (w.bar()->text() == QLatin1String("END") || w.lastReply().contains(QLatin1String("VER=")))
            loop.quit();
    });
    guard.start(5000);
    loop.exec(); // the boot-information reply

    barPaints.paints = consolePaints.paints = 0;
    const double cpuStart = processCpuSeconds();
    QElapsedTimer t;
    t.start();
    w.openAndDownload();
    guard.start(600000);
    loop.exec();
    ToolRun r;
    r.seconds = t.nsecsElapsed() / 1e9;
    r.cpuSeconds = processCpuSeconds() - cpuStart;
    r.barPaintsPerSecond = barPaints.paints / r.seconds;
    r.consolePaintsPerSecond = consolePaints.paints / r.seconds;
    if (w.bar()->text() != QLatin1String("END") || w.bar()->value() != lines) {
        std::fprintf(stderr, "transfer did not end: %s\n", qPrintable(w.bar()->text()));
        r.seconds = -1;
        return r;
    }

    // The screen follows within a frame: after a short wait the last painted picture is the end.
    QTimer::singleShot(200, &loop, &QEventLoop::quit);
    loop.exec();
    const QImage bar = w.bar()->grab().toImage();
    r.finalPictureRight = w.bar()->paintedText() == QLatin1String("END") &&
                          w.bar()->paintedBarColor() == 65280u &&
                          bar.pixelColor(10, bar.height() / 2) == QColor(0, 255, 0) &&
                          console->toPlainText() ==
                              QString(w.consoleText()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    w.connectOrDisconnect();
    return r;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: transfer_bench DEVSIM_PATH [LINES] [ROUNDS]\n");
        return 2;
    }
    const int lines = args.size() > 2 ? args[2].toInt() : 9000;
    const int rounds = args.size() > 3 ? args[3].toInt() : 3;

    const QString devsim = QFileInfo(args[1]).absoluteFilePath();
    QTemporaryDir dir;
    QDir::setCurrent(dir.path()); // no address book of the user's is read
    const QString hexPath = dir.filePath(QStringLiteral("bench.hex"));
    const QByteArray hex = syntheticHexFile(lines);
    {
        QFile f(hexPath);
        f.open(QIODevice::WriteOnly);
        f.write(hex);
    }
    const QList<QByteArray> datagrams = Bench::transferDatagrams(hex);
    Bench::Simulator sim(devsim, {"--quiet"}, QStringLiteral("127.0.0.1"), Bench::pinForMeasurement());
    if (!sim.port()) {
        std::fprintf(stderr, "velta-devsim did not start\n");
        return 1;
    }
    QList<double> tool, bare, ratios, toolCpu, bareCpu, barRate, consoleRate;
    bool pictures = true;
    for (int i = 0; i < rounds; ++i) {
        // Every other round the bare client goes first, so neither gains from its place in a round.
        double b = 0;
        const auto bareRun = [&] {
            const double cpuStart = processCpuSeconds();
            b = Bench::runBare(sim.port(), datagrams);
            bareCpu << processCpuSeconds() - cpuStart;
        };
        if (i % 2)
            bareRun();
        const ToolRun r = runTool(sim.port(), hexPath, lines);
        if (i % 2 == 0)
            bareRun();
        toolCpu << r.cpuSeconds;
        if (r.seconds <= 0 || b <= 0)
            return 1;
        tool << r.seconds;
        bare << b;
        ratios << b / r.seconds; // side by side in one round: the fairest pair
        barRate << r.barPaintsPerSecond;
        consoleRate << r.consolePaintsPerSecond;
        pictures = pictures && r.finalPictureRight;
    }
    const double trips = 2.0 * lines;
    const double toolRate = trips / Bench::median(tool), bareRate = trips / Bench::median(bare);
    std::printf("transfer: %d lines, %.0f round trips, median of %d rounds\n", lines, trips, rounds);
    const QByteArray platform = (QGuiApplication::platformName() + QStringLiteral(", painting):")).toLatin1();
    std::printf("  window (%-20s %8.0f round trips/s\n", platform.constData(), toolRate);
    std::printf("  bare blocking client:         %8.0f round trips/s\n", bareRate);
    std::printf("  CPU per round trip: window %.1f us, bare client %.1f us\n",
                Bench::median(toolCpu) / trips * 1e6, Bench::median(bareCpu) / trips * 1e6);
    std::printf("  progress bar repaints: %.0f/s (goal >= 20/s), console repaints: %.0f/s (when its text "
                "changes)\n",
                Bench::median(barRate), Bench::median(consoleRate));
    std::printf("  final picture shows the end: %s\n", pictures ? "yes" : "NO");
    std::printf("  ratio of each round:");
    for (double r : ratios)
        std::printf(" %.2f", r);
    std::printf("\n");
    std::sort(ratios.begin(), ratios.end());
    std::printf("ratio tool/bare: %.2f (%.2f-%.2f over %d rounds; goal >= %s)\n", Bench::median(ratios),
                ratios.first(), ratios.last(), rounds, platform.startsWith("offscreen") ? "0.85" : "0.9");
    return 0;
}
