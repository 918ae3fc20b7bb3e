// The bootloader protocol: the two send procedures and the operator's command buttons.
#include "up_config.h"

#include "commands.h"
#include "link_watchdog.h"

#include <QCheckBox>
#include <QLineEdit>

qint16 UP_config::sendFramed(const QString& line, GatewayForm form) {
    if (Winsock1.state() != UdpSocketControl::StateOpen)
        return 0;
    // The switch and the address are read at every send, so a change applies to the next line.
    const auto framed = frameLine(line, Check1->checkState() != Qt::Unchecked, Text9->text(), form);
    if (!framed)
        return 0;
    return Winsock1.sendData(*framed) ? 1 : 0;
}

qint16 UP_config::UDP_Send(const QString& UDPString) {
    return sendFramed(UDPString, GatewayForm::Bootloader);
}

qint16 UP_config::UDP_Send_C(const QString& UDPString) {
    return sendFramed(UDPString, GatewayForm::Console);
}

void UP_config::Command7_Click() {
    UDP_Send(Commands::BootInfo + Commands::CrLf);
}

void UP_config::Command1_Click() {
    // A value the device address cannot take (outside the 32-bit range) sends nothing.
    const auto digits = setAddressDigits(Text10->text());
    if (!digits || *digits == QLatin1String("00"))
        return;
    UDP_Send(Commands::SetAddressPrefix + *digits + Commands::CrLf);
}

void UP_config::Command5_Click() {
    UDP_Send(Commands::Start + Commands::CrLf);
    // The device restarts: let the watchdog show the link as lost unless it speaks up.
    LinkSilence = LinkWatchdog::AfterStartup;
}

void UP_config::Command2_Click() {
    UDP_Send_C(Commands::Status + Commands::CrLf);
}

void UP_config::Command9_Click() {
    UDP_Send_C(Commands::Version + Commands::CrLf);
}

void UP_config::Command10_Click() {
    UDP_Send_C(Text11->text() + Commands::CrLf);
    Text11->clear();
}

void UP_config::Command6_Click() {
    if (Winsock1.state() != UdpSocketControl::StateOpen)
        return;
    // Raw, never wrapped; a send error is swallowed like any other.
    (void)Winsock1.sendData(Text11->text() + Commands::CrLf);
    Text11->clear();
}

void UP_config::Command8_Click() {
    if (Winsock1.state() != UdpSocketControl::StateOpen)
        return;
    (void)Winsock1.sendData(Commands::UartOn + Commands::CrLf);
}
