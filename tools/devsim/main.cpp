#include "sim_server.h"

#include "platform.h"

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

    const auto parsed = parseSimArguments(app.arguments().mid(1));
    if (std::holds_alternative<HelpRequest>(parsed) || std::holds_alternative<VersionRequest>(parsed)) {
        std::fputs(std::holds_alternative<HelpRequest>(parsed) ? qPrintable(simUsageText())
                                                               : "velta-devsim " VELTA_VERSION "\n",
                   stdout);
        std::fflush(stdout);
        return SimExit::Ok;
    }
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        printError(QStringLiteral("velta-devsim: %1\nTry 'velta-devsim --help' for the options.")
                       .arg(error->message));
        return SimExit::BadArguments;
    }
    const auto& options = std::get<SimOptions>(parsed);

    TerminationSignals termination(false);
    if (!termination.installed()) {
        printError(QStringLiteral("velta-devsim: cannot install signal handlers"));
        return SimExit::Failure;
    }
    QObject::connect(&termination, &TerminationSignals::received, &app, &QCoreApplication::quit);

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
