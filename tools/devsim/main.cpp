// velta-devsim: the bootloader device on a UDP socket, for demos, tests and benchmarks.
#include "sim_server.h"

#include "core/io/signals.h"

#include <QCoreApplication>

#include <cstdio>

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

    SimServer server(std::get<SimOptions>(*parsed));
    if (const auto started = server.start(); !started) {
        printError(started.failure().detail);
        return SimExit::CannotBind;
    }
    std::fprintf(stdout, "velta-devsim listening on %s\n",
                 qPrintable(endpointText(server.address(), server.port())));
    std::fflush(stdout);
    return app.exec();
}
