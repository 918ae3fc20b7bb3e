#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// Which gateway form a send procedure uses while the gateway switch is on.
enum class GatewayForm {
    Bootloader, // "MDB <addr>,<body>"
    Console,    // "MDC <addr>,\"<body>\""
};

// The final line for one datagram. `line` carries its own line end. With the gateway off the line
// goes as it is; with it on, its last two characters are cut unseen and the rest is wrapped for
// device `address` (inserted unchanged). Nothing when the line is too short to cut.
[[nodiscard]] std::optional<QString> frameLine(const QString& line, bool gateway, const QString& address,
                                               GatewayForm form);

// The command line that sends a HEX entry: "OOT" + the entry (every ':' as '#' when verifying) +
// the line end.
[[nodiscard]] QString recordCommand(QByteArrayView entry, bool verify);

// The device's side of the forms: the command a datagram (without its line end) carries for the
// device at `address`: a gateway form's line for that address, or the datagram itself when it
// is not a gateway form. Nothing for another device's form or a malformed one. `wrapped` tells
// whether it came in a gateway form.
[[nodiscard]] std::optional<QByteArray> commandFor(QByteArrayView datagram, int address,
                                                   bool* wrapped = nullptr);
