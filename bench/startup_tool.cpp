// The tool started as velta-bootloader starts; once shown it loads a HEX file (path in argv[1])
// the way "Open File and  Download" does, so the peak memory includes a full line store.
#include "startup_probe.h"

#include "app/application.h"
#include "app/up_config.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    setUpApplication(app);
    const QString hexPath = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    PlatformServices services = PlatformServices::real();
    services.openFile = [&](QWidget*, const QString&) { return std::optional<QString>(hexPath); };
    // A probe must never wait for a click.
    services.messageBox = [](QWidget*, const QString& text, const QString& title, MessageIcon) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    };
    UP_config window(services);
    StartupProbe::watch(&window, [&] {
        window.openAndDownload();
        if (window.conversation().lineCount() == 0)
            std::fprintf(stderr, "the HEX file did not load\n");
    });
    window.show();
    return app.exec();
}
