#include "icons.h"
#include "up_config.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velta-bootloader"));
    QApplication::setApplicationDisplayName(UP_config::Caption);
    QApplication::setWindowIcon(Icons::applicationIcon());
    // One look on every desktop: the layout is pixel-placed.
    QApplication::setStyle(QStringLiteral("Fusion"));
    UP_config window;
    window.show();
    return app.exec();
}
