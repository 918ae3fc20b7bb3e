// Start-up time (process start to first shown window) and peak memory of the tool against a
// reference window of the same kind (font, label, line edit, editable combo box, button), measured
// side by side, alternating, in one run.
//
//   startup_bench TOOL_PROBE MINIMAL_PROBE [ROUNDS=15]
#include "core/protocol/intel_hex.h"
#include "synthetic_hex.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {
long long monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

struct Sample {
    double ms = -1;
    long rssKb = -1;
};

Sample probe(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProgram(program);
    p.setArguments(args);
    const long long start = monotonicNs();
    p.start();
    Sample s;
    if (!p.waitForFinished(30000))
        return s;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        if (line.startsWith("shown "))
            s.ms = (line.mid(6).toLongLong() - start) / 1e6;
        else if (line.startsWith("rss "))
            s.rssKb = line.mid(4).toLong();
    }
    return s;
}

template <typename T> T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList a = QCoreApplication::arguments();
    if (a.size() < 3) {
        std::fprintf(stderr, "usage: startup_bench TOOL_PROBE MINIMAL_PROBE [ROUNDS]\n");
        return 2;
    }
    const int rounds = a.size() > 3 ? a[3].toInt() : 15;
    QTemporaryDir dir;
    const QString hex = dir.filePath(QStringLiteral("max.hex"));
    QFile f(hex);
    if (!f.open(QIODevice::WriteOnly) || f.write(syntheticHexFile(9000)) < 0)
        return 1;
    f.close();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::vector<double> toolMs, minMs;
    std::vector<long> toolKb, minKb;
    // One warm-up each, so both start from a warm page cache.
    probe(a[1], {hex});
    probe(a[2], {});
    for (int i = 0; i < rounds; ++i) {
        const Sample t = probe(a[1], {hex});
        const Sample m = probe(a[2], {});
        if (t.ms < 0 || m.ms < 0 || t.rssKb < 0 || m.rssKb < 0) {
            std::fprintf(stderr, "a probe failed\n");
            return 1;
        }
        toolMs.push_back(t.ms);
        minMs.push_back(m.ms);
        toolKb.push_back(t.rssKb);
        minKb.push_back(m.rssKb);
    }
    const double tMs = median(toolMs), mMs = median(minMs);
    const long tKb = median(toolKb), mKb = median(minKb);
    std::printf("start-up to first shown window (median of %d, platform %s):\n", rounds,
                qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("  tool %.1f ms, reference window %.1f ms\n", tMs, mMs);
    std::printf("peak RSS: tool after loading a 9000-line HEX file %ld kB, reference window %ld kB\n", tKb,
                mKb);
    std::printf("ratio start-up tool/reference: %.2f (goal <= 1.2)\n", tMs / mMs);
    std::printf("ratio memory tool/reference: %.2f (goal <= 1.15)\n", double(tKb) / double(mKb));
    return 0;
}
