// The window at start (also at scales 1.5 and 2), its repaints, its address book in use.
#include "app/icons.h"
#include "core/link/address_book.h"
#include "window_rig.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

namespace {
QString items(QComboBox* box) {
    QStringList l;
    for (int i = 0; i < box->count(); ++i)
        l << box->itemText(i);
    return l.join('|');
}
// Why `actual` is not `golden`; other CPUs' raster paths may move a few pixels by a few units.
QString pictureDifference(const QImage& actual, const QImage& golden) {
    constexpr int Units = 4, Pixels = 24;
    const QImage a = actual.convertToFormat(QImage::Format_ARGB32),
                 g = golden.convertToFormat(QImage::Format_ARGB32);
    if (a.size() != g.size())
        return QStringLiteral("size differs: %1x%2").arg(a.width()).arg(a.height());
    int differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = g.pixel(x, y);
            const int most = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                       std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
            if (most > Units)
                return QStringLiteral("pixel %1,%2 differs by %3 units").arg(x).arg(y).arg(most);
            differing += most > 0;
        }
    return differing > Pixels ? QStringLiteral("%1 pixels differ").arg(differing) : QString();
}

// What the screen shows of `w` now: the window's backing store, not a fresh paint.
QImage onScreen(QWidget* w) {
    const QPoint at = w->mapTo(w->window(), QPoint(0, 0));
    return w->screen()->grabWindow(w->window()->winId(), at.x(), at.y(), w->width(), w->height()).toImage();
}

// Steps: tX types X, pN picks entry N, r Return, + Add, - Del, s Save, c clears the list, D a folder
// for the book, L a link to a book not made yet. Outcome, the window closed: entries, text shown, the
// book ("@" through a link, ";": line end), boxes.
// clang-format off
const struct BookRow { const char *name, *book, *steps, *outcome; } BookRows[] = {
    {"sorted at start, the first picked", "zeta\r\n\"Alpha\"\r\n10.1.1.1,beta\r\n", "", "10.1.1.1|Alpha|beta|zeta 10.1.1.1 zeta;\"Alpha\";10.1.1.1,beta; "},
    {"nothing typed adds nothing; sorted, twice kept", "127.0.0.10\r\n", "t + tBeta + talpha + talpha +", "127.0.0.10|alpha|alpha|Beta alpha 127.0.0.10; "},
    {"taken as typed, not completed; Return adds nothing", "127.0.0.10\r\n", "t127.0.0.1 r +", "127.0.0.1|127.0.0.10 127.0.0.1 127.0.0.10; "},
    {"typed text selects nothing, an entry's exact text neither", "alpha\r\nBeta\r\n", "talpha -", "alpha|Beta alpha alpha;Beta; "},
    {"a picked entry goes, once; the box left empty", "127.0.0.1\r\nalpha\r\nBeta\r\n", "p2 - -", "127.0.0.1|alpha  127.0.0.1;alpha;Beta; "},
    {"Add leaves a picked entry picked", "127.0.0.1\r\n127.0.0.10\r\nalpha\r\n", "p1 + -", "127.0.0.1|127.0.0.10|alpha  127.0.0.1;127.0.0.10;alpha; "},
    {"start-up picks the first entry", "a\r\nb\r\n", "-", "b  a;b; "},
    {"Add into an empty list picks nothing, though Qt shows it", "a\r\n", "c t10.0.0.1 + -", "10.0.0.1 10.0.0.1 a; "},
    {"only Save writes, closing nothing", "b\r\n", "ta + s tc +", "a|b|c c a;b; "},
    {"a folder in the book's place: the box says why", "b\r\n", "ta + D s", "a|b a <none> !Error#75: Path/File access error"},
    {"a link to a book not made yet: Save makes it", "b\r\n", "ta + L s", "a|b a @a;b; "}};
// The fill moved in steps: the width each leaves to be painted again (inner width 329 pixels).
const struct BarRow { const char* name; int max; int values[3]; int repainted[3]; } BarRows[] = {
    {"steps under a pixel", 9000, {28, 54, 55}, {1, 0, 1}}, {"many pixels, then back to empty", 100, {10, 50, 0}, {32, 132, 164}},
    {"to the end and past it", 3, {1, 3, 4}, {109, 220, 0}}};
// clang-format on

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    // Pictures (scale 1; VELTA_WRITE_GOLDEN=1 redraws them), state, fit, accessible names, Tab order.
    void startsAsDesigned() {
        Rig r(true);
        UP_config& w = *r.w;
        const qreal s = w.devicePixelRatioF();
        w.flushScreen();
        const std::pair<const char*, QImage> pictures[] = {{"window", w.grab().toImage()},
                                                           {"link-alive", Icons::linkAlive(1.0).toImage()},
                                                           {"tools-48", Icons::tools(48).toImage()}};
        for (const auto& [name, actual] : pictures) {
            const QString golden =
                QStringLiteral(VELTA_SOURCE_DIR "/tests/data/%1.png").arg(QString::fromLatin1(name));
            if (s == 1.0 && qEnvironmentVariableIsSet("VELTA_WRITE_GOLDEN"))
                QVERIFY(actual.save(golden));
            const QString difference = pictureDifference(actual, QImage(golden));
            QVERIFY2(s != 1.0 || difference.isEmpty(), qPrintable(golden + ": " + difference));
        }
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

    // The installed icons are drawn at build time, each size from the art itself; what the
    // exporter cannot draw or write stops the build.
    void iconExporter() {
        QTemporaryDir dir;
        const struct {
            const char* args;
            int code;
        } rows[] = {{"velta-bootloader 16 48", 0},
                    {"velta-line 32", 0},
                    {"velta-nothing 16", 2},
                    {"velta-line 0", 2},
                    {"velta-line 4097", 2},
                    {"velta-line x", 2},
                    {"", 2}};
        for (const auto& r : rows) {
            const QStringList args = QString(r.args).split(' ', Qt::SkipEmptyParts);
            QProcess p;
            p.start(VELTA_ICON_EXPORT,
                    args.isEmpty() ? QStringList{dir.path()} : QStringList{dir.path()} + args);
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(joined(r.args, p.exitCode()), joined(r.args, r.code));
        }
        QStringList drawn;
        for (const char* f : {"16x16/apps/velta-bootloader.png", "48x48/apps/velta-bootloader.png",
                              "32x32/apps/velta-line.png"})
            drawn << QString::number(QImage(dir.filePath(f)).width());
        QCOMPARE(drawn.join(' '), "16 48 32");
        QVERIFY(!QDir(dir.filePath("4097x4097")).exists());
    }

    void addressBook_data() { addRows(BookRows); }
    void addressBook() {
        const BookRow& row = BookRows[fetchRow()];
        Rig r(true, row.book);
        auto* box = control<QComboBox>(*r.w, "ComboRemoteIP");
        const QMap<QChar, const char*> buttons{{'+', "Add_ip"}, {'-', "Del_ip"}, {'s', "SaveIP"}};
        for (const QString& step : QString(row.steps).split(' ', Qt::SkipEmptyParts)) {
            if (buttons.contains(step[0]))
                press(*r.w, buttons[step[0]]);
            else if (step[0] == 't')
                type(box, step.mid(1));
            else if (step[0] == 'p')
                pick(box, step.mid(1).toInt());
            else if (step == "r")
                QTest::keyClick(box->lineEdit(), Qt::Key_Return);
            else if (step == "c")
                box->clear();
            else if (step == "D")
                QVERIFY(QFile::remove(AddressBook::FileName) && QDir().mkdir(AddressBook::FileName));
            else
                QVERIFY(QFile::remove(AddressBook::FileName) && QDir().mkdir("books") &&
                        QFile::link("books/line3.ini", AddressBook::FileName));
        }
        QFile book(AddressBook::FileName);
        QVERIFY(r.w->close());
        const QString saved =
            (QFileInfo(book).isSymLink() ? "@" : "") +
            (book.open(QIODevice::ReadOnly) ? QString(book.readAll()).replace("\r\n", ";") : "<none>");
        QCOMPARE(joined(items(box), box->currentText(), saved, r.boxes.join(',')), row.outcome);
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
