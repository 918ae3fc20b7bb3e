// The device link: connect and disconnect, the receive path with its console and watchdog,
// and the address book.
#include "up_config.h"

#include "address_book.h"
#include "commands.h"
#include "link_watchdog.h"
#include "text_file.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

void UP_config::cbBind_Click() {
    if (Connected == 0) {
        vbalProgressBar1->setValue(0);
        vbalProgressBar1->setBarColor(BarColor::Navy);
        const ProgramLine arp = arpFlushCommand();
        m_services.launchDetached(arp.program, arp.arguments);

        // Any refusal from here on falls back to the closed look without a message.
        Winsock1.setProtocol(UdpSocketControl::ProtocolUdp);
        const auto remotePort = UdpSocketControl::portNumber(tbRemotePort);
        bool bound = remotePort && Winsock1.setRemotePort(*remotePort);
        if (bound) {
            Winsock1.setRemoteHost(ComboRemoteIP->currentText());
            bound = Winsock1.bind(tbLocalPort);
        }
        if (!bound) {
            Winsock1.close();
            cbBind->setText(QStringLiteral("Connect"));
            showLinkLost();
            Connected = 0;
            return;
        }
        LinkSilence = LinkWatchdog::AfterConnect;
        Command3->setEnabled(true);
        Transfer.VerifyPhase = 0;
        Transfer.TransferArmed = 0;
        cbBind->setText(QStringLiteral("Disconnect"));
        Connected = 1;
        m_services.sleep(100);
        // A name still being looked up gets its request when the answer comes.
        m_bootInfoPending = Winsock1.remoteHostPending();
        if (!m_bootInfoPending) {
            // A request that cannot be sent does not undo the connect.
            UDP_Send(Commands::BootInfo + Commands::CrLf);
        }
    } else {
        Winsock1.close();
        m_bootInfoPending = false;
        tbReceiveData.clear();
        showLinkLost();
        LinkSilence = LinkWatchdog::Lost;
        Command3->setEnabled(false);
        Transfer.VerifyPhase = 0;
        Transfer.TransferArmed = 0;
        vbalProgressBar1->setValue(0);
        vbalProgressBar1->setBarColor(BarColor::Navy);
        Transfer.LinePos = 0;
        vbalProgressBar1->setText(QStringLiteral("NO FILE"));
        cbBind->setText(QStringLiteral("Connect"));
        Connected = 0;
    }
}

void UP_config::Winsock1_HostLookedUp(bool /*found*/) {
    // A name that cannot be resolved sends nothing: the send procedure finds no address.
    if (std::exchange(m_bootInfoPending, false) && Connected == 1)
        UDP_Send(Commands::BootInfo + Commands::CrLf);
}

void UP_config::showLinkLost() {
    YesConnect->setVisible(false);
    NoConnect->setVisible(true);
}

void UP_config::Winsock1_DataArrival(qint64 /*bytesTotal*/) {
    LinkSilence = LinkWatchdog::AfterDatagram;
    tbReceiveData = Winsock1.getData();
    const QString trimmed = trimTrailingSpaces(tbReceiveData);
    Text7.push(trimmed);
    m_text3 = Text7.consoleText(CrLf);
    // The console widget follows at a bounded rate; the text above is already current.
    m_consoleThrottle.request();
    Text8 = trimmed;
    dispatchReply();
}

void UP_config::Timer1_Timer() {
    const bool alive = LinkWatchdog::tick(LinkSilence);
    YesConnect->setVisible(alive);
    NoConnect->setVisible(!alive);
}

void UP_config::loadAddressBook() {
    // The file is closed again by the time it has been read; no handle outlives the load.
    QStringList entries = AddressBook::entriesFromFile(AddressBook::FileName);
    IniFileNumber = 0;
    AddressBook::sort(entries);
    ComboRemoteIP->clear();
    ComboRemoteIP->addItems(entries);
    ComboRemoteIP->setCurrentIndex(0);
    m_addressPicked = true;
}

void UP_config::ComboRemoteIP_Activated(int /*index*/) {
    m_addressPicked = true;
}

void UP_config::ComboRemoteIP_TextEdited(const QString& /*text*/) {
    m_addressPicked = false;
}

void UP_config::Add_ip_Click() {
    const QString text = ComboRemoteIP->currentText();
    if (text.isEmpty())
        return;
    QStringList items;
    for (int i = 0; i < ComboRemoteIP->count(); ++i)
        items << ComboRemoteIP->itemText(i);
    ComboRemoteIP->insertItem(int(AddressBook::sortedInsertIndex(items, text)), text);
    // Inserting must not change what the operator typed; the new entry is not picked, even
    // where Qt selects it by itself (the first entry of an empty list).
    ComboRemoteIP->setEditText(text);
    m_addressPicked = false;
}

void UP_config::Del_ip_Click() {
    // Only an entry the operator picked is selected: typed text selects nothing, even when it
    // equals an entry, and Qt's choice of a neighbour after a removal is no pick either.
    const int index = ComboRemoteIP->currentIndex();
    if (!std::exchange(m_addressPicked, false) || index < 0)
        return;
    ComboRemoteIP->removeItem(index);
    ComboRemoteIP->setCurrentIndex(-1);
    ComboRemoteIP->setEditText(QString());
}

void UP_config::SaveIP_Click() {
    QStringList items;
    for (int i = 0; i < ComboRemoteIP->count(); ++i)
        items << ComboRemoteIP->itemText(i);
    if (const auto error = writeFileAtomically(AddressBook::FileName, AddressBook::fileBytes(items)))
        showError(*error);
}
