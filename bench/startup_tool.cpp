// The tool started as velta-bootloader starts; once shown it loads a HEX file (path in argv[1])
// the way "Open File and  Download" does, so the peak memory includes a full line store.
#include "startup_probe.h"

#include "icons.h"
#include "up_config.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velta-bootloader"));
    QApplication::setApplicationDisplayName(UP_config::Caption);
    QApplication::setWindowIcon(Icons::applicationIcon());
    QApplication::setStyle(QStringLiteral("Fusion"));
    const QString hexPath = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    PlatformServices services = PlatformServices::real();
    services.openFile = [&](QWidget*, const QString&) { return std::optional<QString>(hexPath); };
    UP_config window(services);
    StartupProbe::watch(&window, [&] {
        window.Command3_Click();
        if (window.Transfer.LineCount == 0)
            std::fprintf(stderr, "the HEX file did not load\n");
    });
    window.show();
    return app.exec();
}
