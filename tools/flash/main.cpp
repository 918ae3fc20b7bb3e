// velta-flash: loads a HEX file into one or more bootloader devices over UDP.
#include "flash_options.h"
#include "flash_run.h"

#include "core/io/signals.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velta-flash"));
    // A reader that quits (| head) must not kill the run while devices are half loaded.
    ignoreBrokenPipes();
    // A file size limit (ulimit -f) fails the write that crosses it, which is reported; the
    // signal would kill the run with devices half loaded.
    (void)::signal(SIGXFSZ, SIG_IGN);
    // A second Ctrl-C ends it at once; the first stops sending and writes what it has.
    TerminationSignals termination(true);
    // Resends are due a fraction of a millisecond after a loss on a fast line; the system's
    // default slack of 50 us on every timed wait would add to each.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    auto parsed = parseFlashArguments(app.arguments().mid(1));
    const Result<void> apart = parsed && std::holds_alternative<FlashOptions>(*parsed)
                                   ? checkFilesApart(std::get<FlashOptions>(*parsed))
                                   : success();
    if (!parsed || !apart) {
        std::fprintf(stderr, "velta-flash: %s\nTry 'velta-flash --help' for the options.\n",
                     (!parsed ? parsed.failure() : apart.failure()).detail.toLocal8Bit().constData());
        return ExitCode::BadArguments;
    }
    if (auto* options = std::get_if<FlashOptions>(&*parsed))
        return FlashRun(std::move(*options), termination).exec();
    if (const auto* serials = std::get_if<FlashSerials>(&*parsed))
        return listSerials(*serials);
    if (const auto* find = std::get_if<FlashFind>(&*parsed))
        return findInHistory(*find);
    const QByteArray text = std::holds_alternative<FlashHelp>(*parsed) ? flashUsageText().toLocal8Bit()
                                                                       : "velta-flash " VELTA_VERSION "\n";
    return std::fputs(text.constData(), stdout) < 0 || std::fflush(stdout) != 0 ? ExitCode::LogError
                                                                                : ExitCode::Ok;
}
