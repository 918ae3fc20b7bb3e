#pragma once

// Pieces the benchmarks share: the simulator on a core of its own, the bare reference client,
// the datagrams of a whole transfer and a median.

#include "simulator_process.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Bench {

// The device, pinned to a core of its own as another machine would be.
using Simulator = SimulatorProcess;

// Pins the calling process to core 0 and returns the core for the simulator: the tool and the
// reference run on core 0, the simulator on core 1, every round alike. Left to the scheduler,
// where the two land changes a round trip by a factor of up to five.
inline int pinForMeasurement() {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    const bool pinned = QThread::idealThreadCount() >= 2 && sched_setaffinity(0, sizeof one, &one) == 0;
    std::printf("placement: %s\n",
                pinned ? "tool and bare client on core 0, simulator on core 1" : "left to the scheduler");
    return pinned ? 1 : -1;
}

// What the window and the flasher send for `hex` with the default gateway form (address 16):
// the download pass, then the verify pass.
inline QList<QByteArray> transferDatagrams(const QByteArray& hex) {
    QList<QByteArray> datagrams;
    const QList<QByteArray> records = hex.trimmed().split('\n');
    for (bool verify : {false, true})
        for (QByteArray r : records) {
            r = r.trimmed();
            if (verify)
                r.replace(':', '#');
            datagrams << "MDB 16,OOT" + r + "\r\n";
        }
    return datagrams;
}

// The reference: blocking sendto/recv, one datagram after the other, nothing else. On a lossy
// line it sends a datagram again after `timeoutMs` unanswered, up to `retries` times; the wait
// must be far longer than any pause of the device (a flash row's write), or it would resend what
// the device is still working on.
inline double runBare(quint16 port, const QList<QByteArray>& datagrams, int timeoutMs = 5000,
                      int retries = 0) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    timeval tv{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[65536];
    QElapsedTimer t;
    t.start();
    for (const QByteArray& d : datagrams) {
        int tries = 0;
        while (::send(fd, d.constData(), size_t(d.size()), 0) < 0 || ::recv(fd, buf, sizeof buf, 0) < 0) {
            if (++tries > retries) {
                ::close(fd);
                return -1;
            }
        }
    }
    const double s = t.nsecsElapsed() / 1e9;
    ::close(fd);
    return s;
}

inline double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace Bench
