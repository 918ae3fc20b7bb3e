// The reference: the smallest Qt window that does this kind of job, in the tool's size, style and
// font: a label, a line edit, an editable combo box and a push button.
#include "startup_probe.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    app.setStyle(QStringLiteral("Fusion"));
    QWidget window;
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    window.setFont(font);
    window.setFixedSize(401, 219);
    auto* label = new QLabel(QStringLiteral("Console "), &window);
    label->setGeometry(0, 200, 41, 17);
    (new QLineEdit(&window))->setGeometry(40, 200, 97, 19);
    auto* combo = new QComboBox(&window);
    combo->setEditable(true);
    combo->addItem(QStringLiteral("192.168.1.25"));
    combo->setGeometry(4, 16, 113, 21);
    (new QPushButton(QStringLiteral("Connect"), &window))->setGeometry(148, 16, 65, 17);
    StartupProbe::watch(&window, [] {});
    window.show();
    return app.exec();
}
