#include "application.h"

#include "icons.h"
#include "up_config.h"

#include <QApplication>

void setUpApplication(QApplication& app) {
    app.setApplicationName(QStringLiteral("velta-bootloader"));
    app.setApplicationDisplayName(UP_config::Caption);
    // Lets Wayland shells match the window to its menu entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("velta-bootloader"));
    app.setWindowIcon(Icons::applicationIcon());
    // One look on every desktop: the layout is placed to the pixel.
    app.setStyle(QStringLiteral("Fusion"));
}
