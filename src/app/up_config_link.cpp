// The device link: connect and disconnect, the receive path with its console and watchdog,
// and the address book.
#include "app/up_config.h"

#include "core/conversation/vocabulary.h"
#include "core/io/files.h"
#include "core/link/address_book.h"
#include "core/link/link_watchdog.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
QString bootInfoCommand() {
    return QLatin1String(Protocol::Command::BootInfo) + QLatin1String(Protocol::LineEnd);
}
} // namespace

void UP_config::connectOrDisconnect() {
    if (!m_connected) {
        progressBar->setValue(0);
        progressBar->setBarColor(BarColor::Navy);
        const ProgramLine arp = arpFlushCommand();
        m_services.launchDetached(arp.program, arp.arguments);

        // Any refusal from here on falls back to the closed look without a message.
        const auto port = UdpSocketControl::portNumber(remotePortBox->text());
        bool bound = port && socket.setRemotePort(*port);
        if (bound) {
            socket.setRemoteHost(addressBox->currentText());
            bound = socket.bind(localPortBox->text());
        }
        if (!bound) {
            socket.close();
            connectButton->setText(QStringLiteral("Connect"));
            showLinkLost();
            m_connected = false;
            return;
        }
        m_linkSilence = LinkWatchdog::AfterConnect;
        // While a name is looked up nothing of a transfer may go out or be armed: the file waits
        // until the device's address is known, as does the connect's request.
        m_bootInfoPending = socket.remoteHostPending();
        openAndDownloadButton->setEnabled(!m_bootInfoPending);
        m_conversation.connected();
        connectButton->setText(QStringLiteral("Disconnect"));
        m_connected = true;
        m_services.sleep(100);
        // A request that cannot be sent does not undo the connect.
        if (!m_bootInfoPending)
            sendCommand(bootInfoCommand());
    } else {
        socket.close();
        m_bootInfoPending = false;
        m_receivedDatagram.clear();
        showLinkLost();
        m_linkSilence = LinkWatchdog::Lost;
        openAndDownloadButton->setEnabled(false);
        m_conversation.disconnected();
        progressBar->setValue(0);
        progressBar->setBarColor(BarColor::Navy);
        progressBar->setText(QStringLiteral("NO FILE"));
        connectButton->setText(QStringLiteral("Connect"));
        m_connected = false;
    }
}

void UP_config::hostLookedUp() {
    if (!std::exchange(m_bootInfoPending, false) || !m_connected)
        return;
    // Nothing can be armed yet (the open button was off), so the reply to this request meets
    // no transfer. A name that cannot be resolved sends nothing: the send finds no address.
    sendCommand(bootInfoCommand());
    openAndDownloadButton->setEnabled(true);
}

void UP_config::showLinkLost() {
    linkAliveImage->setVisible(false);
    linkLostImage->setVisible(true);
}

void UP_config::receiveDatagram() {
    m_linkSilence = LinkWatchdog::AfterDatagram;
    m_receivedDatagram = socket.getData();
    const QString trimmed = trimTrailingSpaces(m_receivedDatagram);
    m_replyHistory.push(trimmed);
    m_anyReply = true;
    // The console widget follows at a bounded rate; the history above is already current.
    m_consoleThrottle.request();
    m_lastReply = trimmed;
    dispatchReply();
}

QString UP_config::consoleText() const {
    return m_anyReply ? m_replyHistory.consoleText(QLatin1String(Protocol::LineEnd)) : QString();
}

void UP_config::watchdogTick() {
    const bool alive = LinkWatchdog::tick(m_linkSilence);
    linkAliveImage->setVisible(alive);
    linkLostImage->setVisible(!alive);
}

void UP_config::loadAddressBook() {
    // The file is closed again by the time it has been read; no handle outlives the load.
    QStringList entries = AddressBook::entriesFromFile(AddressBook::FileName);
    AddressBook::sort(entries);
    addressBox->clear();
    addressBox->addItems(entries);
    addressBox->setCurrentIndex(0);
    m_addressPicked = true;
}

void UP_config::addressPicked() {
    m_addressPicked = true;
}

void UP_config::addressTyped() {
    m_addressPicked = false;
}

void UP_config::addAddress() {
    const QString text = addressBox->currentText();
    if (text.isEmpty())
        return;
    QStringList items;
    for (int i = 0; i < addressBox->count(); ++i)
        items << addressBox->itemText(i);
    const int picked = m_addressPicked ? addressBox->currentIndex() : -1;
    const int at = int(AddressBook::sortedInsertIndex(items, text));
    addressBox->insertItem(at, text);
    if (picked >= 0) {
        // A picked entry stays the chosen one. Its own text is what is added, and the insert goes
        // after every entry that sorts as it does, so the pick keeps its place.
        addressBox->setCurrentIndex(picked);
        return;
    }
    // Inserting must not change what the operator typed; the new entry is not picked, even
    // where Qt selects it by itself (the first entry of an empty list).
    addressBox->setEditText(text);
}

void UP_config::deleteAddress() {
    // Only an entry the operator picked is selected: typed text selects nothing, even when it
    // equals an entry, and Qt's choice of a neighbour after a removal is no pick either.
    const int index = addressBox->currentIndex();
    if (!std::exchange(m_addressPicked, false) || index < 0)
        return;
    addressBox->removeItem(index);
    addressBox->setCurrentIndex(-1);
    addressBox->setEditText(QString());
}

void UP_config::saveAddressBook() {
    QStringList items;
    for (int i = 0; i < addressBox->count(); ++i)
        items << addressBox->itemText(i);
    if (const auto saved = saveFile(AddressBook::FileName, AddressBook::fileBytes(items)); !saved)
        showError(saved.failure());
}
