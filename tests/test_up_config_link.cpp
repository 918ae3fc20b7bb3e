// Connect, the bytes every button puts on the wire, the receive path and the watchdog,
// with a real device stand-in on loopback.
#include "test_support.h"

#include <QNetworkInterface>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

class TestUpConfigLink : public QObject {
    Q_OBJECT

private slots:
    void connectSucceeds();
    void connectFailures_data();
    void connectFailures();
    void disconnectRestoresIdle();
    void connectKeepsBarText();
    void remoteHosts_data();
    void remoteHosts();
    void disconnectAbandonsLookUp();
    void onlyTheDeviceIsHeard();

    void buttons_data();
    void buttons();
    void setAddress_data();
    void setAddress();
    void gatewaySettingsReadAtEverySend();
    void closedSessionSendsNothing();
    void sendKeepsTextWhileClosed();

    void receivePathConsole();
    void receiveTrimsSpacesOnly();
    void burstIsProcessedOneByOne();
    void hostileDatagrams();
    void watchdog();
};

void TestUpConfigLink::connectSucceeds() {
    Session s(true);
    QCOMPARE(s.bootInfo, QByteArray("MDB 16,OOTi\r\n"));
    QCOMPARE(s.w->Connected, qint16(1));
    QCOMPARE(control<QPushButton>(*s.w, "cbBind")->text(), QStringLiteral("Disconnect"));
    QVERIFY(control<QPushButton>(*s.w, "Command3")->isEnabled());
    QCOMPARE(s.w->LinkSilence, qint16(0));
    QCOMPARE(s.fake.launched,
             QStringList{arpFlushCommand().program + " " + arpFlushCommand().arguments.join(' ')});
    QCOMPARE(s.fake.sleeps, QList<int>{100});
    QCOMPARE(s.w->progressBar()->barColor(), 0x800000u);
    QCOMPARE(s.w->progressBar()->value(), 0);
    QVERIFY(s.fake.boxes.isEmpty());
    // A silent device still shows alive at the next tick, because the count restarted.
    s.w->Timer1_Timer();
    QVERIFY(control<QLabel>(*s.w, "YesConnect")->isVisibleTo(s.w.get()));

    Session direct(false);
    QCOMPARE(direct.bootInfo, QByteArray("OOTi\r\n"));
}

void TestUpConfigLink::connectFailures_data() {
    QTest::addColumn<QString>("remotePort");
    QTest::addColumn<bool>("takeLocalPort");
    QTest::newRow("local port taken") << QString() << true;
    QTest::newRow("remote port not a number") << QStringLiteral("abc") << false;
    QTest::newRow("remote port out of range") << QStringLiteral("70000") << false;
    QTest::newRow("remote port beyond 32 bits") << QStringLiteral("99999999999") << false;
}

void TestUpConfigLink::connectFailures() {
    QFETCH(QString, remotePort);
    QFETCH(bool, takeLocalPort);
    ScratchFolder folder;
    FakeServices fake;
    LoopbackPeer peer;
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0));
    UP_config w(fake.services());
    control<QComboBox>(w, "ComboRemoteIP")->setEditText(QStringLiteral("127.0.0.1"));
    w.tbRemotePort = remotePort.isEmpty() ? QString::number(peer.port()) : remotePort;
    w.tbLocalPort = takeLocalPort ? QString::number(holder.localPort()) : QStringLiteral("0");
    w.Timer1_Timer();
    w.cbBind_Click();
    QCOMPARE(w.Connected, qint16(0));
    QCOMPARE(control<QPushButton>(w, "cbBind")->text(), QStringLiteral("Connect"));
    QVERIFY(control<QLabel>(w, "NoConnect")->isVisibleTo(&w));
    QVERIFY(!control<QLabel>(w, "YesConnect")->isVisibleTo(&w));
    QCOMPARE(w.winsock().state(), 0);
    QVERIFY(fake.boxes.isEmpty());
    QVERIFY(peer.take(100).isEmpty());
    // The attempt had already reset the bar; nothing of that is undone.
    QCOMPARE(w.progressBar()->barColor(), 0x800000u);

    // The next press tries again from the start, ARP flush included.
    w.tbRemotePort = QString::number(peer.port());
    w.tbLocalPort = QStringLiteral("0");
    w.cbBind_Click();
    QCOMPARE(w.Connected, qint16(1));
    QCOMPARE(fake.launched.size(), 2);
    QCOMPARE(peer.takeOne(), QByteArray("MDB 16,OOTi\r\n"));
}

void TestUpConfigLink::disconnectRestoresIdle() {
    Session s;
    s.w->tbReceiveData = QStringLiteral("x");
    s.w->Transfer.TransferArmed = 1;
    s.w->Transfer.VerifyPhase = 1;
    s.w->Transfer.LinePos = 7;
    s.w->progressBar()->setText(QStringLiteral("VERIFY"));
    s.w->progressBar()->setValue(7);
    s.w->progressBar()->setBarColor(255);
    s.w->Timer1_Timer();
    s.w->cbBind_Click();
    QCOMPARE(s.w->Connected, qint16(0));
    QCOMPARE(s.w->winsock().state(), 0);
    QCOMPARE(control<QPushButton>(*s.w, "cbBind")->text(), QStringLiteral("Connect"));
    QVERIFY(!control<QPushButton>(*s.w, "Command3")->isEnabled());
    QVERIFY(s.w->tbReceiveData.isEmpty());
    QVERIFY(control<QLabel>(*s.w, "NoConnect")->isVisibleTo(s.w.get()));
    QVERIFY(!control<QLabel>(*s.w, "YesConnect")->isVisibleTo(s.w.get()));
    QCOMPARE(s.w->LinkSilence, qint16(51));
    QCOMPARE(s.w->Transfer.TransferArmed, qint16(0));
    QCOMPARE(s.w->Transfer.VerifyPhase, qint16(0));
    QCOMPARE(s.w->Transfer.LinePos, qint16(0));
    QCOMPARE(s.w->progressBar()->text(), QStringLiteral("NO FILE"));
    QCOMPARE(s.w->progressBar()->value(), 0);
    QCOMPARE(s.w->progressBar()->barColor(), 0x800000u);
    // Nothing is sent while closed, and no process is started by a disconnect.
    QCOMPARE(s.fake.launched.size(), 1);
    s.w->Command7_Click();
    QVERIFY(s.peer.take(100).isEmpty());
}

void TestUpConfigLink::connectKeepsBarText() {
    Session s;
    s.w->progressBar()->setText(QStringLiteral("END"));
    s.w->cbBind_Click(); // disconnect sets "NO FILE"
    s.w->progressBar()->setText(QStringLiteral("ERROR"));
    s.w->progressBar()->setValue(3);
    s.w->Transfer.TransferArmed = 1;
    s.w->cbBind_Click();
    QCOMPARE(s.w->progressBar()->text(), QStringLiteral("ERROR"));
    QCOMPARE(s.w->progressBar()->value(), 0);
    QCOMPARE(s.w->Transfer.TransferArmed, qint16(0));
    QCOMPARE(s.peer.takeOne(), QByteArray("MDB 16,OOTi\r\n"));
}

void TestUpConfigLink::remoteHosts_data() {
    QTest::addColumn<QString>("host");     // typed into the address box
    QTest::addColumn<QString>("peerAt");   // where the device listens
    QTest::addColumn<bool>("answers");     // the boot-information request reaches it
    // A name is looked up in the background: the request goes out when the answer comes.
    QTest::newRow("name") << "localhost" << "127.0.0.1" << true;
    QTest::newRow("IPv4 literal") << "127.0.0.1" << "127.0.0.1" << true;
    QTest::newRow("IPv6 literal") << "::1" << "::1" << true;
    QTest::newRow("name that does not resolve") << "no-such-device.invalid" << "127.0.0.1" << false;
}

void TestUpConfigLink::remoteHosts() {
    QFETCH(QString, host);
    QFETCH(QString, peerAt);
    QFETCH(bool, answers);
    ScratchFolder folder;
    FakeServices fake;
    QUdpSocket peer;
    if (!peer.bind(QHostAddress(peerAt), 0))
        QSKIP("no such loopback address here");
    UP_config w(fake.services());
    control<QComboBox>(w, "ComboRemoteIP")->setEditText(host);
    w.tbRemotePort = QString::number(peer.localPort());
    w.tbLocalPort = QStringLiteral("0");
    QSignalSpy lookedUp(&w.winsock(), &UdpSocketControl::remoteHostLookedUp);
    w.cbBind_Click();
    QCOMPARE(w.Connected, qint16(1));
    // A literal is known at once; a name only once looked up, and until then nothing goes out.
    const bool literal = !QHostAddress(host).isNull();
    QCOMPARE(w.UDP_Send(QStringLiteral("OOTi\r\n")), qint16(literal));
    QVERIFY(runUntil([&] { return peer.hasPendingDatagrams() || lookedUp.count() > 0; }, 10000));
    QVERIFY(runUntil([&] { return peer.hasPendingDatagrams() == answers; }, 1000));
    if (!answers) {
        // Every send fails until the next connect; the session stays open.
        QCOMPARE(w.UDP_Send(QStringLiteral("OOTi\r\n")), qint16(0));
        QCOMPARE(control<QPushButton>(w, "cbBind")->text(), QStringLiteral("Disconnect"));
        return;
    }
    QNetworkDatagram request;
    for (int i = 0; i < 1 + int(literal); ++i) {
        QVERIFY(runUntil([&] { return peer.hasPendingDatagrams(); }, 1000));
        request = peer.receiveDatagram();
        QCOMPARE(request.data(), QByteArray("MDB 16,OOTi\r\n"));
    }
    QVERIFY(!peer.hasPendingDatagrams());
    // The device's answer reaches the window, whatever form its address takes.
    QSignalSpy arrivals(&w.winsock(), &UdpSocketControl::dataArrival);
    peer.writeDatagram("VER=1\r\n", request.senderAddress(), quint16(request.senderPort()));
    QVERIFY(runUntil([&] { return arrivals.count() == 1; }, 2000));
    QCOMPARE(w.Text8, QStringLiteral("VER=1\r\n"));
}

void TestUpConfigLink::disconnectAbandonsLookUp() {
    ScratchFolder folder;
    FakeServices fake;
    LoopbackPeer peer;
    UP_config w(fake.services());
    control<QComboBox>(w, "ComboRemoteIP")->setEditText(QStringLiteral("localhost"));
    w.tbRemotePort = QString::number(peer.port());
    w.tbLocalPort = QStringLiteral("0");
    w.cbBind_Click();
    w.cbBind_Click();
    QVERIFY(!w.winsock().remoteHostPending());
    QVERIFY(peer.take(300).isEmpty());
}

void TestUpConfigLink::onlyTheDeviceIsHeard() {
    Session s;
    QSignalSpy spy(&s.w->winsock(), &UdpSocketControl::dataArrival);
    s.w->Transfer.TransferArmed = 1;
    s.w->Transfer.LineCount = 3;
    s.w->Timer1_Timer();
    // Outsiders on another address: not shown, not dispatched, no sign of life.
    QUdpSocket outsider;
    QVERIFY(outsider.bind(QHostAddress("127.0.0.2"), 0));
    for (int i = 0; i < 2; ++i)
        outsider.writeDatagram("DOWNLOAD\r\n", QHostAddress::LocalHost, s.w->winsock().localPort());
    // The device answering from another port (a gateway may) is heard.
    QUdpSocket gatewayPort;
    QVERIFY(gatewayPort.bind(QHostAddress::LocalHost, 0));
    gatewayPort.writeDatagram("from the gateway", QHostAddress::LocalHost, s.w->winsock().localPort());
    QVERIFY(s.waitArrivals(spy, 1));
    QTest::qWait(100);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(s.w->Text8, QStringLiteral("from the gateway"));
    QCOMPARE(s.w->progressBar()->text(), QStringLiteral("NO FILE"));
    QCOMPARE(s.w->Transfer.VerifyPhase, qint16(0));
    QCOMPARE(s.w->LinkSilence, qint16(1));

    // Replies may come from anyone only where the device is a broadcast or multicast address.
    for (const char* group : {"255.255.255.255", "224.0.0.1", "239.255.0.7", "ff02::1"})
        QVERIFY2(isGroupAddress(QHostAddress(QString::fromLatin1(group))), group);
    for (const char* one : {"127.0.0.1", "192.168.1.25", "::1"})
        QVERIFY2(!isGroupAddress(QHostAddress(QString::fromLatin1(one))), one);
    for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces())
        for (const QNetworkAddressEntry& e : nic.addressEntries())
            if (!e.broadcast().isNull())
                QVERIFY(isGroupAddress(e.broadcast()));
}

void TestUpConfigLink::buttons_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("gateway");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("text11");
    QTest::addColumn<QByteArray>("wire");

    const QString t = QStringLiteral("say \"hi\"");
    QTest::newRow("Boot Info, gateway") << "Command7" << true << "16"
                                        << "" << QByteArray("MDB 16,OOTi\r\n");
    QTest::newRow("Boot Info, direct") << "Command7" << false << "16"
                                       << "" << QByteArray("OOTi\r\n");
    QTest::newRow("Install, gateway") << "Command5" << true << "16"
                                      << "" << QByteArray("MDB 16,OOTg\r\n");
    QTest::newRow("Install, direct") << "Command5" << false << "16"
                                     << "" << QByteArray("OOTg\r\n");
    QTest::newRow("Set Addr, gateway") << "Command1" << true << "16"
                                       << "" << QByteArray("MDB 16,OOT$0A\r\n");
    QTest::newRow("Set Addr, direct") << "Command1" << false << "16"
                                      << "" << QByteArray("OOT$0A\r\n");
    QTest::newRow("?, gateway") << "Command2" << true << "16"
                                << "" << QByteArray("MDC 16,\"STATUS\"\r\n");
    QTest::newRow("?, direct") << "Command2" << false << "16"
                               << "" << QByteArray("STATUS\r\n");
    QTest::newRow("VER, gateway") << "Command9" << true << "16"
                                  << "" << QByteArray("MDC 16,\"VER\"\r\n");
    QTest::newRow("VER, direct") << "Command9" << false << "16"
                                 << "" << QByteArray("VER\r\n");
    QTest::newRow("VER, empty address") << "Command9" << true << ""
                                        << "" << QByteArray("MDC ,\"VER\"\r\n");
    QTest::newRow("Boot Info, empty address") << "Command7" << true << ""
                                              << "" << QByteArray("MDB ,OOTi\r\n");
    QTest::newRow("Boot Info, address with blanks") << "Command7" << true << " 1 x"
                                                    << "" << QByteArray("MDB  1 x,OOTi\r\n");
    QTest::newRow("Send Device, gateway, quotes")
        << "Command10" << true << "16" << t << QByteArray("MDC 16,\"say \"hi\"\"\r\n");
    QTest::newRow("Send Device, direct") << "Command10" << false << "16" << t << QByteArray("say \"hi\"\r\n");
    QTest::newRow("Send Device, empty, gateway") << "Command10" << true << "16"
                                                 << "" << QByteArray("MDC 16,\"\"\r\n");
    QTest::newRow("Send Device, empty, direct") << "Command10" << false << "16"
                                                << "" << QByteArray("\r\n");
    QTest::newRow("Send Device, outside Latin-1")
        << "Command10" << false << "16" << QString::fromUtf8("\xC3\xA9\xE2\x82\xAC!")
        << QByteArray("\xE9?!\r\n");
    QTest::newRow("Send, gateway is ignored")
        << "Command6" << true << "16" << t << QByteArray("say \"hi\"\r\n");
    QTest::newRow("Send, direct") << "Command6" << false << "16" << t << QByteArray("say \"hi\"\r\n");
    QTest::newRow("Send, outside Latin-1")
        << "Command6" << true << "16" << QString::fromUtf8("\xCE\xA9") << QByteArray("?\r\n");
    QTest::newRow("UART On, gateway is ignored") << "Command8" << true << "16"
                                                 << "" << QByteArray("UART 2,7\r\n");
    QTest::newRow("UART On, direct") << "Command8" << false << "16"
                                     << "" << QByteArray("UART 2,7\r\n");
}

void TestUpConfigLink::buttons() {
    QFETCH(QString, button);
    QFETCH(bool, gateway);
    QFETCH(QString, address);
    QFETCH(QString, text11);
    QFETCH(QByteArray, wire);
    Session s(gateway);
    control<QLineEdit>(*s.w, "Text9")->setText(address);
    control<QLineEdit>(*s.w, "Text11")->setText(text11);
    // Through the real button, as the operator presses it.
    QTest::mouseClick(control<QPushButton>(*s.w, qPrintable(button)), Qt::LeftButton);
    QCOMPARE(s.peer.takeOne(), wire);
    if (button == "Command10" || button == "Command6")
        QVERIFY(control<QLineEdit>(*s.w, "Text11")->text().isEmpty());
    if (button == "Command5")
        QCOMPARE(s.w->LinkSilence, qint16(50));
}

void TestUpConfigLink::setAddress_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire"); // empty: nothing goes out
    const auto row = [](const char* text, const char* digits) {
        QTest::newRow(text) << QString::fromLatin1(text)
                            << (digits ? QByteArray("OOT$") + digits + "\r\n" : QByteArray());
    };
    row("10", "0A");
    row("255", "FF");
    row("256", nullptr);
    row("300", "2C");
    row("-1", "FF");
    row("12.5", "0C");
    row("13.5", "0E");
    row("1E3", "E8");
    row("&H1F", "1F");
    row("&O17", "0F");
    row("0", nullptr);
    row("512", nullptr);
    row("", nullptr);
    row("abc", nullptr);
    row(" 1 0 ", "0A");
    row("1\t2", "0C");
    row("2147483647", "FF");
    row("-2147483647", "01");
    row("2147483649", nullptr); // outside 32 bits: nothing, where wrapping would give 01
    row("4294967297", nullptr);
    row("&HFFFFFFFF", "FF");
    row("&H1FFFFFFFF", nullptr);
    row("1E300", nullptr);
    row("1E999", nullptr);
    row("-2147483649", nullptr);
    row("7x9", "07");
}

void TestUpConfigLink::setAddress() {
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    Session s(false);
    control<QLineEdit>(*s.w, "Text10")->setText(text);
    s.w->Command1_Click();
    const QList<QByteArray> got = s.peer.take(wire.isEmpty() ? 100 : 1000);
    QCOMPARE(got, wire.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{wire});
    QVERIFY(s.fake.boxes.isEmpty());
}

void TestUpConfigLink::gatewaySettingsReadAtEverySend() {
    Session s(true);
    s.w->Command9_Click();
    QCOMPARE(s.peer.takeOne(), QByteArray("MDC 16,\"VER\"\r\n"));
    control<QLineEdit>(*s.w, "Text9")->setText(QStringLiteral("3"));
    s.w->Command9_Click();
    QCOMPARE(s.peer.takeOne(), QByteArray("MDC 3,\"VER\"\r\n"));
    control<QCheckBox>(*s.w, "Check1")->setChecked(false);
    s.w->Command9_Click();
    QCOMPARE(s.peer.takeOne(), QByteArray("VER\r\n"));
    // The send procedures report what happened; a line too short to cut is not sent.
    control<QCheckBox>(*s.w, "Check1")->setChecked(true);
    QCOMPARE(s.w->UDP_Send(QStringLiteral("OOTi\r\n")), qint16(1));
    QCOMPARE(s.w->UDP_Send(QStringLiteral("x")), qint16(0));
    QCOMPARE(s.w->UDP_Send_C(QString()), qint16(0));
    QCOMPARE(s.peer.take(), QList<QByteArray>{"MDB 3,OOTi\r\n"});
}

void TestUpConfigLink::closedSessionSendsNothing() {
    ScratchFolder folder;
    FakeServices fake;
    UP_config w(fake.services());
    QCOMPARE(w.UDP_Send(QStringLiteral("OOTi\r\n")), qint16(0));
    QCOMPARE(w.UDP_Send_C(QStringLiteral("VER\r\n")), qint16(0));
    control<QLineEdit>(w, "Text11")->setText(QStringLiteral("abc"));
    for (const char* b :
         {"Command7", "Command5", "Command1", "Command2", "Command9", "Command8", "Command10"})
        QTest::mouseClick(control<QPushButton>(w, b), Qt::LeftButton);
    // "Send Device" clears the text whether or not the line went out.
    QVERIFY(control<QLineEdit>(w, "Text11")->text().isEmpty());
    QVERIFY(fake.boxes.isEmpty());
    QCOMPARE(w.winsock().state(), 0);
}

void TestUpConfigLink::sendKeepsTextWhileClosed() {
    Session s;
    s.w->cbBind_Click();
    control<QLineEdit>(*s.w, "Text11")->setText(QStringLiteral("keep me"));
    s.w->Command6_Click();
    QCOMPARE(control<QLineEdit>(*s.w, "Text11")->text(), QStringLiteral("keep me"));
    QVERIFY(s.peer.take(100).isEmpty());
}

void TestUpConfigLink::receivePathConsole() {
    Session s;
    QSignalSpy spy(&s.w->winsock(), &UdpSocketControl::dataArrival);
    s.deliver("first");
    QVERIFY(s.waitArrivals(spy, 1));
    QCOMPARE(s.w->text3(), QStringLiteral("\r\n\r\n\r\n\r\n\r\nfirst"));
    QCOMPARE(s.w->LinkSilence, qint16(1));
    QCOMPARE(s.w->tbReceiveData, QStringLiteral("first"));
    QCOMPARE(s.w->Text8, QStringLiteral("first"));
    // The widget catches up within a frame, caret at the end.
    auto* text3 = control<QPlainTextEdit>(*s.w, "Text3");
    QTRY_COMPARE_WITH_TIMEOUT(text3->toPlainText(), QStringLiteral("\n\n\n\n\nfirst"), 1000);
    QCOMPARE(text3->textCursor().position(), text3->toPlainText().size());

    for (int i = 2; i <= 7; ++i)
        s.deliver("r" + QByteArray::number(i));
    QVERIFY(s.waitArrivals(spy, 7));
    QCOMPARE(s.w->text3(), QStringLiteral("r2\r\nr3\r\nr4\r\nr5\r\nr6\r\nr7"));
    QCOMPARE(s.w->Text7.at(0), QStringLiteral("r7"));
    QCOMPARE(s.w->Text7.at(5), QStringLiteral("r2"));
}

void TestUpConfigLink::receiveTrimsSpacesOnly() {
    Session s;
    QSignalSpy spy(&s.w->winsock(), &UdpSocketControl::dataArrival);
    s.deliver("OK   ");
    s.deliver("VER=1 \t \r\n");
    QVERIFY(s.waitArrivals(spy, 2));
    QCOMPARE(s.w->tbReceiveData, QStringLiteral("VER=1 \t \r\n"));
    QCOMPARE(s.w->Text8, QStringLiteral("VER=1 \t \r\n"));
    QCOMPARE(s.w->Text7.at(1), QStringLiteral("OK"));
    QVERIFY(s.w->text3().endsWith(QStringLiteral("OK\r\nVER=1 \t \r\n")));
}

void TestUpConfigLink::burstIsProcessedOneByOne() {
    Session s;
    QSignalSpy spy(&s.w->winsock(), &UdpSocketControl::dataArrival);
    // Sent before the window runs its loop again, so they queue in the socket together.
    for (int i = 0; i < 20; ++i)
        s.deliver("n" + QByteArray::number(i));
    QVERIFY(s.waitArrivals(spy, 20));
    QCOMPARE(spy.count(), 20);
    QCOMPARE(s.w->Text8, QStringLiteral("n19"));
    QCOMPARE(s.w->Text7.at(5), QStringLiteral("n14"));
    for (int i = 0; i < 20; ++i)
        QCOMPARE(spy.at(i).at(0).toLongLong(), qint64(QByteArray("n" + QByteArray::number(i)).size()));
}

void TestUpConfigLink::hostileDatagrams() {
    Session s;
    QSignalSpy spy(&s.w->winsock(), &UdpSocketControl::dataArrival);
    const QByteArray big(65507, 'A');
    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(i));
    s.deliver(QByteArray());
    s.deliver(QByteArray("\0\0OK\0", 5));
    s.deliver(binary);
    s.deliver(big);
    QVERIFY(s.waitArrivals(spy, 4));
    QCOMPARE(s.w->tbReceiveData.size(), 65507);
    QCOMPARE(s.w->Text7.at(3), QString());
    QCOMPARE(s.w->Text7.at(2), QString::fromLatin1("\0\0OK\0", 5));
    QCOMPARE(s.w->Text7.at(1).size(), 256);
    QCOMPARE(s.w->Text7.at(1).at(255), QChar(0xFF));
    s.w->flushScreen();
    // Still alive: the next command goes out.
    s.w->Command9_Click();
    QCOMPARE(s.peer.takeOne(), QByteArray("MDC 16,\"VER\"\r\n"));
}

void TestUpConfigLink::watchdog() {
    Session s;
    QSignalSpy spy(&s.w->winsock(), &UdpSocketControl::dataArrival);
    auto* yes = control<QLabel>(*s.w, "YesConnect");
    auto* no = control<QLabel>(*s.w, "NoConnect");
    s.deliver("x");
    QVERIFY(s.waitArrivals(spy, 1));
    for (int i = 0; i < 49; ++i)
        s.w->Timer1_Timer();
    QCOMPARE(s.w->LinkSilence, qint16(50));
    QVERIFY(yes->isVisibleTo(s.w.get()) && !no->isVisibleTo(s.w.get()));
    s.w->Timer1_Timer();
    QCOMPARE(s.w->LinkSilence, qint16(51));
    QVERIFY(!yes->isVisibleTo(s.w.get()) && no->isVisibleTo(s.w.get()));
    for (int i = 0; i < 1000; ++i)
        s.w->Timer1_Timer();
    QCOMPARE(s.w->LinkSilence, qint16(51));

    // A datagram while lost: the picture changes only at the next tick.
    s.deliver("y");
    QVERIFY(s.waitArrivals(spy, 2));
    QCOMPARE(s.w->LinkSilence, qint16(1));
    QVERIFY(no->isVisibleTo(s.w.get()));
    s.w->Timer1_Timer();
    QVERIFY(yes->isVisibleTo(s.w.get()) && !no->isVisibleTo(s.w.get()));

    // "Install VELTA" makes the next silent tick show lost.
    s.w->Command5_Click();
    s.w->Timer1_Timer();
    QVERIFY(no->isVisibleTo(s.w.get()));
}

QTEST_MAIN(TestUpConfigLink)
#include "test_up_config_link.moc"
