// The limits that keep bad input from costing time or memory, measured:
//  - velta-flash refusing a 200 MB file of records (goal: within 1 s, under 50 MB peak);
//  - the window starting with an address book of 1,000,000 entries (goal: shown within 5 s);
//  - a 0.5 s reply timeout of velta-flash while 65,507-byte datagrams flood its port from the
//    device's address (goal: fires within 20% of its setting);
//  - velta-devsim's peak memory after 400,000 scattered one-byte records (goal: under 64 MB;
//    without a bound on the image's runs it grew by about 110 bytes a record);
//  - velta-devsim's peak memory under a flood of 300,000 requests whose replies are a minute late
//    (goal: under 32 MB; without the bound on waiting replies it grew by about 600 bytes a request).
//
//   limits_bench VELTA_FLASH STARTUP_PROBE DEVSIM [ROUNDS=3]
#include "bench_common.h"
#include "core/protocol/intel_hex.h"
#include "reply_queue.h"
#include "synthetic_hex.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <atomic>
#include <csignal>
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

// A process's peak resident memory so far, in kB.
long peakKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Sends `count` one-byte data records two bytes apart (with the address records they need) to a
// device at `port`, at most 64 unanswered at a time; the number of replies.
int sendScattered(quint16 port, int count) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[512];
    int sent = 0, replies = 0;
    for (quint32 at = 0; sent < count; at += 2) {
        QByteArray record;
        if ((at & 0xFFFF) == 0) {
            const char upper[2] = {char(at >> 24), char(at >> 16)};
            record = "MDB 16,OOT" + formatHexRecord(4, 0, QByteArrayView(upper, 2));
        } else {
            record = "MDB 16,OOT" + formatHexRecord(0, quint16(at), "x");
        }
        if (::send(fd, record.constData(), size_t(record.size()), 0) < 0)
            break;
        ++sent;
        while (sent - replies > 64 || (sent == count && replies < sent)) {
            if (::recv(fd, buf, sizeof buf, 0) < 0)
                return replies;
            ++replies;
        }
    }
    ::close(fd);
    return replies;
}

// Sends `count` requests to `port` as fast as the device takes them in, without waiting for any
// answer.
void flood(quint16 port, int count) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray request = "MDB 16,VER\r\n";
    for (int i = 0; i < count; ++i) {
        (void)::sendto(fd, request.constData(), size_t(request.size()), 0, reinterpret_cast<sockaddr*>(&peer),
                       sizeof peer);
        if (i % 256 == 255)
            ::usleep(500); // mostly within what the socket's buffer holds
    }
    ::close(fd);
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList a = QCoreApplication::arguments();
    if (a.size() < 4) {
        std::fprintf(stderr, "usage: limits_bench VELTA_FLASH STARTUP_PROBE DEVSIM [ROUNDS]\n");
        return 2;
    }
    const QString flash = QFileInfo(a[1]).absoluteFilePath();
    const QString probe = QFileInfo(a[2]).absoluteFilePath();
    const QString devsim = QFileInfo(a[3]).absoluteFilePath();
    const int rounds = a.size() > 4 ? a[4].toInt() : 3;
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
    const QStringList args{"--timeout",    "0.5",
                           "--retries",    "0",
                           "--local-port", QString::number(flasherPort),
                           small,          "127.0.0.1:" + QString::number(device.localPort())};
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
                ::sendto(fd, big.constData(), size_t(big.size()), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
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

    // Records scattered one byte apart, each a run of its own: the device bounds the runs.
    QList<double> startKb, scatteredKb;
    constexpr int Scattered = 400000;
    for (int i = 0; i < rounds; ++i) {
        Bench::Simulator sim(devsim, {"--quiet"});
        if (!sim.port())
            return 1;
        startKb << peakKb(sim.process().processId());
        if (sendScattered(sim.port(), Scattered) != Scattered) {
            std::fprintf(stderr, "velta-devsim did not answer every record\n");
            return 1;
        }
        scatteredKb << peakKb(sim.process().processId());
    }
    std::printf("velta-devsim after %d scattered one-byte records: peak %.1f MB (%.1f MB at start; goal: "
                "under 64 MB)\n",
                Scattered, Bench::median(scatteredKb) / 1024, Bench::median(startKb) / 1024);

    // Replies a minute late to a client that never waits for them: the device keeps so many.
    QList<double> floodStartKb, floodedKb, dropped;
    constexpr int Flood = 300000;
    for (int i = 0; i < rounds; ++i) {
        Bench::Simulator sim(devsim, {"--delay-ms", "60000"});
        if (!sim.port())
            return 1;
        floodStartKb << peakKb(sim.process().processId());
        flood(sim.port(), Flood);
        QThread::msleep(300); // what the socket still holds is read
        floodedKb << peakKb(sim.process().processId());
        ::kill(pid_t(sim.process().processId()), SIGTERM); // it says on exit how many it dropped
        sim.process().waitForFinished(5000);
        const auto said = QRegularExpression("(\\d+) requests or replies dropped")
                              .match(QString::fromLocal8Bit(sim.process().readAllStandardError()));
        dropped << said.captured(1).toDouble();
    }
    std::printf("velta-devsim under a flood of %d requests, replies a minute late: peak %.1f MB (%.1f MB at "
                "start), %.0f dropped beyond the %lld replies it keeps (goal: under 32 MB)\n",
                Flood, Bench::median(floodedKb) / 1024, Bench::median(floodStartKb) / 1024,
                Bench::median(dropped), static_cast<long long>(ReplyQueue::MaxWaiting));
    return 0;
}
