#include "app/application.h"

#include "app/icons.h"
#include "app/up_config.h"

#include <QApplication>

void setUpApplication(QApplication& app) {
    app.setApplicationName(QStringLiteral("velta-bootloader"));
    // No display name: Qt would append it to every window title, the "Error#" boxes' included.
    // The menu entry names the program.
    // Lets Wayland shells match the window to its menu entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("velta-bootloader"));
    app.setWindowIcon(Icons::applicationIcon());
    // One look on every desktop: the layout is placed to the pixel.
    app.setStyle(QStringLiteral("Fusion"));
}
