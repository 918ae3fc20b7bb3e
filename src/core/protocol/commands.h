#pragma once

#include <QString>

#include <optional>

// The text commands of the bootloader and of the Modbus RTU gateway in front of it.
namespace Commands {
constexpr quint16 DevicePort = 111; // the bootloader's UDP port
inline const QString CrLf = QStringLiteral("\r\n");

inline const QString BootInfo = QStringLiteral("OOTi"); // boot-information request
inline const QString Start = QStringLiteral("OOTg");    // start the loaded program
inline const QString SetAddressPrefix = QStringLiteral("OOT$");
inline const QString LinePrefix = QStringLiteral("OOT"); // download and verify lines
inline const QString Status = QStringLiteral("STATUS");
inline const QString Version = QStringLiteral("VER");
inline const QString UartOn = QStringLiteral("UART 2,7");
} // namespace Commands

// Which wrapped form a send procedure uses while the gateway switch is on.
enum class GatewayForm {
    Bootloader, // "MDB <addr>,<body>"
    Console,    // "MDC <addr>,\"<body>\""
};

// The final line for one datagram. `line` carries its own CR LF. With the gateway off the line
// goes as it is; with it on, its last two characters are cut unseen and the rest is wrapped
// for device `address` (inserted unchanged). Nothing when the line is too short to cut.
[[nodiscard]] std::optional<QString> frameLine(const QString& line, bool gateway, const QString& address,
                                               GatewayForm form);

// The two hexadecimal digits that "Set Addr" sends for the typed text: the value read as a
// classic BASIC Val() reads it, rounded half to even to a signed 32-bit integer, low byte in
// upper case. Nothing when the value lies outside the signed 32-bit range.
[[nodiscard]] std::optional<QString> setAddressDigits(const QString& text);

// Classic BASIC Val(): blanks, tabs and line feeds are ignored anywhere; the number ends at the
// first character that cannot continue it; no number gives 0; "&H" hex and "&O" octal.
// Nothing when the number cannot be represented (an exponent beyond double range, or
// a hexadecimal or octal number wider than 32 bits).
[[nodiscard]] std::optional<double> basicVal(const QString& text);

// Round half to even into a signed 32-bit integer; nothing when out of range.
[[nodiscard]] std::optional<qint32> roundToInt32(double value);
