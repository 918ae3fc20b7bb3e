#include "core/io/signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Written by the signal handler, read by the event loop.
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signalsSeen = 0; // the number of the first signal, 0 before one came
volatile sig_atomic_t g_secondEndsAtOnce = 0;

extern "C" void onTerminationSignal(int signalNumber) {
    if (g_signalsSeen && g_secondEndsAtOnce)
        ::_exit(128 + signalNumber);
    if (!g_signalsSeen)
        g_signalsSeen = signalNumber;
    const int savedErrno = errno; // the interrupted code may be about to read it
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[0], &byte, 1);
    errno = savedErrno;
}
} // namespace

TerminationSignals::TerminationSignals(bool secondEndsAtOnce, QObject* parent) : QObject(parent) {
    g_secondEndsAtOnce = secondEndsAtOnce;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_installed = ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(g_signalPipe[1], &byte, 1) == 1)
            emit received(int(byte));
    });
}

int TerminationSignals::seen() {
    return g_signalsSeen;
}

void ignoreBrokenPipes() {
    ::signal(SIGPIPE, SIG_IGN);
}
