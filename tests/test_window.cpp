// The window at start, its look (pixels at scale 1; nothing cut at 1.5 and 2), screen reader and
// Tab order, and its address book in an operator's hands.
#include "app/icons.h"
#include "core/link/address_book.h"
#include "window_rig.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <sys/stat.h>

namespace {
QString items(QComboBox* box) {
    QStringList l;
    for (int i = 0; i < box->count(); ++i)
        l << box->itemText(i);
    return l.join('|');
}
// Why `actual` is not `golden`, empty when it is: other CPUs' raster paths may move a few pixels
// by a few units.
QString pictureDifference(const QImage& actual, const QImage& golden) {
    constexpr int Units = 4, Pixels = 24;
    const QImage a = actual.convertToFormat(QImage::Format_ARGB32),
                 g = golden.convertToFormat(QImage::Format_ARGB32);
    if (a.size() != g.size())
        return QStringLiteral("size differs: %1x%2").arg(a.width()).arg(a.height());
    int differing = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = g.pixel(x, y);
            const int most = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                       std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
            if (most > Units)
                return QStringLiteral("pixel %1,%2 differs by %3 units").arg(x).arg(y).arg(most);
            differing += most > 0;
        }
    }
    return differing > Pixels ? QStringLiteral("%1 pixels differ").arg(differing) : QString();
}

// The fill moved in steps: the width each leaves to be painted again (inner width 329 pixels).
const struct BarRow {
    const char* name;
    int max;
    int values[3];
    int repainted[3];
} BarRows[] = {{"steps under a pixel", 9000, {28, 54, 55}, {1, 0, 1}},
               {"many pixels, then back to empty", 100, {10, 50, 0}, {32, 132, 164}},
               {"to the end and past it", 3, {1, 3, 4}, {109, 220, 0}}};

// What the screen shows of `w` now: the window's backing store, not a fresh paint.
QImage onScreen(QWidget* w) {
    const QPoint at = w->mapTo(w->window(), QPoint(0, 0));
    return w->screen()->grabWindow(w->window()->winId(), at.x(), at.y(), w->width(), w->height()).toImage();
}

QByteArray book() {
    QFile f(AddressBook::FileName);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}
} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void startState() {
        Rig r;
        UP_config& w = *r.w;
        QVERIFY(!control(w, "Command3")->isEnabled() && control(w, "YesConnect")->isHidden());
        QVERIFY(control<QCheckBox>(w, "Check1")->isChecked() && !control(w, "NoConnect")->isHidden());
        QCOMPARE(w.windowTitle(), QString::fromUtf8("Ethernet PIC\xC2\xB5VELTA Device  BootLoader V2"));
        QCOMPARE(joined(control<QLineEdit>(w, "tbRemotePort")->text(), w.linkSilence(), w.isConnected()),
                 "111 50 0");
        QVERIFY(w.watchdog().isActive() && w.watchdog().interval() == 200);
        QVERIFY(w.consoleText().isEmpty()); // no reply yet: no blank lines either
        QVERIFY(r.launched.isEmpty() && r.boxes.isEmpty());
        QSet<QString> ports;
        for (int i = 0; i < 100; ++i)
            ports << control<QLineEdit>(*std::make_unique<UP_config>(r.services()), "tbLocalPort")->text();
        QVERIFY(ports.size() > 60); // and every one four plain digits from 5500 to 6499
        QCOMPARE(QStringList(ports.values()).filter(QRegularExpression("^(5[5-9]|6[0-4])\\d\\d$")).size(),
                 ports.size());
    }

    // Every caption, place, colour and picture; VELTA_WRITE_GOLDEN=1 writes them anew.
    void looksAsDesigned() {
        Rig r(true);
        UP_config& w = *r.w;
        if (w.devicePixelRatioF() != 1.0)
            QSKIP("the pictures are kept for scale 1");
        w.flushScreen();
        const std::pair<const char*, QImage> pictures[] = {{"window", w.grab().toImage()},
                                                           {"link-alive", Icons::linkAlive(1.0).toImage()},
                                                           {"tools-48", Icons::tools(48).toImage()}};
        for (const auto& [name, actual] : pictures) {
            const QString golden =
                QStringLiteral(VELTA_SOURCE_DIR "/tests/data/%1.png").arg(QString::fromLatin1(name));
            if (qEnvironmentVariableIsSet("VELTA_WRITE_GOLDEN"))
                QVERIFY(actual.save(golden));
            const QString difference = pictureDifference(actual, QImage(golden));
            QVERIFY2(difference.isEmpty(), qPrintable(golden + ": " + difference));
        }
    }

    void nothingIsCutEverythingSpeaksTabMovesOn() {
        Rig r(true);
        UP_config& w = *r.w;
        const qreal s = w.devicePixelRatioF();
        QVERIFY(w.size() == w.maximumSize() && w.size() == w.minimumSize());
        QVERIFY(!(w.windowFlags() & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint)));
        for (QWidget* c : w.findChildren<QWidget*>()) {
            if (c->objectName().isEmpty() || c->objectName().startsWith("qt_"))
                continue;
            QVERIFY2(!c->isVisibleTo(&w) || c->parentWidget()->rect().contains(c->geometry()),
                     qPrintable(c->objectName()));
            // Every named control has a name a screen reader can speak.
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(c);
            QVERIFY2(iface && !iface->text(QAccessible::Name).trimmed().isEmpty(),
                     qPrintable(c->objectName()));
        }
        // "Install VELTA" stands on two lines in its tall, narrow button, every other caption on one.
        for (QPushButton* b : w.findChildren<QPushButton*>()) {
            const bool wraps = b->objectName() == "Command5";
            for (const QString& part : wraps ? b->text().split(' ') : QStringList{b->text()})
                QVERIFY2(b->fontMetrics().horizontalAdvance(part) + 4 <= b->width(),
                         qPrintable(b->objectName()));
            QVERIFY2((wraps ? 2 : 1) * b->fontMetrics().height() <= b->height(), qPrintable(b->objectName()));
        }
        for (QLabel* l : w.findChildren<QLabel*>())
            QVERIFY(l->fontMetrics().horizontalAdvance(l->text().trimmed()) <= l->width());
        // Pictures drawn for the density, not stretched; the window icon afresh at each size.
        QCOMPARE(control<QLabel>(w, "NoConnect")->pixmap().devicePixelRatio(), s);
        QCOMPARE(control<QLabel>(w, "YesConnect")->pixmap().width(), int(std::ceil(32 * s)));
        QCOMPARE(w.windowIcon().pixmap(QSize(24, 24), s).width(), int(std::ceil(24 * s)));
        QVERIFY(Icons::tools(48).toImage() != Icons::tools(24).toImage().scaled(48, 48));
        QCOMPARE(QAccessible::queryAccessibleInterface(w.bar())->text(QAccessible::Description),
                 QStringLiteral("NO FILE"));
        QCOMPARE(ProgressBar::fillWidth(1, 0, 90), 0); // no lines, no fill; the rest in barRepaintsWhatMoved
        // Command3 is disabled at start, so the focus skips it; the box's line edit stands for it.
        control(w, "cbBind")->setFocus();
        QStringList seen{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 18; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* f = QApplication::focusWidget();
            seen << (f->objectName().isEmpty() ? f->parentWidget()->objectName() : f->objectName());
        }
        QCOMPARE(
            seen.join(' '),
            QStringLiteral("cbBind ComboRemoteIP Add_ip Del_ip SaveIP Text3 Command5 Text9 Check1 Text10 "
                           "Command1 Text11 Command6 Command7 Command8 Command9 Command10 Command2 cbBind"));
        QVERIFY(control<QPlainTextEdit>(w, "Text3")->toPlainText().isEmpty()); // no tab typed into it
    }

    // Only the strip the fill moved over is painted again, yet the screen equals a whole new paint.
    void barRepaintsWhatMoved_data() { addRows(BarRows); }
    void barRepaintsWhatMoved() {
        const BarRow& row = BarRows[fetchRow()];
        Rig r(true);
        ProgressBar* bar = r.w->bar();
        const bool pictures = r.w->devicePixelRatioF() == 1.0;
        const auto showFrame = [bar, pictures] {
            bar->flushRepaint();
            QCoreApplication::sendPostedEvents();
            return pictures ? pictureDifference(onScreen(bar), bar->grab().toImage()) : QString();
        };
        bar->setText(QStringLiteral("DOWNLOAD"));
        bar->setMax(row.max);
        QCOMPARE(bar->dirtyArea(), bar->rect());
        QCOMPARE(showFrame(), QString());
        for (int i = 0; i < 3; ++i) {
            bar->setValue(row.values[i]);
            QCOMPARE(bar->dirtyArea().width(), row.repainted[i]);
            if (row.repainted[i] > 0) { // the screen waits for the frame
                QCOMPARE(bar->dirtyArea().height(), bar->height() - 4);
                QVERIFY(!pictures || !pictureDifference(onScreen(bar), bar->grab().toImage()).isEmpty());
            }
            QCOMPARE(showFrame(), QString());
        }
        bar->setBarColor(BarColor::Green);
        QCOMPARE(bar->dirtyArea(), bar->rect());
        QCOMPARE(showFrame(), QString());
        bar->setText(QStringLiteral("END"));
        QCOMPARE(bar->dirtyArea(), bar->rect());
        QCOMPARE(showFrame(), QString());
        QCOMPARE(bar->paintedText(), QStringLiteral("END"));
    }

    void addressBookAtStart() {
        Rig r(false, "zeta\r\n\"Alpha\"\r\n10.1.1.1,beta\r\n");
        auto* box = control<QComboBox>(*r.w, "ComboRemoteIP");
        QCOMPARE(items(box) + ' ' + box->currentText(), QStringLiteral("10.1.1.1|Alpha|beta|zeta 10.1.1.1"));
        QVERIFY(QFile::remove(AddressBook::FileName));
        QCOMPARE(::mkfifo(qPrintable(AddressBook::FileName), 0600), 0); // not waited on
        UP_config w(r.services());
        QCOMPARE(items(control<QComboBox>(w, "ComboRemoteIP")), "192.168.1.25");
        QVERIFY(r.boxes.isEmpty());
    }

    void addressBookInAnOperatorsHands() {
        Rig r(true, "127.0.0.10\r\n");
        UP_config& w = *r.w;
        auto* box = control<QComboBox>(w, "ComboRemoteIP");
        for (const char* e : {"", "Beta", "alpha", "alpha"}) { // nothing typed: nothing added
            type(box, QString::fromLatin1(e));
            press(w, "Add_ip");
        }
        QCOMPARE(items(box), QStringLiteral("127.0.0.10|alpha|alpha|Beta"));
        // Typed text is taken as typed: no completion to a longer entry.
        type(box, QStringLiteral("127.0.0.1"));
        QTest::keyClick(box->lineEdit(), Qt::Key_Return); // only "Add" adds
        QCOMPARE(box->currentText(), QStringLiteral("127.0.0.1"));
        press(w, "Add_ip");
        QCOMPARE(items(box) + ' ' + box->currentText(),
                 QStringLiteral("127.0.0.1|127.0.0.10|alpha|alpha|Beta 127.0.0.1"));
        // Typed text selects nothing, even an entry's exact text: "Del" removes nothing.
        type(box, QStringLiteral("alpha"));
        press(w, "Del_ip");
        QCOMPARE(box->count(), 5);
        // A picked entry goes, once: Qt's choice of a neighbour is no pick; the box is left empty.
        pick(box, 4);
        QCOMPARE(box->currentText(), QStringLiteral("Beta"));
        press(w, "Del_ip");
        press(w, "Del_ip");
        QCOMPARE(items(box) + ' ' + box->currentText(), QStringLiteral("127.0.0.1|127.0.0.10|alpha|alpha "));
        // "Add" of a picked entry leaves it picked: "Del" then removes one of the two.
        pick(box, 1);
        press(w, "Add_ip");
        QCOMPARE(items(box) + ' ' + box->currentText(),
                 QStringLiteral("127.0.0.1|127.0.0.10|127.0.0.10|alpha|alpha 127.0.0.10"));
        press(w, "Del_ip");
        QCOMPARE(items(box), QStringLiteral("127.0.0.1|127.0.0.10|alpha|alpha"));
        QCOMPARE(book(), QByteArray("127.0.0.10\r\n")); // only "Save" writes
        press(w, "SaveIP");
        QCOMPARE(book(), QByteArray("127.0.0.1\r\n127.0.0.10\r\nalpha\r\nalpha\r\n"));
        // Start-up picks the first entry; "Add" into an empty list picks nothing, though Qt shows it.
        UP_config fresh(r.services());
        fresh.show();
        QVERIFY(QTest::qWaitForWindowActive(&fresh));
        auto* freshBox = control<QComboBox>(fresh, "ComboRemoteIP");
        press(fresh, "Del_ip");
        QCOMPARE(freshBox->count(), 3);
        freshBox->clear();
        type(freshBox, QStringLiteral("10.0.0.1"));
        press(fresh, "Add_ip");
        press(fresh, "Del_ip");
        QCOMPARE(items(freshBox), QStringLiteral("10.0.0.1"));
        QVERIFY(fresh.close() && r.boxes.isEmpty()); // closing saves nothing
        QCOMPARE(book(), QByteArray("127.0.0.1\r\n127.0.0.10\r\nalpha\r\nalpha\r\n"));
        // A folder in the book's place cannot be replaced: the box says why, the list stays. (How the
        // book is written, links and temporaries included, test_core's saves checks.)
        QVERIFY(QFile::remove(AddressBook::FileName) && QDir().mkdir(AddressBook::FileName));
        press(w, "SaveIP");
        QCOMPARE(r.boxes, QStringList{"!Error#75: Path/File access error"});
        QCOMPARE(box->count(), 4);
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
