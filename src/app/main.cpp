#include "app/application.h"
#include "app/up_config.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {
constexpr char Usage[] =
    "Usage: velta-bootloader [options]\n"
    "Opens the window that loads Intel HEX firmware into an Ethernet PIC microcontroller through\n"
    "its bootloader over UDP, directly or through a Modbus RTU gateway: pick the device's address,\n"
    "press Connect, then Open File and  Download.\n"
    "\n"
    "Options:\n"
    "  -h, --help          show this text and exit\n"
    "      --version       show the version and exit\n"
    "  -platform NAME      Qt's windowing system plugin, e.g. xcb, wayland or offscreen\n"
    "  -display DISPLAY    the X display to open the window on\n"
    "\n"
    "The address book is VELTA_BOOTLOADER.ini in the folder the program is started in.\n";
} // namespace

int main(int argc, char* argv[]) {
    // Answered before any display is needed, so scripts can ask on a machine without one.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("velta-bootloader " VELTA_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    setUpApplication(app);
    UP_config window;
    window.show();
    return app.exec();
}
