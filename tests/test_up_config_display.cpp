// The window on screens of other densities, and for screen readers. Run once per scale factor
// (QT_SCALE_FACTOR 1, 1.5 and 2 are set by the test registration).
#include "icons.h"
#include "test_support.h"

#include <QAccessible>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <cmath>

namespace {
qreal scaleFactor() {
    const QByteArray s = qgetenv("QT_SCALE_FACTOR");
    return s.isEmpty() ? 1.0 : s.toDouble();
}

// The classic 16-colour palette of the indicator pictures.
bool isPaletteColour(QRgb c) {
    static const QList<QRgb> palette = {
        qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
        qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
        qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
        qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
    return qAlpha(c) == 0 || (qAlpha(c) == 255 && palette.contains(c | 0xFF000000));
}
} // namespace

class TestUpConfigDisplay : public QObject {
    Q_OBJECT

private slots:
    void windowScalesWhole();
    void indicatorPicturesAreNative();
    void windowIconIsDrawnAtSize();
    void nothingIsCut();
    void accessibleNames();
};

void TestUpConfigDisplay::windowScalesWhole() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const qreal s = scaleFactor();
    QCOMPARE(w.devicePixelRatioF(), s);
    const QImage shot = w.grab().toImage();
    QCOMPARE(shot.size(), QSize(int(std::ceil(401 * s)), int(std::ceil(219 * s))));
    // Every visible control lies inside the fixed client area, at any density.
    for (QWidget* c : w.findChildren<QWidget*>()) {
        if (!c->isVisibleTo(&w) || c->objectName().isEmpty() ||
            c->objectName().startsWith(QLatin1String("qt_")))
            continue;
        const QRect r(c->mapTo(&w, QPoint(0, 0)), c->size());
        QVERIFY2(QRect(0, 0, 401, 219).contains(r), qPrintable(c->objectName()));
    }
}

void TestUpConfigDisplay::indicatorPicturesAreNative() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    const qreal s = scaleFactor();
    for (const char* name : {"YesConnect", "NoConnect"}) {
        const QPixmap pm = control<QLabel>(w, name)->pixmap();
        QVERIFY(!pm.isNull());
        // Drawn for the screen's density, not a 32-pixel picture stretched by the toolkit.
        QCOMPARE(pm.devicePixelRatio(), s);
        QCOMPARE(pm.width(), int(std::ceil(32 * s)));
        QCOMPARE(pm.deviceIndependentSize(), QSizeF(std::ceil(32 * s) / s, std::ceil(32 * s) / s));
        // An upscale would blend neighbouring colours; the art keeps to its 16 colours.
        const QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                QVERIFY2(isPaletteColour(img.pixel(x, y)),
                         qPrintable(QStringLiteral("%1 pixel %2,%3").arg(QLatin1String(name)).arg(x).arg(y)));
    }
    // The two pictures differ where the screen and the light are.
    const QImage alive = Icons::linkAlive(s).toImage();
    const QImage lost = Icons::linkLost(s).toImage();
    QVERIFY(alive != lost);
    QCOMPARE(alive.pixelColor(int(16 * s), int(11 * s)), QColor(0, 255, 255)); // the cyan dot
    QCOMPARE(lost.pixelColor(int(16 * s), int(11 * s)), QColor(0, 0, 0));      // a dark screen
}

void TestUpConfigDisplay::windowIconIsDrawnAtSize() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    const qreal s = scaleFactor();
    const QPixmap pm = w.windowIcon().pixmap(QSize(24, 24), s);
    QCOMPARE(pm.devicePixelRatio(), s);
    QCOMPARE(pm.width(), int(std::ceil(24 * s)));
    // Drawn afresh at each size: the 48-pixel icon is not the 24-pixel one doubled.
    const QImage big = Icons::tools(48, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage doubled = Icons::tools(24, 1.0)
                               .toImage()
                               .scaled(48, 48, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                               .convertToFormat(QImage::Format_ARGB32);
    int differing = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
            differing += big.pixel(x, y) != doubled.pixel(x, y);
    QVERIFY(differing > 48 * 48 / 20);
    QCOMPARE(qAlpha(big.pixel(0, 0)), 0);
}

void TestUpConfigDisplay::nothingIsCut() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    w.show();
    // "Install VELTA" stands on two lines in its tall, narrow button; every other caption on one.
    for (QPushButton* b : w.findChildren<QPushButton*>()) {
        const bool wraps = b->inherits("WrappingButton");
        for (const QString& part : wraps ? b->text().split(QLatin1Char(' ')) : QStringList{b->text()})
            QVERIFY2(b->fontMetrics().horizontalAdvance(part) + 4 <= b->width(), qPrintable(b->objectName()));
        QVERIFY2((wraps ? 2 : 1) * b->fontMetrics().height() <= b->height(), qPrintable(b->objectName()));
    }
    // A trailing blank is no ink: the visible caption must fit.
    for (QLabel* l : w.findChildren<QLabel*>())
        QVERIFY2(l->fontMetrics().horizontalAdvance(l->text().trimmed()) <= l->width(),
                 qPrintable(l->objectName()));
    for (QGroupBox* g : w.findChildren<QGroupBox*>())
        QVERIFY2(g->fontMetrics().horizontalAdvance(g->title()) + 8 <= g->width(),
                 qPrintable(g->objectName()));
    // The gateway frame's caption leaves room for the box on its title line.
    auto* frame2 = control<QGroupBox>(w, "Frame2");
    QVERIFY(frame2->fontMetrics().horizontalAdvance(frame2->title()) + 8 <=
            control<QCheckBox>(w, "Check1")->x());
    for (QLineEdit* e : w.findChildren<QLineEdit*>())
        QVERIFY2(e->fontMetrics().height() <= e->height(), qPrintable(e->objectName()));
}

void TestUpConfigDisplay::accessibleNames() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    w.show();
    const QMap<QString, QString> expected = {
        {"ComboRemoteIP", "Device address"},
        {"Text9", "Gateway device address"},
        {"Text10", "New device address"},
        {"Text3", "Console"},
        {"Text11", "Console command"},
        {"YesConnect", "Link"},
        {"NoConnect", "Link"},
        {"cbBind", "Connect"},
        {"Command7", "Boot Info"},
        {"Add_ip", "Add"},
        {"Del_ip", "Del"},
        {"SaveIP", "Save"},
        {"Command3", "Open File and  Download"},
        {"Command1", "Set Addr"},
        {"Command5", "Install VELTA"},
        {"Command6", "Send"},
        {"Command8", "UART On"},
        {"Command10", "Send Device"},
        {"Command9", "VER"},
        {"Command2", "?"},
        {"Label1", "Addr Device"},
        {"Label2", "Console "},
        {"Frame8", "Link Ethernet"},
        {"Frame2", "Modbus  RTU"},
        {"Frame1", "Status"},
        {"Check1", "Modbus  RTU"},
        {"vbalProgressBar1", "Status"},
    };
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QWidget* c = control<QWidget>(w, qPrintable(it.key()));
        // Qt on Linux reports an editable combo's text as its accessible name; the name it
        // is given stays on the widget for automation that looks it up.
        if (qobject_cast<QComboBox*>(c)) {
            QCOMPARE(c->accessibleName(), it.value());
            continue;
        }
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(c);
        QVERIFY2(iface, qPrintable(it.key()));
        QCOMPARE(iface->text(QAccessible::Name), it.value());
    }
    // The bar tells what it shows, and the indicator which picture is up.
    QCOMPARE(QAccessible::queryAccessibleInterface(w.progressBar())->text(QAccessible::Description),
             QStringLiteral("NO FILE"));
    // Every named control of the window has a name a screen reader can speak.
    for (QWidget* c : w.findChildren<QWidget*>()) {
        if (c->objectName().isEmpty() || c->objectName().startsWith(QLatin1String("qt_")))
            continue;
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(c);
        QVERIFY2(iface && !iface->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(c->objectName()));
    }
}

QTEST_MAIN(TestUpConfigDisplay)
#include "test_up_config_display.moc"
