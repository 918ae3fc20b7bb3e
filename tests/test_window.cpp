// The window as it starts, as it looks at every scale factor (the test runs at 1, 1.5 and 2), as a
// screen reader hears it, and its address book in an operator's hands.
#include "address_book.h"
#include "icons.h"
#include "window_rig.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QScrollBar>

#include <cmath>
#include <sys/stat.h>

namespace {
qreal scale() {
    const QByteArray s = qgetenv("QT_SCALE_FACTOR");
    return s.isEmpty() ? 1.0 : s.toDouble();
}

QStringList items(QComboBox* box) {
    QStringList l;
    for (int i = 0; i < box->count(); ++i)
        l << box->itemText(i);
    return l;
}

void writeBook(const QByteArray& bytes) {
    QFile f(AddressBook::FileName);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

QByteArray readBook() {
    QFile f(AddressBook::FileName);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}
} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void startState() {
        ScratchFolder folder;
        FakeServices fake;
        UP_config w(fake.services());
        // Caption and start text, whose child, enabled, shown: what an operator meets at start.
        const char* const controls[][4] = {
            {"Frame8", "Link Ethernet", "UP_config", "es"},    {"ComboRemoteIP", "192.168.1.25", "Frame8", "es"},
            {"YesConnect", "", "Frame8", "e"},                 {"NoConnect", "", "Frame8", "es"},
            {"cbBind", "Connect", "Frame8", "es"},             {"Command7", "Boot Info", "Frame8", "es"},
            {"Add_ip", "Add", "Frame8", "es"},                 {"Del_ip", "Del", "Frame8", "es"},
            {"SaveIP", "Save", "Frame8", "es"},                {"Command3", "Open File and  Download", "UP_config", "s"},
            {"Frame2", "Modbus  RTU", "UP_config", "es"},      {"Check1", "Check1", "Frame2", "es"},
            {"Label1", "Addr Device", "Frame2", "es"},         {"Text9", "16", "Frame2", "es"},
            {"Text10", "10", "Frame2", "es"},                  {"Command1", "Set Addr", "Frame2", "es"},
            {"Frame1", "Status", "UP_config", "es"},           {"vbalProgressBar1", "NO FILE", "UP_config", "es"},
            {"Command5", "Install VELTA", "UP_config", "es"},  {"Text3", "", "UP_config", "es"},
            {"Label2", "Console ", "UP_config", "es"},         {"Text11", "", "UP_config", "es"},
            {"Command6", "Send", "UP_config", "es"},           {"Command8", "UART On", "UP_config", "es"},
            {"Command10", "Send Device", "UP_config", "es"},   {"Command9", "VER", "UP_config", "es"},
            {"Command2", "?", "UP_config", "es"},
        };
        for (const auto& [name, caption, parent, state] : controls) {
            QWidget* c = control(w, name);
            QString text = c->property("text").toString();
            if (auto* g = qobject_cast<QGroupBox*>(c))
                text = g->title();
            else if (auto* b = qobject_cast<QComboBox*>(c))
                text = b->currentText();
            else if (auto* p = qobject_cast<QPlainTextEdit*>(c))
                text = p->toPlainText();
            else if (auto* bar = qobject_cast<ProgressBar*>(c))
                text = bar->text();
            QCOMPARE(QStringLiteral("%1 %2 %3 %4").arg(name, text, c->parentWidget()->objectName()).arg(c->isEnabled()),
                     QStringLiteral("%1 %2 %3 %4").arg(name, caption, parent).arg(QByteArray(state).contains('e')));
            QVERIFY2(c->isHidden() != QByteArray(state).contains('s'), name);
        }
        QCOMPARE(w.windowTitle(), QString::fromUtf8("Ethernet PIC\xC2\xB5VELTA Device  BootLoader V2"));
        QVERIFY(control<QCheckBox>(w, "Check1")->isChecked());
        QCOMPARE(w.bar()->barColor(), BarColor::Blue);
        QCOMPARE(w.bar()->foreColor(), BarColor::Black);
        QCOMPARE(w.remotePort, QStringLiteral("111"));
        QCOMPARE(w.linkSilence, qint16(50));
        QVERIFY(!w.connected);
        QCOMPARE(w.watchdog().interval(), 200);
        QVERIFY(w.watchdog().isActive());
        w.watchdogTick(); // the first tick already shows the link lost
        QVERIFY(control(w, "NoConnect")->isVisibleTo(&w) && !control(w, "YesConnect")->isVisibleTo(&w));
        QVERIFY(fake.launched.isEmpty() && fake.boxes.isEmpty());
        // The local port: four plain digits from 5500 to 6499, spread, different between starts.
        QSet<int> ports;
        for (int i = 0; i < 100; ++i) {
            const QString text = UP_config(fake.services()).localPort;
            QVERIFY2(QRegularExpression("^(5[5-9]|6[0-4])\\d\\d$").match(text).hasMatch(), qPrintable(text));
            ports << text.toInt();
        }
        QVERIFY(ports.size() > 60);
    }

    void looksWholeAtEveryScale() {
        ScratchFolder folder;
        FakeServices fake;
        UP_config w(fake.services());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const qreal s = scale();
        QCOMPARE(w.devicePixelRatioF(), s);
        QCOMPARE(w.size(), QSize(401, 219));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!(w.windowFlags() & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint)));
        // The edges the layout puts on the client area's right and bottom edge.
        for (const char* right : {"Frame2", "Command5", "Text3", "Command2"})
            QCOMPARE(control(w, right)->geometry().right(), 400);
        QCOMPARE(control(w, "Text11")->geometry().bottom(), 218);
        // Everything shown lies inside the client area and its frame; controls over a frame are
        // drawn in front of it; the console has both scroll bars.
        for (QWidget* c : w.findChildren<QWidget*>()) {
            if (c->isVisibleTo(&w) && !c->objectName().isEmpty() && !c->objectName().startsWith("qt_"))
                QVERIFY2(c->parentWidget()->rect().contains(c->geometry()), qPrintable(c->objectName()));
        }
        QVERIFY(w.children().indexOf(control(w, "Command3")) > w.children().indexOf(control(w, "Frame8")));
        QVERIFY(w.children().indexOf(w.bar()) > w.children().indexOf(control(w, "Frame1")));
        auto* console = control<QPlainTextEdit>(w, "Text3");
        QVERIFY(console->verticalScrollBar()->isVisible() && console->horizontalScrollBar()->isVisible());
        // Nothing is cut: "Install VELTA" stands on two lines in its tall, narrow button, every
        // other caption on one; the gateway frame's caption leaves room for its box.
        for (QPushButton* b : w.findChildren<QPushButton*>()) {
            const bool wraps = b->objectName() == "Command5";
            for (const QString& part : wraps ? b->text().split(' ') : QStringList{b->text()})
                QVERIFY2(b->fontMetrics().horizontalAdvance(part) + 4 <= b->width(), qPrintable(b->objectName()));
            QVERIFY2((wraps ? 2 : 1) * b->fontMetrics().height() <= b->height(), qPrintable(b->objectName()));
        }
        for (QLabel* l : w.findChildren<QLabel*>())
            QVERIFY(l->fontMetrics().horizontalAdvance(l->text().trimmed()) <= l->width());
        auto* frame2 = control<QGroupBox>(w, "Frame2");
        QVERIFY(frame2->fontMetrics().horizontalAdvance(frame2->title()) + 8 <= control(w, "Check1")->x());
        // The shown bar: black text over an empty bar, blue fill in proportion once it moves.
        w.flushScreen();
        QCOMPARE(w.bar()->paintedText(), QStringLiteral("NO FILE"));
        w.bar()->setMax(10);
        w.bar()->setValue(5);
        w.flushScreen();
        const QImage bar = w.bar()->grab().toImage();
        QCOMPARE(bar.pixelColor(int(10 * s), bar.height() / 2), QColor(0, 0, 255));
        QVERIFY(bar.pixelColor(bar.width() - int(10 * s), bar.height() / 2) != QColor(0, 0, 255));
    }

    void picturesAreDrawnForTheScreen() {
        const qreal s = scale();
        for (const QPixmap& pm : {Icons::linkAlive(s), Icons::linkLost(s)}) {
            // Drawn for the density, not a 32-pixel picture stretched, in the 16 classic colours.
            QCOMPARE(pm.devicePixelRatio(), s);
            QCOMPARE(pm.width(), int(std::ceil(32 * s)));
            const QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32);
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x) {
                    const QRgb c = img.pixel(x, y);
                    const auto level = [](int v) { return v == 0 || v == 128 || v == 192 || v == 255; };
                    QVERIFY(qAlpha(c) == 0 || (qAlpha(c) == 255 && level(qRed(c)) && level(qGreen(c)) && level(qBlue(c))));
                }
        }
        QCOMPARE(Icons::linkAlive(s).toImage().pixelColor(int(16 * s), int(11 * s)), QColor(0, 255, 255));
        QCOMPARE(Icons::linkLost(s).toImage().pixelColor(int(16 * s), int(11 * s)), QColor(0, 0, 0));
        // The window icon is drawn afresh at each size: 48 pixels are not 24 doubled.
        QCOMPARE(Icons::applicationIcon().pixmap(QSize(24, 24), s).width(), int(std::ceil(24 * s)));
        const QImage big = Icons::tools(48).toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage doubled = Icons::tools(24).toImage().scaled(48, 48).convertToFormat(QImage::Format_ARGB32);
        int differing = 0;
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 48; ++x)
                differing += big.pixel(x, y) != doubled.pixel(x, y);
        QVERIFY(differing > 48 * 48 / 20);
        QCOMPARE(qAlpha(big.pixel(0, 0)), 0);
    }

    void everyControlHasASpokenName() {
        ScratchFolder folder;
        FakeServices fake;
        UP_config w(fake.services());
        w.show();
        const char* const names[][2] = {{"ComboRemoteIP", "Device address"}, {"Text9", "Gateway device address"},
                                        {"Text10", "New device address"},   {"Text3", "Console"},
                                        {"Text11", "Console command"},      {"YesConnect", "Link"},
                                        {"Check1", "Modbus  RTU"},          {"vbalProgressBar1", "Status"}};
        for (const auto& [name, spoken] : names)
            QCOMPARE(control(w, name)->accessibleName(), QString(spoken));
        QCOMPARE(QAccessible::queryAccessibleInterface(w.bar())->text(QAccessible::Description), QStringLiteral("NO FILE"));
        for (QWidget* c : w.findChildren<QWidget*>()) {
            if (c->objectName().isEmpty() || c->objectName().startsWith("qt_"))
                continue;
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(c);
            QVERIFY2(iface && !iface->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(c->objectName()));
        }
    }

    void tabMovesThroughTheWindow() {
        ScratchFolder folder;
        FakeServices fake;
        UP_config w(fake.services());
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        // Command3 is disabled at start, so the focus skips it; the box's line edit stands for it.
        const QStringList expected = {"cbBind",   "ComboRemoteIP", "Add_ip",    "Del_ip",   "SaveIP",
                                      "Text3",    "Command5",      "Text9",     "Check1",   "Text10",
                                      "Command1", "Text11",        "Command6",  "Command7", "Command8",
                                      "Command9", "Command10",     "Command2",  "cbBind"};
        control(w, "cbBind")->setFocus();
        QStringList seen{QApplication::focusWidget()->objectName()};
        for (int i = 1; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* f = QApplication::focusWidget();
            seen << (f->objectName().isEmpty() ? f->parentWidget()->objectName() : f->objectName());
        }
        QCOMPARE(seen, expected);
        QVERIFY(control<QPlainTextEdit>(w, "Text3")->toPlainText().isEmpty()); // no tab typed into it
    }

    // The file at start: "<none>" for no file, "<fifo>" for a FIFO.
    void addressBookAtStart_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("list");
        QTest::newRow("no file") << QByteArray("<none>") << QStringList{"192.168.1.25"};
        QTest::newRow("a FIFO: not waited on") << QByteArray("<fifo>") << QStringList{"192.168.1.25"};
        QTest::newRow("empty lines only") << QByteArray("\r\n\r\n") << QStringList{"192.168.1.25"};
        QTest::newRow("sorted, first shown") << QByteArray("zeta\r\n\"Alpha\"\r\n10.1.1.1,beta\r\n")
                                             << QStringList{"10.1.1.1", "Alpha", "beta", "zeta"};
    }

    void addressBookAtStart() {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, list);
        ScratchFolder folder;
        if (file == "<fifo>")
            QCOMPARE(::mkfifo(qPrintable(AddressBook::FileName), 0600), 0);
        else if (file != "<none>")
            writeBook(file);
        FakeServices fake;
        UP_config w(fake.services());
        auto* box = control<QComboBox>(w, "ComboRemoteIP");
        QCOMPARE(items(box), list);
        QCOMPARE(box->currentText(), list.first());
        QVERIFY(fake.boxes.isEmpty());
    }

    void addressBookInAnOperatorsHands() {
        ScratchFolder folder;
        writeBook("127.0.0.10\r\n");
        FakeServices fake;
        UP_config w(fake.services());
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto* box = control<QComboBox>(w, "ComboRemoteIP");
        type(box, QString());
        press(w, "Add_ip"); // nothing typed: nothing added
        for (const char* e : {"Beta", "alpha", "alpha"}) {
            type(box, QString::fromLatin1(e));
            press(w, "Add_ip");
        }
        QCOMPARE(items(box), (QStringList{"127.0.0.10", "alpha", "alpha", "Beta"}));
        // Typed text is taken as typed: no completion to a longer entry.
        type(box, QStringLiteral("127.0.0.1"));
        QCOMPARE(box->currentText(), QStringLiteral("127.0.0.1"));
        press(w, "Add_ip");
        QCOMPARE(items(box).mid(0, 2), (QStringList{"127.0.0.1", "127.0.0.10"}));
        QCOMPARE(box->currentText(), QStringLiteral("127.0.0.1"));
        // Typed text selects nothing, even an entry's exact text: "Del" removes nothing.
        type(box, QStringLiteral("alpha"));
        press(w, "Del_ip");
        QCOMPARE(box->count(), 5);
        // A picked entry goes, once: Qt's choice of a neighbour is no pick; the box is left empty.
        pick(box, 4);
        QCOMPARE(box->currentText(), QStringLiteral("Beta"));
        press(w, "Del_ip");
        press(w, "Del_ip");
        QCOMPARE(items(box), (QStringList{"127.0.0.1", "127.0.0.10", "alpha", "alpha"}));
        QCOMPARE(box->currentText(), QString());
        QCOMPARE(readBook(), QByteArray("127.0.0.10\r\n")); // only "Save" writes
        press(w, "SaveIP");
        QCOMPARE(readBook(), QByteArray("127.0.0.1\r\n127.0.0.10\r\nalpha\r\nalpha\r\n"));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 1); // no temporary left behind

        // Start-up picks the first entry, so "Del" removes it; into the emptied list "Add" puts
        // an entry that is not picked for all that Qt shows it. An empty list saves empty.
        UP_config fresh(fake.services());
        fresh.show();
        QVERIFY(QTest::qWaitForWindowActive(&fresh));
        auto* freshBox = control<QComboBox>(fresh, "ComboRemoteIP");
        freshBox->clear();
        type(freshBox, QStringLiteral("10.0.0.1"));
        press(fresh, "Add_ip");
        press(fresh, "Del_ip");
        QCOMPARE(items(freshBox), QStringList{"10.0.0.1"});
        UP_config third(fake.services());
        press(third, "Del_ip");
        QCOMPARE(control<QComboBox>(third, "ComboRemoteIP")->count(), 3);
        QVERIFY(fake.boxes.isEmpty());
        QVERIFY(third.close()); // closing saves nothing
        QCOMPARE(readBook(), QByteArray("127.0.0.1\r\n127.0.0.10\r\nalpha\r\nalpha\r\n"));
    }

    void failedSaveKeepsTheEarlierBook() {
        ScratchFolder folder;
        writeBook("10.0.0.1\r\n");
        FakeServices fake;
        UP_config w(fake.services());
        // An immutable file cannot be replaced even by root; a folder in its place cannot either.
        const bool immutable = QProcess::execute("chattr", {"+i", AddressBook::FileName}) == 0;
        press(w, "SaveIP");
        QProcess::execute("chattr", {"-i", AddressBook::FileName});
        QCOMPARE(readBook(), QByteArray("10.0.0.1\r\n"));
        QVERIFY(QFile::remove(AddressBook::FileName) && QDir().mkdir(AddressBook::FileName));
        press(w, "SaveIP");
        QCOMPARE(fake.boxes.size(), 1 + int(immutable));
        if (immutable)
            QCOMPARE(fake.boxes[0].title + ' ' + fake.boxes[0].text, QStringLiteral("Error#70 Permission denied"));
        QCOMPARE(fake.boxes.last().title + ' ' + fake.boxes.last().text, QStringLiteral("Error#75 Path/File access error"));
        QCOMPARE(fake.boxes.last().icon, MessageIcon::Critical);
        QCOMPARE(control<QComboBox>(w, "ComboRemoteIP")->count(), 1);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 0); // no temporary left behind
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
