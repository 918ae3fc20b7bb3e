// The cost of the store per device: velta-flash loads a small file into 256 devices (8 gateways of
// 32, the plain simulator answering at once, so that nothing hides the store's share) without a
// store, with a serial pool and a history in an SQLite file, and with both on a PostgreSQL server
// of the bench's own (Unix socket, as a station's local server; fsync on, as a real one). Side by
// side in every round; prints each run's time, the store's milliseconds per device, and last the
// ratios with their median and spread (min-max) over the rounds.
//
//   store_bench VELTA_FLASH DEVSIM [ROUNDS=3]
#include "bench_common.h"
#include "pg_server.h"
#include "synthetic_hex.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {
constexpr int Gateways = 8, PerGateway = 32, Devices = Gateways * PerGateway;

// The whole process, as a line's script sees it; -1 when it failed.
double runFlash(const QString& flash, const QStringList& args, const QString& state) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_STATE_HOME", state);
    p.setProcessEnvironment(env);
    p.setProgram(flash);
    p.setArguments(args);
    QElapsedTimer t;
    t.start();
    p.start();
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "velta-flash failed (%d): %s\n", p.exitCode(),
                     p.readAllStandardError().constData());
        p.kill();
        p.waitForFinished(3000);
        return -1;
    }
    return t.nsecsElapsed() / 1e9;
}

std::string spread(QList<double> v) {
    if (v.isEmpty())
        return "n/a";
    return QStringLiteral("%1 (%2-%3)")
        .arg(Bench::median(v), 0, 'f', 2)
        .arg(*std::min_element(v.begin(), v.end()), 0, 'f', 2)
        .arg(*std::max_element(v.begin(), v.end()), 0, 'f', 2)
        .toStdString();
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: store_bench VELTA_FLASH DEVSIM [ROUNDS]\n");
        return 2;
    }
    const QString flash = QFileInfo(args[1]).absoluteFilePath(),
                  devsim = QFileInfo(args[2]).absoluteFilePath();
    const int rounds = args.size() > 3 ? std::max(1, args[3].toInt()) : 3;
    QTemporaryDir dir;
    PgServer pg(true);
    if (!dir.isValid() || !pg.error().isEmpty()) {
        std::fprintf(stderr, "store_bench: %s\n", qPrintable(pg.error()));
        return 1;
    }
    QStringList addresses;
    for (int a = 1; a <= PerGateway; ++a)
        addresses << QString::number(a);
    std::vector<std::unique_ptr<Bench::Simulator>> gateways;
    QByteArray hosts;
    for (int g = 0; g < Gateways; ++g) {
        gateways.push_back(
            std::make_unique<Bench::Simulator>(devsim, QStringList{"--address", addresses.join(',')}));
        for (int a = 1; a <= PerGateway; ++a)
            hosts += (gateways.back()->endpoint() + '/' + QString::number(a) + '\n').toUtf8();
    }
    QFile hostsFile(dir.filePath("line.hosts")), hex(dir.filePath("fw.hex"));
    if (!hostsFile.open(QIODevice::WriteOnly) || hostsFile.write(hosts) != hosts.size() ||
        !hex.open(QIODevice::WriteOnly) || hex.write(syntheticHexFile(40)) < 0)
        return 1;
    hostsFile.close();
    hex.close();
    const QStringList line{"--quiet", "--hosts", hostsFile.fileName(), hex.fileName()};
    const auto stores = [&](const QString& db) {
        return QStringList{"--serial-db",   db,  "--serial-start",  "1000", "--serial-at", "0x7FF0",
                           "--serial-size", "4", "--serial-format", "be",   "--history",   db};
    };
    std::printf("store cost: %d devices (%d gateways of %d), a 40-line file, %d rounds\n", Devices, Gateways,
                PerGateway, rounds);
    std::map<std::string, QList<double>> times;
    for (int r = 0; r < rounds; ++r) {
        // A fresh pool and history each round: every round pays for making the tables alike.
        const QString file = dir.filePath(QStringLiteral("store%1.db").arg(r));
        const QString url = pg.newDatabase();
        times["none"] << runFlash(flash, line, dir.filePath("state"));
        times["sqlite"] << runFlash(flash, stores(file) + line, dir.filePath("state"));
        times["postgresql"] << runFlash(flash, stores(url) + line, dir.filePath("state"));
    }
    const auto median = [&](const char* key) { return Bench::median(times[key]); };
    for (const char* key : {"none", "sqlite", "postgresql"})
        std::printf("  %-12s %6.2f s median (%s), %5.2f ms a device\n", key, median(key),
                    spread(times[key]).c_str(), 1000 * median(key) / Devices);
    for (const char* key : {"sqlite", "postgresql"}) {
        QList<double> ratio, perDevice;
        for (int r = 0; r < rounds; ++r) {
            if (times[key][r] > 0 && times["none"][r] > 0) {
                ratio << times[key][r] / times["none"][r];
                perDevice << 1000 * (times[key][r] - times["none"][r]) / Devices;
            }
        }
        std::printf("ratio with a pool and a history in %s / without: %s; the store's ms a device: %s\n", key,
                    spread(ratio).c_str(), spread(perDevice).c_str());
    }
    return 0;
}
