// The reference: a minimal Qt Widgets program showing an empty window of the tool's size.
#include "startup_probe.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(401, 219);
    StartupProbe::watch(&window, [] {});
    window.show();
    return app.exec();
}
