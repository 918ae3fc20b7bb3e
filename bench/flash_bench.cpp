// Command-line throughput: velta-flash downloads and verifies a file on one device (the
// simulator on loopback), side by side in every round with the bare blocking client sending the
// same lines to the same simulator:
//  - against the plain simulator, which answers at once: quiet, and with a busy loop on the
//    simulator's core (as another program on the device's machine);
//  - against a device that takes its time (200 us a record, 3 ms a flash row of four records):
//    clean, with the other core busy, and on a line that loses 2% of the datagrams each way;
//  - the plain simulator on lines losing 2% and 14%, against a clean line.
// Prints the rates, the records the flasher resent on the clean lines (from its --report), and
// last the ratios with their median and spread (min-max) over the rounds, each with its goal;
// the figures are printed whether the goals are met or not.
//
//   flash_bench VELTA_FLASH DEVSIM [LINES=9000] [ROUNDS=3]
#include "bench_common.h"
#include "core/protocol/intel_hex.h"
#include "synthetic_hex.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>
#include <map>
#include <string>
#include <sys/wait.h>

namespace {
const QStringList DeviceTime{"--record-us", "200", "--row-ms", "3", "--row-every", "4"};
// The simulator does not erase, so the first record waits no longer than any other; the
// longest wait is cut so that a lost boot-information request costs what a record's does.
const QStringList LossyLine{"--timeout", "0.05", "--first-timeout", "0.05", "--retries", "10"};
// The bare client's wait on a lossy line: the same, far above a row write and its spread.
constexpr int BareLossyTimeoutMs = 50;
// Runs of the flasher and of the bare client against the plain simulator in each round.
constexpr int PlainPairs = 3;

struct FlashRun {
    double seconds = -1;
    int resends = 0, sent = 0;
};

// The flasher's own clock would leave out its start-up; time the whole process instead, as a
// script calling it sees it. Its report says what it resent.
FlashRun runFlash(const QString& flash, const QString& hexPath, quint16 port, const QString& report,
                  const QStringList& options = {}) {
    QFile::remove(report);
    QProcess p;
    p.setProgram(flash);
    p.setArguments(options + QStringList{"--quiet", "--report", report, "--port", QString::number(port),
                                         "--local-port", "0", hexPath, "127.0.0.1"});
    QElapsedTimer t;
    t.start();
    p.start();
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "velta-flash failed: %s\n", p.readAllStandardError().constData());
        return {};
    }
    FlashRun run{t.nsecsElapsed() / 1e9};
    QFile lines(report);
    if (lines.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : lines.readAll().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value("type").toString() != QLatin1String("device"))
                continue;
            run.resends += o.value("resends").toInt();
            run.sent += o.value("lines_answered").toInt() + o.value("resends").toInt();
        }
    }
    return run;
}

// A process that spins on `cpu` until it is stopped, as another program on the device's core.
class BusyCore {
public:
    explicit BusyCore(int cpu) {
        m_pid = cpu < 0 ? -1 : ::fork();
        if (m_pid != 0)
            return;
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        (void)sched_setaffinity(0, sizeof one, &one);
        for (;;)
            asm volatile(""); // a loop the compiler keeps
    }
    ~BusyCore() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    BusyCore(const BusyCore&) = delete;
    BusyCore& operator=(const BusyCore&) = delete;

private:
    pid_t m_pid = -1;
};

// Times of one kind of run, one a round (-1: the run failed).
using Times = std::map<std::string, QList<double>>;

// a[i] / b[i] for the rounds in which both ran.
QList<double> ratios(const QList<double>& a, const QList<double>& b) {
    QList<double> out;
    for (qsizetype i = 0; i < qMin(a.size(), b.size()); ++i) {
        if (a[i] > 0 && b[i] > 0)
            out << a[i] / b[i];
    }
    return out;
}

// The rounds' times of the runs that did not fail.
QList<double> ran(const QList<double>& seconds) {
    QList<double> out;
    for (const double s : seconds) {
        if (s > 0)
            out << s;
    }
    return out;
}

double medianRan(const QList<double>& seconds) {
    const QList<double> r = ran(seconds);
    return r.isEmpty() ? -1 : Bench::median(r);
}

std::string spread(const QList<double>& v) {
    if (v.isEmpty())
        return "n/a (no round ran both)";
    return QStringLiteral("%1 (%2-%3)")
        .arg(Bench::median(v), 0, 'f', 2)
        .arg(*std::min_element(v.begin(), v.end()), 0, 'f', 2)
        .arg(*std::max_element(v.begin(), v.end()), 0, 'f', 2)
        .toStdString();
}

void printRate(const char* what, const QList<double>& seconds, double trips) {
    const qsizetype ok = ran(seconds).size();
    if (ok == 0)
        std::printf("  %-46s failed in every round\n", what);
    else
        std::printf("  %-46s %8.0f round trips/s%s\n", what, trips / medianRan(seconds),
                    ok < seconds.size()
                        ? qPrintable(QStringLiteral(" (%1 rounds failed)").arg(seconds.size() - ok))
                        : "");
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
    const QString report = dir.filePath(QStringLiteral("report.jsonl"));
    const QByteArray hex = syntheticHexFile(lines);
    QFile f(hexPath);
    if (!f.open(QIODevice::WriteOnly) || f.write(hex) != hex.size())
        return 1;
    f.close();
    const QList<QByteArray> datagrams = Bench::transferDatagrams(hex);

    const int simulatorCore = Bench::pinForMeasurement();
    const auto simulator = [&](const QStringList& options) {
        return std::make_unique<Bench::Simulator>(devsim, QStringList{"--quiet", "--seed", "1"} + options,
                                                  QStringLiteral("127.0.0.1"), simulatorCore);
    };
    const auto plain = simulator({}), device = simulator(DeviceTime),
               deviceLossy = simulator(DeviceTime + QStringList{"--loss", "2"}),
               two = simulator({"--loss", "2"}), fourteen = simulator({"--loss", "14"});
    for (const auto* sim : {plain.get(), device.get(), deviceLossy.get(), two.get(), fourteen.get()}) {
        if (!sim->port()) {
            std::fprintf(stderr, "velta-devsim did not start\n");
            return 1;
        }
    }

    Times t;
    std::map<std::string, std::pair<int, int>> resent; // clean line -> resends, records sent
    // One run of the flasher: its time, and its resends counted under `name`.
    const auto flashRun = [&](const std::string& name, quint16 port, const QStringList& options = {}) {
        const FlashRun r = runFlash(flash, hexPath, port, report, options);
        resent[name].first += r.resends;
        resent[name].second += r.sent;
        return r.seconds;
    };
    const auto flashed = [&](const std::string& name, quint16 port, const QStringList& options = {}) {
        t[name] << flashRun(name, port, options);
    };
    const auto bare = [&](const std::string& name, quint16 port, int timeoutMs = 5000, int retries = 0) {
        t[name] << Bench::runBare(port, datagrams, timeoutMs, retries);
    };
    // A run against the plain simulator lasts under a second, within reach of any other program's
    // burst: a round takes several, the flasher's and the bare client's in turn, and their mean
    // (-1 once one failed).
    const auto pairs = [&](const std::string& name, quint16 port) {
        const auto add = [](double sum, double seconds) {
            return sum < 0 || seconds < 0 ? -1.0 : sum + seconds;
        };
        double flasher = 0, client = 0;
        for (int i = 0; i < PlainPairs; ++i) {
            flasher = add(flasher, flashRun(name, port));
            client = add(client, Bench::runBare(port, datagrams));
        }
        t[name] << (flasher < 0 ? -1 : flasher / PlainPairs);
        t[name + " bare"] << (client < 0 ? -1 : client / PlainPairs);
    };
    for (int i = 0; i < rounds; ++i) {
        pairs("plain", plain->port());
        flashed("device", device->port());
        bare("device bare", device->port());
        flashed("device, lossy options", device->port(), LossyLine);
        flashed("device 2%", deviceLossy->port(), LossyLine);
        bare("device 2% bare", deviceLossy->port(), BareLossyTimeoutMs, 10);
        flashed("plain, lossy options", plain->port(), LossyLine);
        flashed("plain 2%", two->port(), LossyLine);
        flashed("plain 14%", fourteen->port(), LossyLine);
        {
            const BusyCore busy(simulatorCore); // stopped at the end of the round's busy runs
            pairs("plain busy", plain->port());
            flashed("device busy", device->port());
            bare("device busy bare", device->port());
        }
    }

    // The flasher also sends the boot-information request; that one is not counted.
    const double trips = 2.0 * lines;
    std::printf("command-line flash: %d lines, %.0f round trips, median of %d rounds\n", lines, trips,
                rounds);
    for (const auto& [name, what] : std::initializer_list<std::pair<const char*, const char*>>{
             {"plain", "velta-flash, simulator answering at once:"},
             {"plain bare", "bare blocking client, the same:"},
             {"plain busy", "velta-flash, simulator's core busy:"},
             {"plain busy bare", "bare blocking client, the same:"},
             {"device", "velta-flash, device 200 us/record, 3 ms/row:"},
             {"device bare", "bare blocking client, the same:"},
             {"device busy", "velta-flash, that device's core busy:"},
             {"device busy bare", "bare blocking client, the same:"},
             {"device 2%", "velta-flash, that device, 2% lost:"},
             {"device 2% bare", "bare client resending after 50 ms, the same:"}})
        printRate(what, t[name], trips);
    // 200 us a record, and in the download pass 3 ms for every fourth: 575 us a round trip.
    const double perTrip = (medianRan(t["device bare"]) - medianRan(t["plain bare"])) / trips * 1e6;
    std::printf("  the device's time per round trip, bare client: %.0f us (575 us set)\n", perTrip);
    std::printf("records resent on the clean lines (velta-flash --report):\n");
    for (const char* name : {"plain", "plain busy", "device", "device busy"}) {
        const auto [resends, sent] = resent[name];
        std::printf("  %-12s %d of %d records (%.3f%%)\n", name, resends, sent,
                    sent > 0 ? 100.0 * resends / sent : 0.0);
    }
    int allResends = 0, allSent = 0;
    for (const char* name : {"plain", "plain busy", "device", "device busy"}) {
        allResends += resent[name].first;
        allSent += resent[name].second;
    }

    // Time ratios: a rate ratio flasher/bare is bare time / flasher time.
    std::printf("ratio flasher/bare, device of 200 us/record: %s (goal >= 0.95)\n",
                spread(ratios(t["device bare"], t["device"])).c_str());
    std::printf("ratio 2%% lost/clean, that device: %s (goal <= 1.5)\n",
                spread(ratios(t["device 2%"], t["device, lossy options"])).c_str());
    std::printf("ratio flasher/bare, plain simulator: %s (goal >= 0.9)\n",
                spread(ratios(t["plain bare"], t["plain"])).c_str());
    std::printf("ratio flasher/bare, plain simulator, its core busy: %s (goal >= 0.9)\n",
                spread(ratios(t["plain busy bare"], t["plain busy"])).c_str());
    std::printf("ratio flasher/bare, device of 200 us/record, its core busy: %s\n",
                spread(ratios(t["device busy bare"], t["device busy"])).c_str());
    std::printf("ratio flasher/bare, that device, 2%% lost: %s\n",
                spread(ratios(t["device 2% bare"], t["device 2%"])).c_str());
    std::printf("ratio resent/sent records, clean lines: %.4f%% (goal <= 0.1%%)\n",
                allSent > 0 ? 100.0 * allResends / allSent : 0.0);
    std::printf("lossy line: the same file, plain simulator, clean line %.2f s (median)\n",
                medianRan(t["plain, lossy options"]));
    std::printf("ratio 2%% lost/clean: %s (goal <= 1.5)\n",
                spread(ratios(t["plain 2%"], t["plain, lossy options"])).c_str());
    std::printf("ratio 14%% lost/clean: %s (goal <= 3)\n",
                spread(ratios(t["plain 14%"], t["plain, lossy options"])).c_str());
    return 0;
}
