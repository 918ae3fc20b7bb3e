// velta-devsim: the bootloader device on a UDP socket, for demos, tests and benchmarks.
#include "sim_server.h"

#include "core/io/signals.h"

#include <QCoreApplication>

#include <cstdio>
#include <sys/prctl.h>

namespace {
void printError(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velta-devsim"));
    ignoreBrokenPipes();

    const auto parsed = parseSimArguments(app.arguments().mid(1));
    if (!parsed) {
        printError(QStringLiteral("velta-devsim: %1\nTry 'velta-devsim --help' for the options.")
                       .arg(parsed.failure().detail));
        return SimExit::BadArguments;
    }
    if (std::holds_alternative<HelpRequest>(*parsed) || std::holds_alternative<VersionRequest>(*parsed)) {
        std::fputs(std::holds_alternative<HelpRequest>(*parsed) ? qPrintable(simUsageText())
                                                                : "velta-devsim " VELTA_VERSION "\n",
                   stdout);
        std::fflush(stdout);
        return SimExit::Ok;
    }

    TerminationSignals termination(false);
    if (!termination.installed()) {
        printError(QStringLiteral("velta-devsim: cannot install signal handlers"));
        return SimExit::Failure;
    }
    QObject::connect(&termination, &TerminationSignals::received, &app, &QCoreApplication::quit);

    // A record's time is a fraction of a millisecond; the system's default slack of 50 us on
    // every timed wait would add to each.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const SimOptions& options = std::get<SimOptions>(*parsed);
    SimServer server(options);
    if (const auto started = server.start(); !started) {
        printError(started.failure().detail);
        return started.failure().cause == Failure::Cause::Network ? SimExit::CannotBind : SimExit::Failure;
    }
    std::fprintf(stdout, "velta-devsim listening on %s\n",
                 qPrintable(endpointText(server.address(), server.port())));
    std::fflush(stdout);
    const int code = app.exec();
    if (server.waiting().dropped() > 0 && options.verbosity != SimOptions::Verbosity::Quiet)
        printError(QStringLiteral("velta-devsim: %1 requests or replies dropped: %2 replies were waiting "
                                  "to leave, the most it keeps")
                       .arg(server.waiting().dropped())
                       .arg(ReplyQueue::MaxWaiting));
    return code;
}
