#include "sim_server.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {
// Written by the signal handler, read by the event loop: the handler itself does nothing else.
int g_signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int) {
    const int savedErrno = errno; // the interrupted code may be about to read it
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[0], &byte, 1);
    errno = savedErrno;
}

bool installSignalHandlers() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

void printError(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velta-devsim"));

    const auto parsed = parseSimArguments(app.arguments().mid(1));
    if (std::holds_alternative<HelpRequest>(parsed)) {
        std::fputs(qPrintable(simUsageText()), stdout);
        std::fflush(stdout);
        return SimExit::Ok;
    }
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        printError(QStringLiteral("velta-devsim: %1\nTry 'velta-devsim --help' for the options.")
                       .arg(error->message));
        return SimExit::BadArguments;
    }
    const auto& options = std::get<SimOptions>(parsed);

    if (!installSignalHandlers()) {
        printError(QStringLiteral("velta-devsim: cannot install signal handlers"));
        return SimExit::Failure;
    }
    QSocketNotifier signalNotifier(g_signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalPipe[1], &byte, 1);
        QCoreApplication::quit();
    });

    SimServer server(options);
    if (const auto failure = server.start()) {
        printError(*failure);
        return SimExit::CannotBind;
    }
    const QString listening =
        QStringLiteral("velta-devsim listening on %1\n").arg(endpointText(server.address(), server.port()));
    std::fputs(qPrintable(listening), stdout);
    std::fflush(stdout);

    return app.exec();
}
