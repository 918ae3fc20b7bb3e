#pragma once

#include <QString>

#include <optional>

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
