// The limits that keep bad input from costing time or memory, measured:
//  - velta-flash refusing a 200 MB file of records (goal: within 1 s, under 50 MB peak);
//  - the window starting with an address book of 1,000,000 entries (goal: shown within 5 s);
//  - a 0.5 s reply timeout of velta-flash while 65,507-byte datagrams flood its port from the
//    device's address (goal: fires within 20% of its setting).
//
//   limits_bench VELTA_FLASH STARTUP_PROBE [ROUNDS=3]
#include "bench_common.h"
#include "synthetic_hex.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {
struct Run {
    double seconds = -1;
    long peakKb = -1;
    int exitCode = -1;
};

// Runs a program to its end in `dir`, with its wall time and peak resident memory.
Run run(const QString& program, const QStringList& args, const QString& dir = {}) {
    QList<QByteArray> store{QFile::encodeName(program)};
    for (const QString& a : args)
        store << a.toLocal8Bit();
    std::vector<char*> argv;
    for (QByteArray& s : store)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const QByteArray cwd = QFile::encodeName(dir);
    QElapsedTimer t;
    t.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!cwd.isEmpty() && ::chdir(cwd.constData()) != 0)
            ::_exit(127);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return {};
    return {t.nsecsElapsed() / 1e9, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList a = QCoreApplication::arguments();
    if (a.size() < 3) {
        std::fprintf(stderr, "usage: limits_bench VELTA_FLASH STARTUP_PROBE [ROUNDS]\n");
        return 2;
    }
    const QString flash = QFileInfo(a[1]).absoluteFilePath();
    const QString probe = QFileInfo(a[2]).absoluteFilePath();
    const int rounds = a.size() > 3 ? a[3].toInt() : 3;
    QTemporaryDir dir;

    // 200 MB of well-formed records, far past the 9000 lines a load may hold.
    const QString huge = dir.filePath("huge.hex");
    {
        QFile f(huge);
        const QByteArray block = syntheticHexFile(20000);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        while (f.size() < 200LL * 1000 * 1000)
            f.write(block);
    }
    QList<double> refuseS, refuseKb;
    for (int i = 0; i < rounds; ++i) {
        const Run r = run(flash, {"--local-port", "0", huge, "127.0.0.1:9"});
        if (r.exitCode != 3) {
            std::fprintf(stderr, "velta-flash did not refuse the huge file (exit %d)\n", r.exitCode);
            return 1;
        }
        refuseS << r.seconds;
        refuseKb << r.peakKb;
    }
    std::printf("velta-flash refusing a %.0f MB file: %.3f s, peak %.1f MB (goal: under 1 s and 50 MB)\n",
                QFileInfo(huge).size() / 1e6, Bench::median(refuseS), Bench::median(refuseKb) / 1024);
    QFile::remove(huge);

    // An address book of a million entries, in reverse order so the sort has work to do.
    {
        QFile f(dir.filePath("VELTA_BOOTLOADER.ini"));
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        QByteArray text;
        for (int i = 999999; i >= 0; --i)
            text += "10." + QByteArray::number(i / 65536) + "." + QByteArray::number(i / 256 % 256) + "." +
                    QByteArray::number(i % 256) + "\r\n";
        f.write(text);
    }
    QList<double> bookS;
    for (int i = 0; i < rounds; ++i) {
        const Run r = run(probe, {}, dir.path());
        if (r.exitCode != 0)
            return 1;
        bookS << r.seconds;
    }
    std::printf("window shown with 1,000,000 address book entries: %.2f s (goal: under 5 s)\n",
                Bench::median(bookS));

    // A silent device, and its address flooding the flasher's port with the largest datagrams.
    QUdpSocket device, flooder, portProbe;
    if (!device.bind(QHostAddress::LocalHost, 0) || !portProbe.bind(QHostAddress::LocalHost, 0))
        return 1;
    const quint16 flasherPort = portProbe.localPort();
    portProbe.close();
    const QString small = dir.filePath("small.hex");
    {
        QFile f(small);
        if (!f.open(QIODevice::WriteOnly) || f.write(syntheticHexFile(4)) < 0)
            return 1;
    }
    const QStringList args{"--timeout", "0.5", "--retries", "0", "--local-port", QString::number(flasherPort),
                           small, "127.0.0.1:" + QString::number(device.localPort())};
    QList<double> quiet, flooded;
    for (int i = 0; i < rounds; ++i) {
        quiet << run(flash, args).seconds;
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(flasherPort);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const QByteArray big(65507, 'x');
            QElapsedTimer bound;
            bound.start();
            while (!stop && bound.elapsed() < 10000)
                ::sendto(fd, big.constData(), size_t(big.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            ::close(fd);
        });
        const Run r = run(flash, args);
        stop = true;
        flood.join();
        if (r.exitCode != 4) {
            std::fprintf(stderr, "velta-flash under the flood ended with %d, not a timeout\n", r.exitCode);
            return 1;
        }
        flooded << r.seconds;
    }
    const double q = Bench::median(quiet), f = Bench::median(flooded);
    std::printf("a 0.5 s reply timeout, whole process: %.3f s quiet, %.3f s under a flood of 65,507-byte "
                "datagrams\n",
                q, f);
    std::printf("ratio timeout under flood/setting: %.2f (goal <= 1.2)\n", (f - (q - 0.5)) / 0.5);
    return 0;
}
