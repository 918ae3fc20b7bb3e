#include "application.h"
#include "up_config.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    // Answered before any display is needed, so scripts can ask on a machine without one.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("velta-bootloader " VELTA_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    setUpApplication(app);
    UP_config window;
    window.show();
    return app.exec();
}
