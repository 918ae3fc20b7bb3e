// The window's start state, start-up and the address book.
#include "test_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>

#include <sys/stat.h>
#include <QAbstractItemView>
#include <QApplication>

class TestUpConfig : public QObject {
    Q_OBJECT

private slots:
    void controls_data();
    void controls();
    void captionAndFrame();
    void progressBarStartsEmptyBlueNoFile();
    void startupFieldsAndTimer();
    void localPortRangeAndSpread();

    void closingSavesNothing();

    void addressBookLoad_data();
    void addressBookLoad();
    void addressBoxAsOperatorsUseIt();
    void tabMovesThroughTheWindow();
    void saveWritesExactBytesAndReloads();
    void saveFailureKeepsListAndFile();
    void failedSaveLeavesEarlierFileWhole();
};

void TestUpConfig::controls_data() {
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("shown");

    auto row = [](const char* name, const char* type, const char* parent, QRect g, const char* caption,
                  bool enabled = true, bool shown = true) {
        QTest::newRow(name) << type << parent << g << QString::fromUtf8(caption) << enabled << shown;
    };
    // Geometry in pixels: twips / 15.
    row("Frame8", "QGroupBox", "UP_config", {0, 0, 289, 65}, "Link Ethernet");
    row("ComboRemoteIP", "QComboBox", "Frame8", {4, 16, 113, 21}, "192.168.1.25");
    row("YesConnect", "QLabel", "Frame8", {116, 16, 32, 32}, "", true, false);
    row("NoConnect", "QLabel", "Frame8", {116, 24, 32, 32}, "");
    row("cbBind", "QPushButton", "Frame8", {148, 16, 65, 17}, "Connect");
    row("Command7", "QPushButton", "Frame8", {216, 16, 65, 17}, "Boot Info");
    row("Add_ip", "QPushButton", "Frame8", {4, 40, 37, 17}, "Add");
    row("Del_ip", "QPushButton", "Frame8", {44, 40, 33, 17}, "Del");
    row("SaveIP", "QPushButton", "Frame8", {80, 40, 37, 17}, "Save");
    row("Command3", "QPushButton", "UP_config", {148, 40, 133, 17}, "Open File and  Download", false);
    row("Frame2", "QGroupBox", "UP_config", {292, 0, 109, 65}, "Modbus  RTU");
    row("Check1", "QCheckBox", "Frame2", {88, 0, 13, 13}, "Check1");
    row("Label1", "QLabel", "Frame2", {4, 16, 65, 17}, "Addr Device");
    row("Text9", "QLineEdit", "Frame2", {72, 16, 29, 19}, "16");
    row("Text10", "QLineEdit", "Frame2", {4, 40, 29, 19}, "10");
    row("Command1", "QPushButton", "Frame2", {44, 40, 53, 17}, "Set Addr");
    row("Frame1", "QGroupBox", "UP_config", {0, 64, 349, 41}, "Status");
    row("vbalProgressBar1", "ProgressBar", "UP_config", {8, 80, 333, 17}, "NO FILE");
    row("Command5", "WrappingButton", "UP_config", {352, 72, 49, 33}, "Install VELTA");
    row("Text3", "QPlainTextEdit", "UP_config", {0, 112, 401, 89}, "");
    row("Label2", "QLabel", "UP_config", {0, 200, 41, 17}, "Console ");
    row("Text11", "QLineEdit", "UP_config", {40, 200, 97, 19}, "");
    row("Command6", "QPushButton", "UP_config", {140, 200, 45, 17}, "Send");
    row("Command8", "QPushButton", "UP_config", {188, 200, 61, 17}, "UART On");
    row("Command10", "QPushButton", "UP_config", {268, 200, 73, 17}, "Send Device");
    row("Command9", "QPushButton", "UP_config", {344, 200, 37, 17}, "VER");
    row("Command2", "QPushButton", "UP_config", {384, 200, 17, 17}, "?");
}

void TestUpConfig::controls() {
    QFETCH(QString, type);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    QFETCH(bool, enabled);
    QFETCH(bool, shown);

    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    QWidget* c = w.findChild<QWidget*>(QLatin1String(QTest::currentDataTag()));
    QVERIFY2(c, QTest::currentDataTag());
    QCOMPARE(QString::fromLatin1(c->metaObject()->className()), type);
    QCOMPARE(c->parentWidget()->objectName(), parentName);
    QCOMPARE(c->geometry(), geometry);
    QCOMPARE(c->isEnabled(), enabled);
    QCOMPARE(!c->isHidden(), shown);

    QString text;
    if (auto* b = qobject_cast<QAbstractButton*>(c))
        text = b->text();
    else if (auto* g = qobject_cast<QGroupBox*>(c))
        text = g->title();
    else if (auto* l = qobject_cast<QLabel*>(c))
        text = l->text();
    else if (auto* e = qobject_cast<QLineEdit*>(c))
        text = e->text();
    else if (auto* cb = qobject_cast<QComboBox*>(c))
        text = cb->currentText();
    else if (auto* pt = qobject_cast<QPlainTextEdit*>(c))
        text = pt->toPlainText();
    else if (auto* pb = qobject_cast<ProgressBar*>(c))
        text = pb->text();
    QCOMPARE(text, caption);
}

void TestUpConfig::captionAndFrame() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    const QString caption = w.windowTitle();
    QCOMPARE(caption.size(), 40);
    QCOMPARE(caption.at(12), QChar(0x00B5));
    QCOMPARE(caption, QString::fromUtf8("Ethernet PIC\xC2\xB5VELTA Device  BootLoader V2"));
    QCOMPARE(w.size(), QSize(401, 219));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(control<QCheckBox>(w, "Check1")->isChecked());
    // Controls over a frame are drawn in front of it.
    const QObjectList& kids = w.children();
    QVERIFY(kids.indexOf(control<QPushButton>(w, "Command3")) >
            kids.indexOf(control<QGroupBox>(w, "Frame8")));
    QVERIFY(kids.indexOf(w.progressBar()) > kids.indexOf(control<QGroupBox>(w, "Frame1")));
}

void TestUpConfig::progressBarStartsEmptyBlueNoFile() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    ProgressBar* bar = w.progressBar();
    QCOMPARE(bar->text(), QStringLiteral("NO FILE"));
    QCOMPARE(bar->barColor(), 0xFF0000u);
    QCOMPARE(bar->foreColor(), 0u);
    QCOMPARE(bar->value(), 0);

    // The picture: black text over an empty (white) bar, with no blue fill yet.
    w.show();
    w.flushScreen();
    const QImage img = bar->grab().toImage();
    bool anyBlue = false, anyBlack = false;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            anyBlue |= c.blue() > 200 && c.red() < 60 && c.green() < 60;
            anyBlack |= c.red() < 40 && c.green() < 40 && c.blue() < 40 && x > 20 && x < img.width() - 20;
        }
    QVERIFY(!anyBlue);
    QVERIFY(anyBlack);

    bar->setMax(10);
    bar->setValue(5);
    bar->flushRepaint();
    const QImage half = bar->grab().toImage();
    QCOMPARE(half.pixelColor(10, half.height() / 2), QColor(0, 0, 255));
    QVERIFY(half.pixelColor(half.width() - 10, half.height() / 2) != QColor(0, 0, 255));
}

void TestUpConfig::startupFieldsAndTimer() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    QCOMPARE(w.CrLf, QStringLiteral("\r\n"));
    QCOMPARE(w.LinkSilence, qint16(50));
    QCOMPARE(w.tbRemotePort, QStringLiteral("111"));
    QCOMPARE(w.Connected, qint16(0));
    QCOMPARE(w.Transfer.LineCount, qint16(0));
    QCOMPARE(w.Transfer.LineStore.size(), size_t(9001));
    QVERIFY(w.timer1().isActive());
    QCOMPARE(w.timer1().interval(), 200);
    // The first tick already shows the link lost.
    w.Timer1_Timer();
    QCOMPARE(w.LinkSilence, qint16(51));
    QVERIFY(control<QLabel>(w, "NoConnect")->isVisibleTo(&w));
    QVERIFY(!control<QLabel>(w, "YesConnect")->isVisibleTo(&w));
    // Nothing went out at start: no process, no pause, no box.
    QVERIFY(fake.launched.isEmpty());
    QVERIFY(fake.boxes.isEmpty());
}

void TestUpConfig::localPortRangeAndSpread() {
    ScratchFolder folder;
    FakeServices fake;
    QList<int> buckets(10, 0);
    QSet<int> distinct;
    const int starts = 200;
    for (int i = 0; i < starts; ++i) {
        UP_config w(fake.services());
        const QString text = w.tbLocalPort;
        QCOMPARE(text.size(), 4);
        bool ok = false;
        const int port = text.toInt(&ok);
        QVERIFY(ok);
        QCOMPARE(QString::number(port), text); // plain digits
        QVERIFY(port >= 5500 && port <= 6499);
        ++buckets[(port - 5500) / 100];
        distinct << port;
    }
    // Spread: every hundred gets some ports and the ports differ between starts.
    for (int b : buckets)
        QVERIFY2(b >= 5, qPrintable(QStringLiteral("bucket with only %1 of %2").arg(b).arg(starts)));
    QVERIFY(distinct.size() > starts / 2);
}

void TestUpConfig::closingSavesNothing() {
    ScratchFolder folder;
    QFile f(folder.file(QStringLiteral("VELTA_BOOTLOADER.ini")));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("10.0.0.1\r\n");
    f.close();
    FakeServices fake;
    {
        UP_config w(fake.services());
        w.show();
        control<QComboBox>(w, "ComboRemoteIP")->setEditText(QStringLiteral("127.0.0.9"));
        w.Add_ip_Click();
        QVERIFY(w.close());
    }
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("10.0.0.1\r\n"));
}

void TestUpConfig::addressBookLoad_data() {
    QTest::addColumn<QByteArray>("file"); // "<none>" for no file at all
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("shown");

    const QStringList fallback{QStringLiteral("192.168.1.25")};
    QTest::newRow("no file") << QByteArray("<none>") << fallback << fallback.first();
    QTest::newRow("a FIFO: not waited on") << QByteArray("<fifo>") << fallback << fallback.first();
    QTest::newRow("zero bytes") << QByteArray() << fallback << fallback.first();
    QTest::newRow("only empty lines") << QByteArray("\r\n\r\n\n\r") << fallback << fallback.first();
    QTest::newRow("only blanks") << QByteArray("   \r\n  ") << fallback << fallback.first();
    QTest::newRow("empty line between")
        << QByteArray("10.0.0.2\r\n\r\n10.0.0.1\r\n") << QStringList{"10.0.0.1", "10.0.0.2"} << "10.0.0.1";
    QTest::newRow("comma splits") << QByteArray("10.0.0.2,10.0.0.3\r\n")
                                  << QStringList{"10.0.0.2", "10.0.0.3"} << "10.0.0.2";
    QTest::newRow("quotes dropped") << QByteArray("\"10.0.0.4\"\r\n") << QStringList{"10.0.0.4"}
                                    << "10.0.0.4";
    QTest::newRow("quoted comma kept") << QByteArray("\"a,b\"\r\n") << QStringList{"a,b"} << "a,b";
    QTest::newRow("leading blanks") << QByteArray("   10.0.0.5\r\n") << QStringList{"10.0.0.5"} << "10.0.0.5";
    QTest::newRow("unsorted, case-insensitive")
        << QByteArray("zeta\r\nAlpha\r\nbeta\r\n10.1.1.1\r\n")
        << QStringList{"10.1.1.1", "Alpha", "beta", "zeta"} << "10.1.1.1";
    QTest::newRow("LF only") << QByteArray("b.local\na.local\n") << QStringList{"a.local", "b.local"}
                             << "a.local";
    QTest::newRow("CR only") << QByteArray("b.local\ra.local\r") << QStringList{"a.local", "b.local"}
                             << "a.local";
    QTest::newRow("no final line end") << QByteArray("10.0.0.6") << QStringList{"10.0.0.6"} << "10.0.0.6";
    QTest::newRow("duplicates kept") << QByteArray("x\r\nx\r\n") << QStringList{"x", "x"} << "x";
    QTest::newRow("Latin-1 byte") << QByteArray("h\xF6st\r\n") << QStringList{QString::fromLatin1("h\xF6st")}
                                  << QString::fromLatin1("h\xF6st");
}

void TestUpConfig::addressBookLoad() {
    QFETCH(QByteArray, file);
    QFETCH(QStringList, list);
    QFETCH(QString, shown);
    ScratchFolder folder;
    if (file == "<fifo>") {
        QCOMPARE(::mkfifo("VELTA_BOOTLOADER.ini", 0600), 0);
    } else if (file != "<none>") {
        QFile f(folder.file(QStringLiteral("VELTA_BOOTLOADER.ini")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(file);
    }
    FakeServices fake;
    UP_config w(fake.services());
    auto* combo = control<QComboBox>(w, "ComboRemoteIP");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    QCOMPARE(items, list);
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(combo->currentText(), shown);
    QVERIFY(fake.boxes.isEmpty());
}

namespace {
QStringList items(QComboBox* combo) {
    QStringList l;
    for (int i = 0; i < combo->count(); ++i)
        l << combo->itemText(i);
    return l;
}

// What an operator does: type into the box, pick from its drop-down list, press a button.
void type(QComboBox* combo, const QString& text) {
    QTest::mouseClick(combo->lineEdit(), Qt::LeftButton);
    QVERIFY(combo->lineEdit()->hasFocus());
    combo->lineEdit()->selectAll();
    QTest::keyClick(combo->lineEdit(), Qt::Key_Backspace);
    QTest::keyClicks(combo->lineEdit(), text);
}
void pick(QComboBox* combo, int index) {
    combo->showPopup();
    QAbstractItemView* view = combo->view();
    QVERIFY(QTest::qWaitForWindowExposed(view->window()));
    const QRect item = view->visualRect(view->model()->index(index, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
    QTRY_VERIFY(!view->isVisible());
}
void press(UP_config& w, const char* button) {
    QTest::mouseClick(control<QPushButton>(w, button), Qt::LeftButton);
}
} // namespace

void TestUpConfig::addressBoxAsOperatorsUseIt() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto* combo = control<QComboBox>(w, "ComboRemoteIP");

    // "Add" with nothing typed adds nothing; twice the same text gives two entries, sorted
    // case-insensitively.
    type(combo, QString());
    press(w, "Add_ip");
    QCOMPARE(items(combo), QStringList{"192.168.1.25"});
    for (const char* e : {"127.0.0.10", "127.0.0.10", "Beta", "alpha"}) {
        type(combo, QString::fromLatin1(e));
        press(w, "Add_ip");
    }
    QCOMPARE(items(combo), (QStringList{"127.0.0.10", "127.0.0.10", "192.168.1.25", "alpha", "Beta"}));

    // Typed text is taken as typed: no completion to a longer entry.
    type(combo, QStringLiteral("127.0.0.1"));
    QCOMPARE(combo->currentText(), QStringLiteral("127.0.0.1"));
    press(w, "Add_ip");
    QCOMPARE(items(combo).mid(0, 2), (QStringList{"127.0.0.1", "127.0.0.10"}));
    QCOMPARE(combo->currentText(), QStringLiteral("127.0.0.1"));

    // Typed text selects nothing, even an entry's exact text: "Del" removes nothing.
    type(combo, QStringLiteral("alpha"));
    press(w, "Del_ip");
    QCOMPARE(items(combo).size(), 6);

    // A picked entry goes, once: Qt's choice of a neighbour is no pick, and the box is empty.
    pick(combo, 4);
    QCOMPARE(combo->currentText(), QStringLiteral("alpha"));
    press(w, "Del_ip");
    press(w, "Del_ip");
    QCOMPARE(items(combo), (QStringList{"127.0.0.1", "127.0.0.10", "127.0.0.10", "192.168.1.25", "Beta"}));
    QCOMPARE(combo->currentText(), QString());

    // Start-up selects the first entry: "Del" removes it. Into the emptied list "Add" puts an
    // entry that is not picked for all that Qt shows it.
    ScratchFolder other;
    UP_config fresh(fake.services());
    fresh.show();
    QVERIFY(QTest::qWaitForWindowActive(&fresh));
    auto* box = control<QComboBox>(fresh, "ComboRemoteIP");
    press(fresh, "Del_ip");
    QCOMPARE(box->count(), 0);
    type(box, QStringLiteral("10.0.0.1"));
    press(fresh, "Add_ip");
    press(fresh, "Del_ip");
    QCOMPARE(items(box), QStringList{"10.0.0.1"});
    QVERIFY(!QFile::exists(folder.file(QStringLiteral("VELTA_BOOTLOADER.ini"))));
    QVERIFY(fake.boxes.isEmpty());
}

void TestUpConfig::tabMovesThroughTheWindow() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const QStringList expected = {"cbBind",   "ComboRemoteIP", "Add_ip",   "Del_ip",    "SaveIP",
                                  "Text3",    "Command5",      "Text9",    "Check1",    "Text10",
                                  "Command1", "Text11",        "Command6", "Command7",  "Command8",
                                  "Command9", "Command10",     "Command2", "cbBind"};
    // Command3 is disabled at start, so the focus skips it; the editable box's line edit stands
    // for the box.
    control<QWidget>(w, "cbBind")->setFocus();
    QStringList seen{QApplication::focusWidget()->objectName()};
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* f = QApplication::focusWidget();
        seen << (f->objectName().isEmpty() ? f->parentWidget()->objectName() : f->objectName());
    }
    QCOMPARE(seen, expected);
    QVERIFY(control<QPlainTextEdit>(w, "Text3")->toPlainText().isEmpty()); // no tab typed into it
}

void TestUpConfig::saveWritesExactBytesAndReloads() {
    ScratchFolder folder;
    FakeServices fake;
    const QString path = folder.file(QStringLiteral("VELTA_BOOTLOADER.ini"));
    {
        UP_config w(fake.services());
        auto* combo = control<QComboBox>(w, "ComboRemoteIP");
        for (const char* e : {"10.0.0.2", "device.local"}) {
            combo->setEditText(QString::fromLatin1(e));
            w.Add_ip_Click();
        }
        w.SaveIP_Click();
        QVERIFY(fake.boxes.isEmpty());
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("10.0.0.2\r\n192.168.1.25\r\ndevice.local\r\n"));
        QVERIFY(QDir(folder.path()).entryList(QDir::Files).size() == 1); // no temporary left behind
    }
    {
        UP_config w(fake.services());
        auto* combo = control<QComboBox>(w, "ComboRemoteIP");
        QCOMPARE(combo->count(), 3);
        QCOMPARE(combo->currentText(), QStringLiteral("10.0.0.2"));
        // An empty list saves an empty file, which loads as the default entry.
        combo->clear();
        w.SaveIP_Click();
        QCOMPARE(QFileInfo(path).size(), 0);
    }
    UP_config w(fake.services());
    QCOMPARE(control<QComboBox>(w, "ComboRemoteIP")->currentText(), QStringLiteral("192.168.1.25"));
}

void TestUpConfig::saveFailureKeepsListAndFile() {
    // A folder in the file's place defeats the save even for root.
    ScratchFolder folder;
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("VELTA_BOOTLOADER.ini")));
    FakeServices fake;
    UP_config w(fake.services());
    auto* combo = control<QComboBox>(w, "ComboRemoteIP");
    combo->setEditText(QStringLiteral("10.9.9.9"));
    w.Add_ip_Click();
    w.SaveIP_Click();
    QCOMPARE(fake.boxes.size(), 1);
    QVERIFY(fake.boxes[0].title.startsWith(QStringLiteral("Error#")));
    bool ok = false;
    QVERIFY(fake.boxes[0].title.mid(6).toInt(&ok) > 0 && ok);
    QCOMPARE(fake.boxes[0].icon, MessageIcon::Critical);
    QVERIFY(!fake.boxes[0].text.isEmpty());
    QCOMPARE(combo->count(), 2);
    QVERIFY(QFileInfo(folder.file(QStringLiteral("VELTA_BOOTLOADER.ini"))).isDir());
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 0); // no temporary left behind
}

void TestUpConfig::failedSaveLeavesEarlierFileWhole() {
    // An immutable file cannot be replaced even by root, so the save fails after it has written
    // its new content somewhere: the earlier book must come through untouched.
    ScratchFolder folder;
    const QString path = folder.file(QStringLiteral("VELTA_BOOTLOADER.ini"));
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("10.0.0.1\r\n10.0.0.2\r\n");
    }
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) != 0)
        QSKIP("this file system cannot make a file immutable");
    FakeServices fake;
    UP_config w(fake.services());
    auto* combo = control<QComboBox>(w, "ComboRemoteIP");
    combo->setEditText(QStringLiteral("10.0.0.3"));
    w.Add_ip_Click();
    w.SaveIP_Click();
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
    QCOMPARE(fake.boxes.size(), 1);
    QCOMPARE(fake.boxes[0].title, QStringLiteral("Error#70"));
    QCOMPARE(fake.boxes[0].text, QStringLiteral("Permission denied"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("10.0.0.1\r\n10.0.0.2\r\n"));
    QCOMPARE(combo->count(), 3);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files).size(), 1); // no temporary left behind
}

QTEST_MAIN(TestUpConfig)
#include "test_up_config.moc"
