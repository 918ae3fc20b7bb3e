// velta-line: the production station's window over a line of bootloader devices.
#include "line_command.h"
#include "line_window.h"

#include "app/icons.h"
#include "core/io/signals.h"

#include <QApplication>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

int main(int argc, char* argv[]) {
    // The command line is read before any display is needed: --help, --version and a bad option
    // answer as velta-flash's do, on a machine without one too.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const auto parsed = parseLineArguments(args);
    if (!parsed) {
        std::fprintf(stderr, "velta-line: %s\nTry 'velta-line --help' for the options.\n",
                     parsed.failure().detail.toLocal8Bit().constData());
        return ExitCode::BadArguments;
    }
    if (!std::holds_alternative<LineStart>(*parsed)) {
        const QByteArray text = std::holds_alternative<LineHelp>(*parsed) ? lineUsageText().toLocal8Bit()
                                                                          : "velta-line " VELTA_VERSION "\n";
        return std::fputs(text.constData(), stdout) < 0 || std::fflush(stdout) != 0 ? ExitCode::LogError
                                                                                    : ExitCode::Ok;
    }
    // As velta-flash: a full disk's signal would kill the run with devices half loaded, and a
    // resend is due a fraction of a millisecond after a loss.
    ignoreBrokenPipes();
    (void)::signal(SIGXFSZ, SIG_IGN);
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("velta-line"));
    // No display name: Qt would append it to every window title.
    QGuiApplication::setDesktopFileName(QStringLiteral("velta-line"));
    app.setWindowIcon(Icons::stationIcon());
    app.setStyle(QStringLiteral("Fusion"));
    // Ctrl-C or SIGTERM stops the run as it stops velta-flash's, then the window closes; a second
    // one ends the program at once.
    TerminationSignals termination(true);

    const QString settings =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/velta/velta-line.conf";
    LineWindow window(StationServices::real(), settings);
    QObject::connect(&termination, &TerminationSignals::received, &window, &LineWindow::terminate);
    const LineStart& start = std::get<LineStart>(*parsed);
    if (start.given)
        window.open(start);
    window.show();
    app.exec();
    return window.exitCode();
}
