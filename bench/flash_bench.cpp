// Command-line throughput: velta-flash downloads and verifies a file on one device (the
// simulator on loopback), side by side with the bare blocking client sending the same lines to
// the same simulator. Prints both rates and the ratio flasher/bare; then the same file over a
// line that loses 2% and 14% of the datagrams each way (seeded), against a clean line in the
// same rounds, and last those ratios.
//
//   flash_bench VELTA_FLASH DEVSIM [LINES=9000] [ROUNDS=3]
#include "bench_common.h"
#include "core/protocol/intel_hex.h"
#include "synthetic_hex.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {
// The flasher's own clock would leave out its start-up; time the whole process instead, as a
// script calling it sees it.
double runFlash(const QString& flash, const QString& hexPath, quint16 port, const QStringList& options = {}) {
    QProcess p;
    p.setProgram(flash);
    p.setArguments(options + QStringList{"--quiet", "--port", QString::number(port), "--local-port", "0",
                                         hexPath, "127.0.0.1"});
    QElapsedTimer t;
    t.start();
    p.start();
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "velta-flash failed: %s\n", p.readAllStandardError().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e9;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: flash_bench VELTA_FLASH DEVSIM [LINES] [ROUNDS]\n");
        return 2;
    }
    const QString flash = QFileInfo(args[1]).absoluteFilePath();
    const QString devsim = QFileInfo(args[2]).absoluteFilePath();
    const int lines = args.size() > 3 ? args[3].toInt() : 9000;
    const int rounds = args.size() > 4 ? args[4].toInt() : 3;

    QTemporaryDir dir;
    const QString hexPath = dir.filePath(QStringLiteral("bench.hex"));
    const QByteArray hex = syntheticHexFile(lines);
    QFile f(hexPath);
    if (!f.open(QIODevice::WriteOnly) || f.write(hex) != hex.size())
        return 1;
    f.close();
    const QList<QByteArray> datagrams = Bench::transferDatagrams(hex);

    const int simulatorCore = Bench::pinForMeasurement();
    Bench::Simulator sim(devsim, {"--quiet"}, QStringLiteral("127.0.0.1"), simulatorCore);
    if (!sim.port()) {
        std::fprintf(stderr, "velta-devsim did not start\n");
        return 1;
    }
    QList<double> tool, bare;
    for (int i = 0; i < rounds; ++i) {
        const double t = runFlash(flash, hexPath, sim.port());
        const double b = Bench::runBare(sim.port(), datagrams);
        if (t <= 0 || b <= 0)
            return 1;
        tool << t;
        bare << b;
    }
    // The flasher also sends the boot-information request; that one is not counted.
    const double trips = 2.0 * lines;
    const double toolRate = trips / Bench::median(tool), bareRate = trips / Bench::median(bare);
    std::printf("command-line flash: %d lines, %.0f round trips, median of %d rounds\n", lines, trips,
                rounds);
    std::printf("  velta-flash (whole process):  %8.0f round trips/s\n", toolRate);
    std::printf("  bare blocking client:         %8.0f round trips/s\n", bareRate);
    std::printf("ratio flasher/bare: %.2f (goal >= 0.9)\n", toolRate / bareRate);

    // The simulator does not erase, so the first record waits no longer than any other; the
    // longest wait is cut so that a lost boot-information request costs what a record's does.
    const QStringList lossyLine{"--timeout", "0.05", "--first-timeout", "0.05", "--retries", "10"};
    Bench::Simulator two(devsim, {"--quiet", "--loss", "2", "--seed", "1"}, QStringLiteral("127.0.0.1"),
                         simulatorCore);
    Bench::Simulator fourteen(devsim, {"--quiet", "--loss", "14", "--seed", "1"}, QStringLiteral("127.0.0.1"),
                              simulatorCore);
    QList<double> clean, ratio2, ratio14;
    for (int i = 0; i < rounds; ++i) {
        const double c = runFlash(flash, hexPath, sim.port(), lossyLine),
                     l2 = runFlash(flash, hexPath, two.port(), lossyLine),
                     l14 = runFlash(flash, hexPath, fourteen.port(), lossyLine);
        if (c <= 0 || l2 <= 0 || l14 <= 0)
            return 1;
        clean << c;
        ratio2 << l2 / c;
        ratio14 << l14 / c;
    }
    const auto spread = [](const QList<double>& v) {
        return QStringLiteral("%1 (%2-%3)")
            .arg(Bench::median(v), 0, 'f', 2)
            .arg(*std::min_element(v.begin(), v.end()), 0, 'f', 2)
            .arg(*std::max_element(v.begin(), v.end()), 0, 'f', 2)
            .toStdString();
    };
    std::printf("lossy line: the same file, clean line %.2f s (median), median (spread) of %d rounds\n",
                Bench::median(clean), rounds);
    std::printf("ratio 2%% lost/clean: %s (goal <= 1.5)\n", spread(ratio2).c_str());
    std::printf("ratio 14%% lost/clean: %s (goal <= 3)\n", spread(ratio14).c_str());
    return 0;
}
