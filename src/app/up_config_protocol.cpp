// The bootloader protocol: the two send procedures and the operator's command buttons.
#include "app/up_config.h"

#include "core/conversation/framing.h"
#include "core/conversation/vocabulary.h"
#include "core/link/link_watchdog.h"
#include "core/protocol/set_address.h"

#include <QCheckBox>
#include <QLineEdit>

bool UP_config::sendFramed(const QString& line, GatewayForm form) {
    if (socket.state() != UdpSocketControl::StateOpen)
        return false;
    // The switch and the address are read at every send, so a change applies to the next line.
    const auto framed =
        frameLine(line, gatewaySwitch->checkState() != Qt::Unchecked, gatewayAddress->text(), form);
    return framed && socket.sendData(*framed);
}

bool UP_config::sendCommand(const QString& line) {
    return sendFramed(line, GatewayForm::Bootloader);
}

bool UP_config::sendConsoleCommand(const QString& line) {
    return sendFramed(line, GatewayForm::Console);
}

namespace {
QString commandLine(const char* command) {
    return QLatin1String(command) + QLatin1String(Protocol::LineEnd);
}
} // namespace

void UP_config::requestBootInfo() {
    sendCommand(commandLine(Protocol::Command::BootInfo));
}

void UP_config::setDeviceAddress() {
    // A value the device address cannot take (outside the 32-bit range) sends nothing.
    const auto digits = setAddressDigits(newDeviceAddress->text());
    if (!digits || *digits == QLatin1String("00"))
        return;
    sendCommand(QLatin1String(Protocol::Command::SetAddress) + *digits + QLatin1String(Protocol::LineEnd));
}

void UP_config::startDevice() {
    sendCommand(commandLine(Protocol::Command::Start));
    // The device restarts: let the watchdog show the link as lost unless it speaks up.
    m_linkSilence = LinkWatchdog::AfterStartup;
}

void UP_config::requestStatus() {
    sendConsoleCommand(commandLine(Protocol::Command::Status));
}

void UP_config::requestVersion() {
    sendConsoleCommand(commandLine(Protocol::Command::Version));
}

void UP_config::sendToDevice() {
    sendConsoleCommand(consoleEntry->text() + QLatin1String(Protocol::LineEnd));
    consoleEntry->clear();
}

void UP_config::sendRaw() {
    if (socket.state() != UdpSocketControl::StateOpen)
        return;
    // Raw, never wrapped; a send error is swallowed like any other.
    (void)socket.sendData(consoleEntry->text() + QLatin1String(Protocol::LineEnd));
    consoleEntry->clear();
}

void UP_config::uartOn() {
    if (socket.state() != UdpSocketControl::StateOpen)
        return;
    (void)socket.sendData(commandLine(Protocol::Command::UartOn));
}
