#include "application.h"
#include "up_config.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    setUpApplication(app);
    UP_config window;
    window.show();
    return app.exec();
}
