// The bootloader protocol: the two send procedures and the operator's command buttons.
#include "up_config.h"

#include "commands.h"
#include "link_watchdog.h"

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

void UP_config::requestBootInfo() {
    sendCommand(Commands::BootInfo + Commands::CrLf);
}

void UP_config::setDeviceAddress() {
    // A value the device address cannot take (outside the 32-bit range) sends nothing.
    const auto digits = setAddressDigits(newDeviceAddress->text());
    if (!digits || *digits == QLatin1String("00"))
        return;
    sendCommand(Commands::SetAddressPrefix + *digits + Commands::CrLf);
}

void UP_config::startDevice() {
    sendCommand(Commands::Start + Commands::CrLf);
    // The device restarts: let the watchdog show the link as lost unless it speaks up.
    linkSilence = LinkWatchdog::AfterStartup;
}

void UP_config::requestStatus() {
    sendConsoleCommand(Commands::Status + Commands::CrLf);
}

void UP_config::requestVersion() {
    sendConsoleCommand(Commands::Version + Commands::CrLf);
}

void UP_config::sendToDevice() {
    sendConsoleCommand(consoleEntry->text() + Commands::CrLf);
    consoleEntry->clear();
}

void UP_config::sendRaw() {
    if (socket.state() != UdpSocketControl::StateOpen)
        return;
    // Raw, never wrapped; a send error is swallowed like any other.
    (void)socket.sendData(consoleEntry->text() + Commands::CrLf);
    consoleEntry->clear();
}

void UP_config::uartOn() {
    if (socket.state() != UdpSocketControl::StateOpen)
        return;
    (void)socket.sendData(Commands::UartOn + Commands::CrLf);
}
